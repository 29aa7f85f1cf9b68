// zvsoak: a soak test of a running filter under faults.
//
// Sends a number of messages over concurrent connections to the filter, a mix of clean
// mail, cured mail (the EICAR test file, which the daemon cures), infected mail (a
// signature the daemon cannot cure) and oversized mail (more than the spool file system
// holds), while a fault thread injects faults one after another through a hook program:
// "HOOK begin NAME" starts a fault and "HOOK end NAME" ends it, returning once the system
// is whole again. Each answer is judged against the message's case and the faults whose
// windows (begin to end, plus a grace period) overlapped the message:
//
//   clean      accepted, with the X-Antivirus-Code header added and the body untouched
//   cured      accepted with a replaced body free of the test file; or, while the primary
//              daemon was down or stopped, discarded after the backup daemon's cured copy
//              was re-injected; or, while the spool was full, rejected as incurable (the
//              daemon could not write the cured file)
//   infected   rejected with the filter's own reply
//   oversized  tempfailed: it cannot be spooled, and nothing of it may stay behind
//   any case   tempfailed while a fault was on
//
// Nothing else passes: no clean message is rejected or discarded, no infected message
// accepted, and every message gets an answer. An oversized message in flight fills the
// spool for the messages beside it, so it counts as a spool fault for them.
//
// Afterwards the submissions that the stand-in submitter (zvsoaksubmit) recorded are
// matched against the answers: one re-injected copy, free of the test file, per discarded
// cured message, and one administrator notification per rejected message. With --pid the
// filter must end where it stood after the warm-up: no more descriptors, memory within
// --rss-slack, and no child process, running or zombie.
//
// Output: the table of answers, the faults, every wrong answer (the first 20), and one
// line "SOAK PASSED" or "SOAK FAILED"; exit 0 or 1 (2 for bad options).
#include <getopt.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_mail.h"
#include "milter_wire.h"
#include "proc_sample.h"

extern char** environ;

namespace {

const char kUsage[] =
    "Usage: zvsoak --socket=ADDRESS --hook=PROGRAM [--connections=N] [--messages=N]\n"
    "              [--warmup=N] [--mix=C,U,I,O] [--size=BYTES] [--oversize=BYTES]\n"
    "              [--faults=NAME,...] [--fault-ms=N] [--gap-ms=N] [--grace-ms=N]\n"
    "              [--reply=TEXT] [--incurable=TEXT] [--submissions=FILE] [--admin=ADDR]\n"
    "              [--pid=PID] [--rss-slack=MIB] [--min-seconds=S] [--timeout=S]\n"
    "\n"
    "  --socket=ADDRESS     the filter: unix:PATH or inet:PORT@IPV4\n"
    "  --hook=PROGRAM       run as PROGRAM begin|end FAULT to start and end each fault\n"
    "  --connections=N      concurrent connections (default 64)\n"
    "  --messages=N         messages in all, after the warm-up (default 100000)\n"
    "  --warmup=N           clean messages sent first, before any fault (default 200)\n"
    "  --mix=C,U,I,O        parts per ten thousand of clean, cured, infected and\n"
    "                       oversized messages (default 7000,1500,1495,5)\n"
    "  --size=BYTES         size of the other messages, k or m for KiB or MiB (default 10k)\n"
    "  --oversize=BYTES     size of an oversized message (default 40m)\n"
    "  --faults=NAMES       the faults, injected in turn (default\n"
    "                       primary-down,primary-slow,daemons-down,spool-full)\n"
    "  --fault-ms=N         how long each fault lasts (default 3000)\n"
    "  --gap-ms=N           healthy time between two faults (default 10000)\n"
    "  --grace-ms=N         how long after its end a fault may still show (default 1000;\n"
    "                       an oversized message's own spool fault: a fifth of it)\n"
    "  --reply=TEXT         the text of the filter's reply to infected mail\n"
    "  --incurable=TEXT     the text that the daemon detects and cannot cure\n"
    "                       (default ZVSOAK-INCURABLE-SIGNATURE)\n"
    "  --submissions=FILE   the record of zvsoaksubmit, matched against the answers\n"
    "  --admin=ADDR         the administrator's address in the filter's configuration\n"
    "                       (default postmaster@localhost)\n"
    "  --pid=PID            the filter's process: descriptors, memory and children\n"
    "  --rss-slack=MIB      growth of the filter's memory allowed over the run; 0 only\n"
    "                       reports it (default 16)\n"
    "  --min-seconds=S      spread the messages over at least S seconds, so that a short\n"
    "                       run still meets every fault (default 0: as fast as it goes)\n"
    "  --timeout=S          longest wait for any answer (default 120)\n";

enum Kind { kClean, kCured, kInfected, kOversized, kKinds };
const char* const kKindNames[kKinds] = {"clean", "cured", "infected", "oversized"};

// What a fault does to the messages that meet it.
enum FaultClass : unsigned { kAny = 1, kPrimary = 2, kSpool = 4 };

struct FaultSpec {
  std::string name;
  unsigned classes;
};

bool fault_spec(const std::string& name, FaultSpec* out) {
  static const FaultSpec kKnown[] = {{"primary-down", kAny | kPrimary},
                                     {"primary-slow", kAny | kPrimary},
                                     // The primary goes first: for a moment the backup serves.
                                     {"daemons-down", kAny | kPrimary},
                                     {"spool-full", kAny | kSpool}};
  for (const auto& f : kKnown)
    if (f.name == name) {
      *out = f;
      return true;
    }
  return false;
}

struct Options {
  std::string socket, hook;
  int connections = 64;
  long messages = 100000, warmup = 200;
  int mix[kKinds] = {7000, 1500, 1495, 5};
  size_t size = 10 * 1024, oversize = 40 * 1024 * 1024;
  std::vector<FaultSpec> faults;
  long fault_ms = 3000, gap_ms = 10000, grace_ms = 1000;
  std::string reply = "Zarvik Antivirus: Message is rejected because it contains a virus(es).";
  std::string incurable = "ZVSOAK-INCURABLE-SIGNATURE";
  std::string submissions, admin = "postmaster@localhost";
  int pid = 0;
  long rss_slack_mb = 16;
  double min_seconds = 0;
  int timeout_s = 120;
};

using Clock = std::chrono::steady_clock;

struct Window {
  std::string name;
  unsigned classes;
  Clock::time_point begin, end;                      // end includes the grace period
  const struct Record* oversized_message = nullptr;  // the message whose window it is
};

struct Record {
  Kind kind = kClean;
  bool warmup = false;
  Clock::time_point begin, end;
  bool answered = false;
  std::string error;  // no answer: why
  mload::MessageOutcome outcome;
  bool body_clean = true;  // the replaced body holds no trace of the test file
};

// The case of message `index`: spread over the run by a hash, in the given proportions.
Kind kind_of(const Options& o, long index) {
  uint64_t h = static_cast<uint64_t>(index) * 0x9E3779B97F4A7C15ull;
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ull;
  h ^= h >> 32;
  int slot = static_cast<int>(h % 10000);
  for (int k = 0; k < kKinds; ++k) {
    if (slot < o.mix[k]) return static_cast<Kind>(k);
    slot -= o.mix[k];
  }
  return kClean;
}

class Soak {
 public:
  explicit Soak(const Options& o) : o_(o) {}

  bool prepare(std::string* error) {
    if (!mload::parse_address(o_.socket, &address_, error)) return false;
    const std::string eicar = mload::eicar_test_file();
    bodies_[kClean] = mload::make_body(o_.size);
    bodies_[kCured] = mload::make_body(o_.size, eicar);
    bodies_[kInfected] = mload::make_body(o_.size, o_.incurable, "report.txt");
    bodies_[kOversized] = mload::make_body(o_.oversize);
    traces_ = {eicar, mload::base64(eicar)};
    records_.resize(static_cast<size_t>(o_.warmup + o_.messages));
    for (long i = 0; i < o_.warmup + o_.messages; ++i) {
      records_[i].kind = i < o_.warmup ? kClean : kind_of(o_, i - o_.warmup);
      records_[i].warmup = i < o_.warmup;
    }
    return true;
  }

  // Runs the warm-up, then the soak with its faults. false when a hook failed.
  bool run() {
    run_messages(0, o_.warmup);
    if (o_.pid > 0) before_ = mload::sample({o_.pid});
    sampling_ = true;
    std::thread sampler([this] {
      while (sampling_) {
        peak_kb_ = std::max(peak_kb_.load(), mload::rss_only({o_.pid}));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
    start_ = Clock::now();
    std::thread faults([this] { inject_faults(); });
    run_messages(o_.warmup, o_.warmup + o_.messages);
    seconds_ = std::chrono::duration<double>(Clock::now() - start_).count();
    {
      std::lock_guard<std::mutex> g(mu_);
      sending_done_ = true;
    }
    wake_.notify_all();
    faults.join();
    sampling_ = false;
    sampler.join();
    return hook_error_.empty();
  }

  // Judges every answer, the submissions and the filter's state; prints the report.
  bool judge() {
    std::vector<std::string> wrong;
    std::map<std::string, long> table;
    long reinjected_expected = 0, notified_expected = 0;
    for (size_t i = 0; i < records_.size(); ++i) {
      const Record& r = records_[i];
      const std::string verdict = !r.answered ? "none" : std::string(1, r.outcome.verdict);
      ++table[std::string(kKindNames[r.kind]) + " " + verdict];
      std::string why = judge_one(r);
      if (!why.empty())
        wrong.push_back("message " + std::to_string(i) + " (" + kKindNames[r.kind] + "): " + why);
      if (r.answered && r.kind == kCured && r.outcome.verdict == 'd') ++reinjected_expected;
      if (r.answered && r.outcome.verdict == 'r') ++notified_expected;
    }
    if (!o_.submissions.empty()) check_submissions(reinjected_expected, notified_expected, &wrong);
    if (o_.pid > 0) check_process(&wrong);

    std::printf("zvsoak: %ld messages (+%ld warm-up) over %d connections in %.1f s, %.1f/s\n",
                o_.messages, o_.warmup, o_.connections, seconds_,
                static_cast<double>(o_.messages) / std::max(seconds_, 0.001));
    std::printf("answers (a accept, r reject, t tempfail, d discard):\n");
    for (const auto& [key, n] : table) std::printf("  %-14s %ld\n", key.c_str(), n);
    std::map<std::string, int> fault_count;
    for (const auto& w : windows_) ++fault_count[w.name];
    std::printf("faults:");
    for (const auto& [name, n] : fault_count) std::printf(" %s x%d", name.c_str(), n);
    std::printf("%s\n", fault_count.empty() ? " none" : "");
    for (const auto& line : notes_) std::printf("%s\n", line.c_str());
    if (!hook_error_.empty()) wrong.insert(wrong.begin(), "fault hook: " + hook_error_);
    for (size_t i = 0; i < wrong.size() && i < 20; ++i) std::printf("WRONG %s\n", wrong[i].c_str());
    if (wrong.size() > 20) std::printf("WRONG ... and %zu more\n", wrong.size() - 20);
    std::printf("%s\n", wrong.empty() ? "SOAK PASSED" : "SOAK FAILED");
    return wrong.empty();
  }

 private:
  void run_messages(long first, long last) {
    next_ = first;
    std::vector<std::thread> threads;
    for (int t = 0; t < o_.connections; ++t) threads.emplace_back([this, last] { worker(last); });
    for (auto& t : threads) t.join();
  }

  void worker(long last) {
    for (;;) {
      long i = next_.fetch_add(1);
      if (i >= last) return;
      Record& r = records_[static_cast<size_t>(i)];
      if (!r.warmup && o_.min_seconds > 0)
        std::this_thread::sleep_until(
            start_ + std::chrono::microseconds(static_cast<long>(
                         o_.min_seconds * 1e6 * static_cast<double>(i - o_.warmup) /
                         static_cast<double>(o_.messages))));
      char qid[32];
      std::snprintf(qid, sizeof qid, "SK%08ld", i);
      mload::MessageSpec m;
      m.queue_id = qid;
      m.sender = "sender@example.com";
      m.recipients = {"rcpt@example.net"};
      m.headers = {
          {"From", "Sender <sender@example.com>"},
          {"To", "<rcpt@example.net>"},
          {"Subject", std::string("soak ") + kKindNames[r.kind] + " " + qid},
          {"Date", "Thu, 10 Dec 2026 06:00:00 +0000"},
          {"Message-ID", "<" + std::string(qid) + "@soak.invalid>"},
          {"MIME-Version", "1.0"},
          {"Content-Type", std::string("multipart/mixed; boundary=\"") + mload::kBoundary + "\""},
          {"Content-Transfer-Encoding", "7bit"}};
      m.body = bodies_[r.kind];
      r.begin = Clock::now();
      mload::MilterClient client;
      client.keep_replaced_body(true);
      if (!client.open(address_, o_.timeout_s * 1000, true) || !client.send_message(m, &r.outcome))
        r.error = client.error();
      else
        r.answered = true;
      client.close();
      r.end = Clock::now();
      if (r.answered && r.outcome.body_replaced > 0) {
        for (const auto& t : traces_)
          if (r.outcome.new_body.find(t) != std::string::npos) r.body_clean = false;
        r.outcome.new_body.clear();
        r.outcome.new_body.shrink_to_fit();
      }
      if (r.kind == kOversized) {
        std::lock_guard<std::mutex> g(mu_);
        // The filter frees the spool before it answers: the fault ends with the answer.
        windows_.push_back({"oversized message", kAny | kSpool, r.begin,
                            r.end + std::chrono::milliseconds(o_.grace_ms / 5), &r});
      }
    }
  }

  // Waits `ms` or until the sending is over; true when it is over.
  bool pause(long ms) {
    std::unique_lock<std::mutex> lock(mu_);
    return wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return sending_done_; });
  }

  bool call_hook(const char* step, const std::string& fault) {
    std::string program = o_.hook;
    char* argv[] = {program.data(), const_cast<char*>(step), const_cast<char*>(fault.c_str()),
                    nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) {
      hook_error_ = "cannot run " + program;
      return false;
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      hook_error_ =
          program + " " + step + " " + fault + " failed (status " + std::to_string(status) + ")";
      return false;
    }
    return true;
  }

  void inject_faults() {
    for (size_t n = 0; !o_.faults.empty(); ++n) {
      if (pause(o_.gap_ms)) return;
      const FaultSpec& f = o_.faults[n % o_.faults.size()];
      Window w{f.name, f.classes, Clock::now(), {}, nullptr};
      bool begun = call_hook("begin", f.name);
      if (begun) pause(o_.fault_ms);
      bool ended = call_hook("end", f.name);
      w.end = Clock::now() + std::chrono::milliseconds(o_.grace_ms);
      {
        std::lock_guard<std::mutex> g(mu_);
        windows_.push_back(w);
      }
      if (!begun || !ended) {
        // Without a working hook the faults are unknown: stop sending.
        next_ = static_cast<long>(records_.size());
        return;
      }
    }
  }

  bool has_header(const std::vector<std::string>& names, const char* name) const {
    for (const auto& h : names)
      if (strcasecmp(h.c_str(), name) == 0) return true;
    return false;
  }

  // Empty when the answer is one that the case and the faults it met allow.
  std::string judge_one(const Record& r) const {
    if (!r.answered) return "no answer: " + r.error;
    const mload::MessageOutcome& out = r.outcome;
    // The faults that overlapped the message; an oversized message's own window is no
    // fault for itself.
    unsigned met = 0;
    for (const auto& w : windows_) {
      bool self = w.oversized_message == &r;
      if (!self && w.begin <= r.end && r.begin <= w.end) met |= w.classes;
    }
    const char v = out.verdict;
    if (v == 't' && (met & kAny)) return "";
    const bool replied =
        out.reply.rfind("554 5.7.0", 0) == 0 && out.reply.find(o_.reply) != std::string::npos;
    switch (r.kind) {
      case kClean:
        if (v == 'a' && out.body_replaced == 0 && has_header(out.headers_added, "X-Antivirus-Code"))
          return "";
        break;
      case kCured:
        if (v == 'a' && out.body_replaced > 0 && r.body_clean) return "";
        if (v == 'd' && (met & kPrimary)) return "";
        if (v == 'r' && replied && (met & kSpool)) return "";
        break;
      case kInfected:
        if (v == 'r' && replied) return "";
        break;
      case kOversized:
        if (v == 't') return "";
        break;
      default:
        break;
    }
    std::string text = std::string("answer '") + v + "'";
    if (!out.reply.empty()) text += " \"" + out.reply + "\"";
    if (v == 'a')
      text += out.body_replaced > 0 ? (r.body_clean ? ", body replaced" : ", body still infected")
                                    : ", body untouched";
    text += met == 0 ? " without a fault" : " during a fault";
    return text;
  }

  // Reads the submitter's record: one line per submission, "SENDER\tRCPTS\tBYTES\tTRACE"
  // with TRACE 1 when the submitted mail held the test file.
  void check_submissions(long reinjected, long notified, std::vector<std::string>* wrong) {
    long copies = 0, notices = 0, traced = 0, others = 0;
    auto read = [&] {
      copies = notices = traced = others = 0;
      std::ifstream in(o_.submissions);
      std::string line;
      while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sender, rcpts, bytes, trace;
        std::getline(f, sender, '\t');
        std::getline(f, rcpts, '\t');
        std::getline(f, bytes, '\t');
        std::getline(f, trace, '\t');
        if (rcpts == o_.admin)
          ++notices;
        else if (rcpts == "rcpt@example.net") {
          ++copies;
          if (trace != "0") ++traced;
        } else {
          ++others;
        }
      }
    };
    // Submitters are detached from the filter: give the last ones time to finish.
    auto until = Clock::now() + std::chrono::seconds(60);
    for (read(); (copies < reinjected || notices < notified) && Clock::now() < until; read())
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    read();
    notes_.push_back("submissions: " + std::to_string(copies) + " re-injected copies (" +
                     std::to_string(reinjected) + " expected), " + std::to_string(notices) +
                     " administrator notifications (" + std::to_string(notified) + " expected)");
    if (copies != reinjected)
      wrong->push_back(std::to_string(copies) + " re-injected copies for " +
                       std::to_string(reinjected) + " discarded cured messages");
    if (traced > 0)
      wrong->push_back(std::to_string(traced) + " re-injected copies still hold the test file");
    if (notices != notified)
      wrong->push_back(std::to_string(notices) + " administrator notifications for " +
                       std::to_string(notified) + " rejected messages");
    if (others > 0) wrong->push_back(std::to_string(others) + " submissions to other addresses");
  }

  void check_process(std::vector<std::string>* wrong) {
    // The filter reaps its submitters' intermediate children as it goes: allow it a moment.
    mload::Children c = mload::children_of(o_.pid);
    for (int i = 0; i < 100 && (c.running > 0 || c.zombies > 0); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      c = mload::children_of(o_.pid);
    }
    mload::ProcSample after = mload::sample({o_.pid});
    const long peak = std::max(peak_kb_.load(), after.rss_kb);
    char line[256];
    std::snprintf(line, sizeof line,
                  "filter: descriptors %ld -> %ld, RSS %.1f MiB -> %.1f MiB (peak %.1f MiB), "
                  "children %ld, zombies %ld",
                  before_.fds, after.fds, before_.rss_kb / 1024.0, after.rss_kb / 1024.0,
                  peak / 1024.0, c.running, c.zombies);
    notes_.push_back(line);
    if (after.fds > before_.fds)
      wrong->push_back("the filter holds " + std::to_string(after.fds - before_.fds) +
                       " more descriptors than after the warm-up");
    if (o_.rss_slack_mb > 0 && after.rss_kb > before_.rss_kb + o_.rss_slack_mb * 1024)
      wrong->push_back("the filter's memory grew by " +
                       std::to_string((after.rss_kb - before_.rss_kb) / 1024) + " MiB");
    if (c.running > 0 || c.zombies > 0)
      wrong->push_back("the filter still has " + std::to_string(c.running) + " children and " +
                       std::to_string(c.zombies) + " zombies");
  }

  const Options& o_;
  mload::MilterAddress address_;
  std::string bodies_[kKinds];
  std::vector<std::string> traces_;  // texts that betray the test file
  std::vector<Record> records_;      // one per message; each written by one worker only
  std::atomic<long> next_{0};
  std::mutex mu_;
  std::condition_variable wake_;
  bool sending_done_ = false;    // guarded by mu_
  std::vector<Window> windows_;  // guarded by mu_ until the threads are joined
  std::string hook_error_;       // written by the fault thread only, read after its join
  Clock::time_point start_;
  double seconds_ = 0;
  mload::ProcSample before_;
  std::atomic<long> peak_kb_{0};
  std::atomic<bool> sampling_{false};
  std::vector<std::string> notes_;
};

bool parse_list(const char* text, std::vector<std::string>* out) {
  out->clear();
  std::string item;
  std::istringstream in(text);
  while (std::getline(in, item, ','))
    if (!item.empty()) out->push_back(item);
  return !out->empty();
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (const char* name : {"primary-down", "primary-slow", "daemons-down", "spool-full"}) {
    FaultSpec f;
    (void)fault_spec(name, &f);
    o.faults.push_back(f);
  }
  static const option kLong[] = {{"socket", required_argument, nullptr, 's'},
                                 {"hook", required_argument, nullptr, 'k'},
                                 {"connections", required_argument, nullptr, 'c'},
                                 {"messages", required_argument, nullptr, 'n'},
                                 {"warmup", required_argument, nullptr, 'w'},
                                 {"mix", required_argument, nullptr, 'x'},
                                 {"size", required_argument, nullptr, 'z'},
                                 {"oversize", required_argument, nullptr, 'Z'},
                                 {"faults", required_argument, nullptr, 'f'},
                                 {"fault-ms", required_argument, nullptr, 'F'},
                                 {"gap-ms", required_argument, nullptr, 'g'},
                                 {"grace-ms", required_argument, nullptr, 'G'},
                                 {"reply", required_argument, nullptr, 'r'},
                                 {"incurable", required_argument, nullptr, 'i'},
                                 {"submissions", required_argument, nullptr, 'S'},
                                 {"admin", required_argument, nullptr, 'a'},
                                 {"pid", required_argument, nullptr, 'p'},
                                 {"rss-slack", required_argument, nullptr, 'R'},
                                 {"min-seconds", required_argument, nullptr, 'm'},
                                 {"timeout", required_argument, nullptr, 't'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    bool ok = true;
    std::vector<std::string> items;
    switch (c) {
      case 's':
        o.socket = optarg;
        break;
      case 'k':
        o.hook = optarg;
        break;
      case 'c':
        o.connections = std::atoi(optarg);
        ok = o.connections > 0 && o.connections <= 1024;
        break;
      case 'n':
        o.messages = std::atol(optarg);
        ok = o.messages > 0;
        break;
      case 'w':
        o.warmup = std::atol(optarg);
        ok = o.warmup >= 0;
        break;
      case 'x': {
        int sum = 0;
        ok = parse_list(optarg, &items) && items.size() == kKinds;
        for (size_t k = 0; ok && k < items.size(); ++k) {
          o.mix[k] = std::atoi(items[k].c_str());
          ok = o.mix[k] >= 0;
          sum += o.mix[k];
        }
        ok = ok && sum == 10000;
        break;
      }
      case 'z':
        ok = mload::parse_size(optarg, &o.size);
        break;
      case 'Z':
        ok = mload::parse_size(optarg, &o.oversize);
        break;
      case 'f':
        o.faults.clear();
        if (std::strcmp(optarg, "none") == 0) break;
        ok = parse_list(optarg, &items);
        for (const auto& name : items) {
          FaultSpec f;
          ok = ok && fault_spec(name, &f);
          o.faults.push_back(f);
        }
        break;
      case 'F':
        o.fault_ms = std::atol(optarg);
        ok = o.fault_ms > 0;
        break;
      case 'g':
        o.gap_ms = std::atol(optarg);
        ok = o.gap_ms > 0;
        break;
      case 'G':
        o.grace_ms = std::atol(optarg);
        ok = o.grace_ms >= 0;
        break;
      case 'r':
        o.reply = optarg;
        break;
      case 'i':
        o.incurable = optarg;
        ok = !o.incurable.empty();
        break;
      case 'S':
        o.submissions = optarg;
        break;
      case 'a':
        o.admin = optarg;
        break;
      case 'p':
        o.pid = std::atoi(optarg);
        ok = o.pid > 0 && ::kill(o.pid, 0) == 0;
        break;
      case 'R':
        o.rss_slack_mb = std::atol(optarg);
        ok = o.rss_slack_mb >= 0;
        break;
      case 'm':
        o.min_seconds = std::atof(optarg);
        ok = o.min_seconds >= 0;
        break;
      case 't':
        o.timeout_s = std::atoi(optarg);
        ok = o.timeout_s > 0;
        break;
      case 'h':
        std::fputs(kUsage, stdout);
        return 0;
      default:
        ok = false;
    }
    if (!ok) {
      std::fprintf(stderr, "zvsoak: bad option %s\n%s", argv[optind - 1], kUsage);
      return 2;
    }
  }
  if (optind != argc || o.socket.empty() || (o.hook.empty() && !o.faults.empty())) {
    std::fprintf(stderr, "zvsoak: --socket and --hook are needed\n%s", kUsage);
    return 2;
  }
  Soak soak(o);
  std::string error;
  if (!soak.prepare(&error)) {
    std::fprintf(stderr, "zvsoak: %s\n", error.c_str());
    return 2;
  }
  soak.run();
  return soak.judge() ? 0 : 1;
}
