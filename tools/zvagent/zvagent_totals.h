// The stand-in statistics agent: running totals and the agent conversation.
//
// A filter keeps one connection to the agent for its whole life and sends, each as a
// sequence of ints, byte strings and string lists: register (int 1, int 100),
// statistics (int 1, a statistics block of (mask, value) pairs, the list of known virus
// names, the list of modification names) and deregister (int 101). Every exchange is
// answered with one int, 0 unless the agent is told to refuse. A connection that has not
// registered yet reads "1, 100" as the register request; after that, int 1 always
// starts a statistics report.
//
// The totals add up every connection's reports: each pair's value goes to the first
// counter whose status mask shares a bit with the pair's mask, and every virus name is
// counted. They are written to a file after every exchange, before the answer is sent,
// so a client that has its answer can read the file at once: one "NAME VALUE" line per
// counter, then one "virus NAME COUNT" line per virus name seen. The file is replaced
// through a rename, so a reader never sees half of it.
//
// Totals guards its counters and the file with its own mutex; sessions share nothing
// else.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace zvagent {

// Limits on what a client may send in one report.
inline constexpr uint32_t kMaxPairs = 1024;
inline constexpr uint32_t kMaxNames = 100000;
inline constexpr size_t kMaxNameLength = 4096;

struct AgentSettings {
  int32_t reply = 0;  // the int every exchange is answered with
  int delay_ms = 0;   // wait before every answer
};

class Totals {
 public:
  // `path` empty: the totals are kept but not written.
  explicit Totals(std::string path) : path_(std::move(path)) {}

  void add_registration();
  void add_deregistration();
  // One statistics report.
  void add_report(const std::vector<std::pair<uint32_t, int32_t>>& pairs,
                  const std::vector<std::string>& names);
  // Writes the file now (also before the first exchange).
  void write();
  // The file's text as it would be written now.
  std::string text() const;

 private:
  void write_locked() const;
  std::string text_locked() const;
  std::string path_;
  mutable std::mutex mu_;
  // Counters in file order; guarded by mu_.
  std::vector<std::pair<std::string, int64_t>> counters_ = initial_counters();
  std::map<std::string, int64_t> viruses_;  // guarded by mu_
  static std::vector<std::pair<std::string, int64_t>> initial_counters();
};

// Serves one agent connection (`fd` owned) until the peer closes it or `stopping` is set.
void serve_agent_session(int fd, const AgentSettings& settings, Totals& totals,
                         const std::atomic<bool>& stopping);

}  // namespace zvagent
