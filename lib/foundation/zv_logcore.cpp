// The logger proper; see zv_logcore.h. Settings are plain globals written only by
// zv_log_configure() (through zv_log_setup()) on the main thread before other threads
// start; no lock.
#include "zv_logcore.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

class SystemSink : public LogSink {
 public:
  void open_syslog(const char* ident) override { openlog(ident, LOG_PID, 0); }
  void close_syslog() override { closelog(); }
  void syslog(int priority, const char* text) override { ::syslog(priority, "%s", text); }
  void console(const char* text, unsigned long length) override {
    // One write call per message keeps concurrent lines whole.
    fwrite(text, 1, length, stderr);
    fflush(stderr);
  }
};

SystemSink g_system_sink;

// Logger settings: written by zv_log_setup() during start-up only.
struct LoggerSettings {
  bool enabled = false;
  int max_level = 0;
  bool use_syslog = true;
  int facility = 0;
  int priority = 0;
  LogSink* sink = &g_system_sink;
  // openlog() keeps the ident pointer, so the logger keeps the text alive.
  std::string ident;
};
LoggerSettings g_log;

constexpr size_t kStackMessage = 1024;

}  // namespace

void zv_vlog(int level, const char* format, va_list args) {
  if (format == nullptr || !g_log.enabled) return;
  if (level > g_log.max_level) return;

  char small[kStackMessage];
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(small, sizeof(small) - 1, format, copy);
  va_end(copy);
  if (n < 0) return;

  std::unique_ptr<char[]> big;
  char* text = small;
  if (static_cast<size_t>(n) >= sizeof(small) - 1) {
    big.reset(new (std::nothrow) char[static_cast<size_t>(n) + 2]);
    if (!big) return;
    text = big.get();
    vsnprintf(text, static_cast<size_t>(n) + 1, format, args);
  }

  if (g_log.use_syslog) {
    g_log.sink->syslog(g_log.priority | g_log.facility, text);
  } else {
    text[n] = '\n';
    text[n + 1] = '\0';
    g_log.sink->console(text, static_cast<unsigned long>(n) + 1);
  }
}

void zv_log(int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  zv_vlog(level, format, args);
  va_end(args);
}

void zv_log_configure(const char* target, int level, int facility, int priority,
                      const char* ident) {
  if (level > 0) {
    g_log.enabled = true;
    g_log.max_level = level;
  } else {
    g_log.enabled = false;
    g_log.max_level = 0;
  }

  if (target != nullptr) {
    g_log.use_syslog = false;
    if (strncasecmp(target, "console", 7) != 0) g_log.enabled = false;
  } else {
    g_log.use_syslog = true;
    g_log.sink->close_syslog();
    g_log.ident = ident ? ident : "";
    g_log.sink->open_syslog(g_log.ident.c_str());
  }

  g_log.facility = facility;
  g_log.priority = priority;
}

LogSink& zv_log_default_sink() {
  return g_system_sink;
}

void zv_log_set_sink(LogSink* sink) {
  g_log.sink = sink ? sink : &g_system_sink;
}
