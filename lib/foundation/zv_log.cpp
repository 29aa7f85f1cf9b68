// Process-wide logger and system error text. Settings are plain globals written only by
// zv_log_setup() on the main thread before other threads start; the error-text mutex
// guards the C library's strerror().
#include "zv_log.h"

#include <strings.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "zv_mutex.h"

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

// Guards strerror(); created by the first set-up, destroyed at client shutdown.
NamedMutex* g_error_mutex = nullptr;

constexpr size_t kStackMessage = 1024;
constexpr size_t kErrorText = 256;

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

void zv_log_setup(const char* target, int level, int facility, int priority, const char* ident) {
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

  if (g_error_mutex == nullptr) g_error_mutex = zv_mutex_create(kStdlibErrorMutexName);
}

const char* stdlib_error(int errnum) {
  thread_local char text[kErrorText];
  if (zv_mutex_lock(g_error_mutex) != 1) {
    zv_log(ZV_LOG_ERRORS, "zvlib: stdlib_error: cannot lock mutex");
    return "error get stdlib error string";
  }
  // strerror() may hand out a shared buffer: copy it while the mutex is held.
  snprintf(text, sizeof(text), "%s", strerror(errnum));  // NOLINT(concurrency-mt-unsafe)
  if (zv_mutex_unlock(g_error_mutex) != 1)
    zv_log(ZV_LOG_ERRORS, "zvlib: stdlib_error: cannot unlock mutex");
  return text;
}

const char* stdlib_errno_text() {
  return stdlib_error(errno);
}

void zv_log_destroy_error_mutex() {
  NamedMutex* m = g_error_mutex;
  g_error_mutex = nullptr;
  zv_mutex_destroy(m);
}

LogSink& zv_log_default_sink() {
  return g_system_sink;
}

void zv_log_set_sink(LogSink* sink) {
  g_log.sink = sink ? sink : &g_system_sink;
}
