// Named mutexes. Every lock and unlock is traced at Debug; failures are logged with the
// system's error text, except for the error-text mutex itself, whose failures are
// logged by name only. The text is made here with the re-entrant strerror_r(), so this
// module never takes the error-text mutex and does not depend on zv_log (the error text) but only
// on the logger proper.
#include "zv_mutex.h"

#include <cstring>
#include <new>

#include "zv_logcore.h"

namespace {

bool is_error_text_mutex(const NamedMutex* m) {
  return m->name == kStdlibErrorMutexName;
}

// The system's text for a returned error code, in `buffer` or a constant text.
struct ErrorText {
  char buffer[128];
  const char* text;
  explicit ErrorText(int code) : buffer{}, text(strerror_r(code, buffer, sizeof buffer)) {}
};

}  // namespace

NamedMutex* zv_mutex_create(const char* name) {
  std::unique_ptr<NamedMutex> m(new (std::nothrow) NamedMutex);
  if (!m) {
    if (name)
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: creating '%s' failed - no memory", name);
    else
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: creating anonymous failed - no memory");
    return nullptr;
  }
  try {
    m->name = name ? name : "anonymous";
  } catch (const std::bad_alloc&) {
    if (name)
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: creating '%s' failed - no memory", name);
    else
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: creating anonymous failed - no memory");
    return nullptr;
  }
  int rc = pthread_mutex_init(&m->mutex, nullptr);
  if (rc != 0) {
    // The error-text mutex does not exist yet when it is the one being created.
    zv_log(ZV_LOG_ERRORS, "zvlib: mutex: creating '%s' failed - %s", m->name.c_str(),
           ErrorText(rc).text);
    return nullptr;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: mutex: '%s' created", m->name.c_str());
  return m.release();
}

int zv_mutex_lock(NamedMutex* mutex) {
  if (mutex == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: mutex: null mutex passed for lock");
    return 1;
  }
  int rc = pthread_mutex_lock(&mutex->mutex);
  if (rc != 0) {
    if (is_error_text_mutex(mutex))
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: locking '%s' failed", mutex->name.c_str());
    else
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: locking '%s' failed - %s", mutex->name.c_str(),
             ErrorText(rc).text);
    return 0;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: mutex: '%s' locked", mutex->name.c_str());
  return 1;
}

int zv_mutex_unlock(NamedMutex* mutex) {
  if (mutex == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: mutex: null mutex passed for unlock");
    return 1;
  }
  int rc = pthread_mutex_unlock(&mutex->mutex);
  if (rc != 0) {
    if (is_error_text_mutex(mutex))
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: unlocking '%s' failed", mutex->name.c_str());
    else
      zv_log(ZV_LOG_ERRORS, "zvlib: mutex: unlocking '%s' failed - %s", mutex->name.c_str(),
             ErrorText(rc).text);
    return 0;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: mutex: '%s' unlocked", mutex->name.c_str());
  return 1;
}

int zv_mutex_destroy(NamedMutex* mutex) {
  if (mutex == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: mutex: null mutex passed for destroy");
    return 0;
  }
  std::unique_ptr<NamedMutex> owned(mutex);
  int rc = pthread_mutex_destroy(&mutex->mutex);
  if (rc != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: mutex: destroying '%s' failed - %s", mutex->name.c_str(),
           ErrorText(rc).text);
    return -1;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: mutex: '%s' deleted", mutex->name.c_str());
  return 0;
}
