// Named mutexes: a POSIX mutex with a name that every log line about it carries.
//
// The wrappers never abort; they log and report failure by result. A null mutex passed
// to lock or unlock counts as success, so code that runs before its mutex exists runs
// unguarded instead of failing. Failure texts come from strerror_r(), never from
// stdlib_error(), which takes the "ZvLib::StdlibError" mutex; failures of that mutex
// itself are logged by name only.
#pragma once

#include <pthread.h>

#include <memory>
#include <string>

inline constexpr const char* kStdlibErrorMutexName = "ZvLib::StdlibError";

struct NamedMutex {
  std::string name;  // "anonymous" when created without one
  pthread_mutex_t mutex;
};

// A new mutex with default attributes, or null (logged).
[[nodiscard]] NamedMutex* zv_mutex_create(const char* name);
// 1 when locked/unlocked, 0 on failure (logged). A null mutex gives 1.
[[nodiscard]] int zv_mutex_lock(NamedMutex* mutex);
[[nodiscard]] int zv_mutex_unlock(NamedMutex* mutex);
// 0 when destroyed cleanly, -1 when the POSIX destroy failed; the record is freed in
// both cases. A null mutex gives 0.
int zv_mutex_destroy(NamedMutex* mutex);

struct NamedMutexDeleter {
  void operator()(NamedMutex* m) const { zv_mutex_destroy(m); }
};
using NamedMutexPtr = std::unique_ptr<NamedMutex, NamedMutexDeleter>;

// Scoped lock on a named mutex. locked() tells whether the lock was taken; the
// destructor unlocks only what it locked.
class NamedMutexLock {
 public:
  explicit NamedMutexLock(NamedMutex* mutex) : mutex_(mutex), locked_(zv_mutex_lock(mutex) == 1) {}
  ~NamedMutexLock() {
    if (locked_) (void)zv_mutex_unlock(mutex_);
  }
  NamedMutexLock(const NamedMutexLock&) = delete;
  NamedMutexLock& operator=(const NamedMutexLock&) = delete;
  [[nodiscard]] bool locked() const { return locked_; }
  // Unlocks early; result as zv_mutex_unlock (1 when nothing was held).
  int unlock() {
    if (!locked_) return 1;
    locked_ = false;
    return zv_mutex_unlock(mutex_);
  }

 private:
  NamedMutex* mutex_;
  bool locked_;
};
