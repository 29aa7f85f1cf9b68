// One scanning session of the stand-in scanning daemon.
//
// A session serves exactly one request on an accepted connection: the version request
// (command 2, answered with the configured version number) or the scan request
// (command 1). A scan request carries the option words, the envelope, the file's path
// and its content size; size 0 means local mode (the daemon reads the file by its path),
// otherwise the content follows. The answer holds the status word and then, as the
// request flags ask, the virus lines (0x400000), the rule name (0x800000), the report
// (0x2) and the statistics block (0x4); a verdict with 0x100 (cured) or 0x80000
// (deleted) in streamed mode ends with the modified file. In local mode a modified
// message replaces the file at its path atomically, keeping its owner and mode.
//
// Fault injection for tests: a delay before answering, closing the session without
// answering, and a fixed status word for every scan. One log line per request.
//
// Shared state: the EngineStore (its own mutex guards the engine pointer; a session
// keeps the engine it started with). Settings are read-only once sessions run.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "zvscand_engine.h"

namespace zvscand {

inline constexpr uint32_t kDefaultDaemonVersion = 433;
// Limits on what a client may send.
inline constexpr size_t kMaxEnvelopeText = 64 * 1024;  // sender, each recipient, path
inline constexpr uint32_t kMaxRecipients = 100000;
inline constexpr size_t kMaxContent = 256u * 1024 * 1024;
// Longest wait for the next bytes of a request before the session is given up.
inline constexpr int kIdleMs = 120 * 1000;

struct DaemonSettings {
  uint32_t version = kDefaultDaemonVersion;
  int delay_ms = 0;
  bool drop = false;
  bool force_status = false;
  uint32_t status = 0;
};

// The engine in force; replaced as a whole by a reload.
class EngineStore {
 public:
  std::shared_ptr<const Engine> get() const;
  void set(std::shared_ptr<const Engine> engine);

 private:
  mutable std::mutex mu_;
  std::shared_ptr<const Engine> engine_;  // guarded by mu_
};

// Serves the request on `fd` (owned: closed at the end). `stopping` cuts a configured
// delay short when the daemon stops.
void serve_session(int fd, const DaemonSettings& settings, const EngineStore& engines,
                   const std::atomic<bool>& stopping);

}  // namespace zvscand
