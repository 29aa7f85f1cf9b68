// zvmilterload: a Milter load driver that plays the MTA against any filter.
//
// Sends a number of messages over a number of concurrent connections (one message per
// connection unless told otherwise), checks every verdict against what is expected, and
// reports messages per second, the median and 99th-percentile latency of a message
// (connection to final answer), and, for the processes given with --pid, the CPU time
// they used during the run, their resident memory at the start and at its peak (sampled
// every few milliseconds, summed over the processes) and their open descriptors before
// and after. A message with a wrong or missing answer makes the run fail: the driver
// then prints the first fault and no figures, and exits 1.
//
// Output: human-readable lines, then one line "RESULT key=value ..." for scripts.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_mail.h"
#include "milter_wire.h"
#include "proc_sample.h"

namespace {

const char kUsage[] =
    "Usage: zvmilterload --socket=ADDRESS [--connections=N] [--messages=N] [--size=BYTES]\n"
    "                    [--content=clean|eicar] [--expect=VERDICT] [--expect-header=NAME]\n"
    "                    [--per-connection=N] [--pid=PID]... [--timeout=S] [--nagle]\n"
    "                    [--warmup=N] [--label=TEXT]\n"
    "\n"
    "  --socket=ADDRESS      the filter: unix:PATH or inet:PORT@IPV4\n"
    "  --connections=N       concurrent connections (default 1)\n"
    "  --messages=N          messages in all (default 100)\n"
    "  --size=BYTES          size of each message, with k or m for KiB or MiB (default 10k)\n"
    "  --content=KIND        clean (text) or eicar (text plus the EICAR test file as a\n"
    "                        base64 attachment); default clean\n"
    "  --expect=VERDICT      accept, reject, tempfail or discard; by default accept for\n"
    "                        clean content and reject for eicar\n"
    "  --expect-header=NAME  every accepted message must have this header added or changed\n"
    "  --per-connection=N    messages sent over one connection (default 1)\n"
    "  --pid=PID             a process of the filter to watch (CPU, memory, descriptors);\n"
    "                        may be given several times\n"
    "  --timeout=S           longest wait for any answer (default 120)\n"
    "  --nagle               leave Nagle's algorithm on for the driver's own TCP sockets\n"
    "                        (as sendmail does); by default they send without delay, so\n"
    "                        that only the filter's side of a TCP stall is measured\n"
    "  --warmup=N            messages sent before measuring (default 0)\n"
    "  --label=TEXT          name of the run in the RESULT line\n";

struct Options {
  std::string socket;
  int connections = 1;
  long messages = 100;
  size_t size = 10 * 1024;
  bool eicar = false;
  char expect = 0;
  std::string expect_header;
  int per_connection = 1;
  std::vector<int> pids;
  int timeout_s = 120;
  bool nodelay = true;
  long warmup = 0;
  std::string label = "run";
};

// --- The run --------------------------------------------------------------------------

struct Shared {
  explicit Shared(const Options& o) : options(o) {}
  const Options& options;
  mload::MilterAddress address;
  std::string body;
  std::atomic<long> next{0};
  long total = 0;
  std::atomic<bool> failed{false};
  std::mutex mu;
  std::string first_error;        // guarded by mu
  std::vector<double> latencies;  // guarded by mu, milliseconds
  std::atomic<long> done{0};
};

void record_error(Shared* sh, const std::string& text) {
  std::lock_guard<std::mutex> g(sh->mu);
  if (sh->first_error.empty()) sh->first_error = text;
  sh->failed = true;
}

std::string check(const Options& o, const mload::MessageOutcome& out) {
  char want = o.expect != 0 ? o.expect : (o.eicar ? 'r' : 'a');
  if (out.verdict != want) {
    std::string text = std::string("verdict '") + (out.verdict ? out.verdict : '?') + "' where '" +
                       want + "' was expected";
    if (!out.reply.empty()) text += " (reply \"" + out.reply + "\")";
    return text;
  }
  if (want == 'a' && !o.expect_header.empty()) {
    auto has = [&](const std::vector<std::string>& v) {
      for (const auto& h : v)
        if (strcasecmp(h.c_str(), o.expect_header.c_str()) == 0) return true;
      return false;
    };
    if (!has(out.headers_added) && !has(out.headers_changed))
      return "accepted without the header " + o.expect_header;
  }
  return "";
}

void worker(Shared* sh, int thread_index, bool measure) {
  const Options& o = sh->options;
  mload::MessageSpec m;
  m.sender = "sender@example.com";
  m.recipients = {"rcpt@example.net"};
  m.body = sh->body;
  long serial = 0;
  while (!sh->failed) {
    long first = sh->next.fetch_add(o.per_connection);
    if (first >= sh->total) break;
    long count = std::min<long>(o.per_connection, sh->total - first);
    auto start = std::chrono::steady_clock::now();
    mload::MilterClient client;
    if (!client.open(sh->address, o.timeout_s * 1000, o.nodelay)) {
      record_error(sh, "message " + std::to_string(first) + ": " + client.error());
      return;
    }
    for (long i = 0; i < count && !sh->failed; ++i) {
      char qid[32];
      snprintf(qid, sizeof qid, "ZB%02d%07ld", thread_index % 100, serial++);
      m.queue_id = qid;
      m.headers = {
          {"Return-Path", "<sender@example.com>"},
          {"From", "Sender <sender@example.com>"},
          {"To", "<rcpt@example.net>"},
          {"Subject", "load test message " + std::to_string(first + i)},
          {"Date", "Thu, 10 Dec 2026 06:00:00 +0000"},
          {"Message-ID", "<" + std::string(qid) + "@bench.invalid>"},
          {"MIME-Version", "1.0"},
          {"Content-Type", std::string("multipart/mixed; boundary=\"") + mload::kBoundary + "\""}};
      mload::MessageOutcome out;
      if (!client.send_message(m, &out)) {
        record_error(sh, "message " + std::to_string(first + i) + ": " + client.error());
        return;
      }
      std::string wrong = check(o, out);
      if (!wrong.empty()) {
        record_error(sh, "message " + std::to_string(first + i) + ": " + wrong);
        return;
      }
      auto now = std::chrono::steady_clock::now();
      if (measure) {
        std::lock_guard<std::mutex> g(sh->mu);
        sh->latencies.push_back(std::chrono::duration<double, std::milli>(now - start).count());
      }
      start = now;
      sh->done++;
    }
    client.close();
  }
}

bool run(const Options& o, long total, bool measure, Shared* sh) {
  sh->next = 0;
  sh->total = total;
  std::vector<std::thread> threads;
  for (int t = 0; t < o.connections; ++t) threads.emplace_back(worker, sh, t, measure);
  for (auto& t : threads) t.join();
  return !sh->failed;
}

double percentile(std::vector<double>& v, double p) {
  if (v.empty()) return 0;
  size_t k = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
  std::nth_element(v.begin(), v.begin() + static_cast<long>(k), v.end());
  return v[k];
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  static const option kLong[] = {{"socket", required_argument, nullptr, 's'},
                                 {"connections", required_argument, nullptr, 'c'},
                                 {"messages", required_argument, nullptr, 'n'},
                                 {"size", required_argument, nullptr, 'z'},
                                 {"content", required_argument, nullptr, 'k'},
                                 {"expect", required_argument, nullptr, 'e'},
                                 {"expect-header", required_argument, nullptr, 'H'},
                                 {"per-connection", required_argument, nullptr, 'r'},
                                 {"pid", required_argument, nullptr, 'p'},
                                 {"timeout", required_argument, nullptr, 't'},
                                 {"nagle", no_argument, nullptr, 'd'},
                                 {"warmup", required_argument, nullptr, 'w'},
                                 {"label", required_argument, nullptr, 'l'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    bool ok = true;
    switch (c) {
      case 's':
        o.socket = optarg;
        break;
      case 'c':
        o.connections = std::atoi(optarg);
        ok = o.connections > 0 && o.connections <= 4096;
        break;
      case 'n':
        o.messages = std::atol(optarg);
        ok = o.messages > 0;
        break;
      case 'z':
        ok = mload::parse_size(optarg, &o.size);
        break;
      case 'k':
        ok = std::strcmp(optarg, "clean") == 0 || std::strcmp(optarg, "eicar") == 0;
        o.eicar = std::strcmp(optarg, "eicar") == 0;
        break;
      case 'e': {
        const std::string v = optarg;
        o.expect = v == "accept"     ? 'a'
                   : v == "reject"   ? 'r'
                   : v == "tempfail" ? 't'
                   : v == "discard"  ? 'd'
                                     : 0;
        ok = o.expect != 0;
        break;
      }
      case 'H':
        o.expect_header = optarg;
        break;
      case 'r':
        o.per_connection = std::atoi(optarg);
        ok = o.per_connection > 0;
        break;
      case 'p':
        o.pids.push_back(std::atoi(optarg));
        ok = o.pids.back() > 0 && ::kill(o.pids.back(), 0) == 0;
        break;
      case 't':
        o.timeout_s = std::atoi(optarg);
        ok = o.timeout_s > 0;
        break;
      case 'd':
        o.nodelay = false;
        break;
      case 'w':
        o.warmup = std::atol(optarg);
        ok = o.warmup >= 0;
        break;
      case 'l':
        o.label = optarg;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "zvmilterload: bad option %s\n%s", argv[optind - 1], kUsage);
      return 2;
    }
  }
  Shared sh(o);
  std::string error;
  if (optind != argc || o.socket.empty() || !mload::parse_address(o.socket, &sh.address, &error)) {
    std::fprintf(stderr, "zvmilterload: %s\n%s",
                 error.empty() ? "--socket is needed" : error.c_str(), kUsage);
    return 2;
  }
  sh.body = mload::make_body(o.size, o.eicar ? mload::eicar_test_file() : std::string());

  if (o.warmup > 0 && !run(o, o.warmup, false, &sh)) {
    std::printf("ERROR %s: %s\n", o.label.c_str(), sh.first_error.c_str());
    return 1;
  }
  mload::ProcSample before = mload::sample(o.pids);
  std::atomic<bool> sampling{true};
  long peak_kb = before.rss_kb;
  std::thread sampler([&] {
    while (sampling) {
      peak_kb = std::max(peak_kb, mload::rss_only(o.pids));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto start = std::chrono::steady_clock::now();
  bool ok = run(o, o.messages, true, &sh);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sampling = false;
  sampler.join();
  mload::ProcSample after = mload::sample(o.pids);
  peak_kb = std::max(peak_kb, after.rss_kb);

  if (!ok) {
    std::printf("ERROR %s: %s (after %ld good messages)\n", o.label.c_str(), sh.first_error.c_str(),
                sh.done.load());
    return 1;
  }
  double p50 = percentile(sh.latencies, 0.50), p99 = percentile(sh.latencies, 0.99);
  double cpu = after.cpu_s - before.cpu_s;
  std::printf("%s: %ld messages of %zu bytes (%s) over %d connection(s) in %.3f s\n",
              o.label.c_str(), o.messages, sh.body.size(), o.eicar ? "eicar" : "clean",
              o.connections, seconds);
  std::printf("  %.1f messages/s, latency p50 %.2f ms, p99 %.2f ms\n", o.messages / seconds, p50,
              p99);
  if (!o.pids.empty())
    std::printf("  filter: CPU %.2f s (%.3f ms/message), RSS %ld -> peak %ld KiB, fds %ld -> %ld\n",
                cpu, cpu * 1000 / o.messages, before.rss_kb, peak_kb, before.fds, after.fds);
  std::printf(
      "RESULT label=%s conns=%d size=%zu content=%s msgs=%ld secs=%.3f mps=%.1f p50_ms=%.2f "
      "p99_ms=%.2f cpu_s=%.3f rss_start_kb=%ld rss_peak_kb=%ld rss_end_kb=%ld fds_start=%ld "
      "fds_end=%ld\n",
      o.label.c_str(), o.connections, sh.body.size(), o.eicar ? "eicar" : "clean", o.messages,
      seconds, o.messages / seconds, p50, p99, cpu, before.rss_kb, peak_kb, after.rss_kb,
      before.fds, after.fds);
  return 0;
}
