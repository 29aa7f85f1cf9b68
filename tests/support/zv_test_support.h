// Shared test helpers: a log sink that records what would go to syslog and to the
// console, a temporary directory removed with its contents, and small file helpers.
#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "zv_log.h"

namespace zvtest {

// One message as the sink received it.
struct LoggedLine {
  bool to_syslog;    // false: console
  int priority;      // syslog priority|facility; 0 for the console
  std::string text;  // console text includes its trailing newline
};

// Records every message; installs itself on construction and restores the default sink
// (and a quiet logger) on destruction. Thread-safe.
class CaptureLog : public LogSink {
 public:
  // Sets the logger up at `level` on the console (unless told to use syslog).
  explicit CaptureLog(int level = ZV_LOG_DEBUG, bool syslog = false, int facility = 0,
                      int priority = 0);
  ~CaptureLog() override;

  void open_syslog(const char* ident) override;
  void close_syslog() override;
  void syslog(int priority, const char* text) override;
  void console(const char* text, unsigned long length) override;

  std::vector<LoggedLine> lines() const;
  // Message texts without the console newline.
  std::vector<std::string> texts() const;
  // True when some message equals `text` exactly.
  bool has(const std::string& text) const;
  // True when some message contains `fragment`.
  bool contains(const std::string& fragment) const;
  void clear();
  int syslog_opens() const;

 private:
  mutable std::mutex mu_;
  std::vector<LoggedLine> lines_;  // guarded by mu_
  int opens_ = 0;                  // guarded by mu_
};

// A fresh directory under TMPDIR (or /tmp), removed recursively on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  // Writes `content` to path()/name and returns the full path.
  std::string write(const std::string& name, const std::string& content) const;

 private:
  std::string path_;
};

// Whole content of a file; empty when it cannot be read.
std::string read_file(const std::string& path);
// Number of open descriptors of this process.
int open_fd_count();
// Asks `ready` every 20 ms until it holds or `seconds` have passed; its last answer.
bool wait_for(const std::function<bool()>& ready, int seconds = 30);
// True when `path` names an existing file, directory or socket.
bool exists(const std::string& path);

}  // namespace zvtest
