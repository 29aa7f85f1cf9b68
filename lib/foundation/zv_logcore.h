// The logger proper, the lowest module of the project.
//
// One logger serves every module: zv_log() formats a message and writes it to syslog or
// to standard error, dropping it when its level is above the configured verbosity. The
// settings are written only by zv_log_configure(), which zv_log_setup() (zv_log) runs
// on the main thread before any other thread exists; zv_log() therefore takes no lock.
// It depends on nothing else of the project: the named mutexes log through it, and the
// system error text of zv_log, which needs a named mutex, sits above both. Modules
// include zv_log.h, which brings this header along.
//
// Where the text goes is a LogSink. The default sink is syslog and standard error;
// tests install their own to see exactly what would be written.
#pragma once

#include <cstdarg>

// Message levels; a message is written when its level is at most the configured one.
enum LogLevel : int {
  ZV_LOG_QUIET = 0,
  ZV_LOG_ERRORS = 2,
  ZV_LOG_ALERTS = 3,
  ZV_LOG_INFO = 4,
  ZV_LOG_VERBOSE = 5,
  ZV_LOG_DEBUG = 9,
};

// Formats and writes one message when output is enabled, `format` is not null and
// `level` is not above the maximum level. Never fails towards the caller.
void zv_log(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
void zv_vlog(int level, const char* format, va_list args) __attribute__((format(printf, 2, 0)));

// Replaces the logger's settings. `target` null selects syslog (reopened with `ident`
// and the pid option); a target starting with "console" (any case) selects standard
// error; any other target turns output off. `level` <= 0 turns output off. Programs call
// zv_log_setup(), which also creates the error-text mutex.
void zv_log_configure(const char* target, int level, int facility, int priority, const char* ident);

// Where formatted messages go. The logger calls it from many threads at once.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Syslog session: (re)opened on every set-up that selects syslog.
  virtual void open_syslog(const char* ident) = 0;
  virtual void close_syslog() = 0;
  // One message to syslog, with priority = configured priority | facility.
  virtual void syslog(int priority, const char* text) = 0;
  // One message to the console; `text` already ends with the single newline.
  virtual void console(const char* text, unsigned long length) = 0;
};

// The sink in use: syslog(3) and standard error unless replaced.
LogSink& zv_log_default_sink();
// Installs `sink` (null restores the default). For tests; call while no thread logs.
void zv_log_set_sink(LogSink* sink);
