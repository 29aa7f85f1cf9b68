// Logger set-up and system error text under the error-text mutex; see zv_log.h. The mutex pointer
// is written only on the main thread (set-up and shutdown) while no other thread runs.
#include "zv_log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zv_mutex.h"

namespace {

// Guards strerror(); created by the first set-up, destroyed at client shutdown.
NamedMutex* g_error_mutex = nullptr;

constexpr size_t kErrorText = 256;

}  // namespace

void zv_log_setup(const char* target, int level, int facility, int priority, const char* ident) {
  zv_log_configure(target, level, facility, priority, ident);
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
