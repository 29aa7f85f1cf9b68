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
#include <dirent.h>
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "milter_wire.h"

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

bool parse_size(const char* text, size_t* out) {
  char* end = nullptr;
  double v = std::strtod(text, &end);
  if (end == text || v <= 0) return false;
  if (*end == 'k' || *end == 'K')
    v *= 1024, ++end;
  else if (*end == 'm' || *end == 'M')
    v *= 1024 * 1024, ++end;
  if (*end != '\0') return false;
  *out = static_cast<size_t>(v);
  return true;
}

std::string base64(std::string_view in) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t n = static_cast<unsigned char>(in[i]) << 16;
    if (i + 1 < in.size()) n |= static_cast<unsigned char>(in[i + 1]) << 8;
    if (i + 2 < in.size()) n |= static_cast<unsigned char>(in[i + 2]);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(i + 1 < in.size() ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back(i + 2 < in.size() ? kAlphabet[n & 63] : '=');
  }
  return out;
}

const char kBoundary[] = "zvbench-boundary-0001";

// The body of every message: a text part of plain words up to the wanted size and,
// for eicar content, the test file as a base64 attachment. CRLF line ends, as the MTA
// hands bodies to filters.
std::string make_body(size_t size, bool eicar) {
  static const char* const kWords[] = {"mail",    "filter", "quarterly", "report",  "meeting",
                                       "invoice", "budget", "schedule",  "project", "review",
                                       "update",  "server", "customer",  "plan",    "draft"};
  std::string attachment;
  if (eicar) {
    // Assembled at run time so that this source file does not carry the test string.
    std::string file =
        std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE!$H+H*";
    attachment = std::string("--") + kBoundary +
                 "\r\nContent-Type: application/octet-stream; name=\"eicar.com\"\r\n"
                 "Content-Transfer-Encoding: base64\r\n"
                 "Content-Disposition: attachment; filename=\"eicar.com\"\r\n\r\n" +
                 base64(file) + "\r\n";
  }
  std::string body =
      std::string("--") + kBoundary + "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
  const size_t closing = std::strlen(kBoundary) + 8;
  const size_t text_end = size > attachment.size() + closing + 600
                              ? size - attachment.size() - closing - 600
                              : body.size() + 80;
  uint32_t seed = 12345;
  std::string line;
  while (body.size() < text_end) {
    seed = seed * 1103515245u + 12345u;
    const char* w = kWords[(seed >> 16) % std::size(kWords)];
    if (line.size() + std::strlen(w) + 1 > 72) {
      body += line + "\r\n";
      line.clear();
    }
    line += (line.empty() ? "" : " ") + std::string(w);
  }
  body += line + "\r\n" + attachment + "--" + kBoundary + "--\r\n";
  return body;
}

// --- Watching the filter's processes through /proc ------------------------------------

struct ProcSample {
  double cpu_s = 0;  // user + system, with waited-for children
  long rss_kb = 0;
  long fds = 0;
};

ProcSample sample(const std::vector<int>& pids) {
  ProcSample s;
  static const long ticks = sysconf(_SC_CLK_TCK);
  for (int pid : pids) {
    std::string base = "/proc/" + std::to_string(pid);
    std::ifstream stat(base + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t close = text.rfind(')');
    if (close != std::string::npos) {
      std::istringstream fields(text.substr(close + 2));
      std::string f;
      std::vector<std::string> v;
      while (fields >> f && v.size() < 15) v.push_back(f);
      // After the name: state(0) ... utime(11) stime(12) cutime(13) cstime(14).
      if (v.size() >= 15)
        s.cpu_s += static_cast<double>(std::stol(v[11]) + std::stol(v[12]) + std::stol(v[13]) +
                                       std::stol(v[14])) /
                   static_cast<double>(ticks);
    }
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) s.rss_kb += std::atol(line.c_str() + 6);
    if (DIR* d = opendir((base + "/fd").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++s.fds;
      closedir(d);
    }
  }
  return s;
}

long rss_only(const std::vector<int>& pids) {
  long total = 0;
  for (int pid : pids) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) total += std::atol(line.c_str() + 6);
  }
  return total;
}

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
          {"Content-Type", std::string("multipart/mixed; boundary=\"") + kBoundary + "\""}};
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
        ok = parse_size(optarg, &o.size);
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
  sh.body = make_body(o.size, o.eicar);

  if (o.warmup > 0 && !run(o, o.warmup, false, &sh)) {
    std::printf("ERROR %s: %s\n", o.label.c_str(), sh.first_error.c_str());
    return 1;
  }
  ProcSample before = sample(o.pids);
  std::atomic<bool> sampling{true};
  long peak_kb = before.rss_kb;
  std::thread sampler([&] {
    while (sampling) {
      peak_kb = std::max(peak_kb, rss_only(o.pids));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  auto start = std::chrono::steady_clock::now();
  bool ok = run(o, o.messages, true, &sh);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  sampling = false;
  sampler.join();
  ProcSample after = sample(o.pids);
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
