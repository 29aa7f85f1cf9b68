#include "zv_mutex.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"

#if defined(__SANITIZE_THREAD__)
// The failure paths are reached by misusing a mutex on purpose (unlocking one that is not
// held, relocking one, destroying a locked one), which the thread sanitizer reports and
// which would end its run. Only misuse made through misuse_on_purpose() is let through.
extern "C" const char* __tsan_default_suppressions() {
  return "mutex:misuse_on_purpose\n";
}
#endif

namespace {

using zvtest::CaptureLog;

// Runs `call`, which misuses a mutex on purpose, in a frame of its own that the thread
// sanitizer's suppression names.
[[gnu::noinline]] int misuse_on_purpose(const std::function<int()>& call) {
  int result = call();
  asm volatile("");  // keeps this frame on the stack: no tail call
  return result;
}

// Re-initialises a named mutex as error-checking, so that misuse fails instead of
// deadlocking and the failure paths can be observed.
void make_error_checking(NamedMutex* m) {
  ASSERT_EQ(pthread_mutex_destroy(&m->mutex), 0);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ERRORCHECK);
  ASSERT_EQ(pthread_mutex_init(&m->mutex, &attr), 0);
  pthread_mutexattr_destroy(&attr);
}

TEST(NamedMutex, LifecycleIsTraced) {
  CaptureLog log(ZV_LOG_DEBUG);
  NamedMutex* m = zv_mutex_create("ZvLib::UsersLocker");
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(zv_mutex_lock(m), 1);
  EXPECT_EQ(zv_mutex_unlock(m), 1);
  EXPECT_EQ(zv_mutex_destroy(m), 0);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "zvlib: mutex: 'ZvLib::UsersLocker' created",
                             "zvlib: mutex: 'ZvLib::UsersLocker' locked",
                             "zvlib: mutex: 'ZvLib::UsersLocker' unlocked",
                             "zvlib: mutex: 'ZvLib::UsersLocker' deleted",
                         }));
}

TEST(NamedMutex, AnonymousAndNullMutexes) {
  CaptureLog log(ZV_LOG_DEBUG);
  NamedMutexPtr m(zv_mutex_create(nullptr));
  ASSERT_NE(m, nullptr);
  EXPECT_EQ(m->name, "anonymous");
  EXPECT_TRUE(log.has("zvlib: mutex: 'anonymous' created"));

  EXPECT_EQ(zv_mutex_lock(nullptr), 1);
  EXPECT_EQ(zv_mutex_unlock(nullptr), 1);
  EXPECT_EQ(zv_mutex_destroy(nullptr), 0);
  EXPECT_TRUE(log.has("zvlib: mutex: null mutex passed for lock"));
  EXPECT_TRUE(log.has("zvlib: mutex: null mutex passed for unlock"));
  EXPECT_TRUE(log.has("zvlib: mutex: null mutex passed for destroy"));
}

TEST(NamedMutex, FailuresNameTheErrorExceptForTheErrorTextMutex) {
  CaptureLog log(ZV_LOG_ERRORS);
  const std::string deadlock = strerror(EDEADLK);
  const std::string not_owner = strerror(EPERM);
  struct Row {
    const char* name;
    std::string lock_line;
    std::string unlock_line;
  };
  const Row rows[] = {
      {"ZvLib::Resolver", "zvlib: mutex: locking 'ZvLib::Resolver' failed - " + deadlock,
       "zvlib: mutex: unlocking 'ZvLib::Resolver' failed - " + not_owner},
      {"ZvLib::StdlibError", "zvlib: mutex: locking 'ZvLib::StdlibError' failed",
       "zvlib: mutex: unlocking 'ZvLib::StdlibError' failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    log.clear();
    NamedMutexPtr m(zv_mutex_create(row.name));
    ASSERT_NE(m, nullptr);
    make_error_checking(m.get());
    // Not locked by this thread.
    EXPECT_EQ(misuse_on_purpose([&] { return zv_mutex_unlock(m.get()); }), 0);
    ASSERT_EQ(zv_mutex_lock(m.get()), 1);
    // Relock of an error-checking mutex.
    EXPECT_EQ(misuse_on_purpose([&] { return zv_mutex_lock(m.get()); }), 0);
    EXPECT_EQ(zv_mutex_unlock(m.get()), 1);
    EXPECT_EQ(log.texts(), (std::vector<std::string>{row.unlock_line, row.lock_line}));
  }
}

TEST(NamedMutex, DestroyOfALockedMutexFailsAndStillFreesTheRecord) {
  CaptureLog log(ZV_LOG_ERRORS);
  NamedMutex* m = zv_mutex_create("ZvLib::AddressListLocker");
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(zv_mutex_lock(m), 1);
  // Destroying a locked mutex is refused with EBUSY; the record is freed all the same
  // (the sanitizer run shows no leak).
  EXPECT_EQ(misuse_on_purpose([&] { return zv_mutex_destroy(m); }), -1);
  EXPECT_TRUE(log.has(std::string("zvlib: mutex: destroying 'ZvLib::AddressListLocker' failed - ") +
                      strerror(EBUSY)));
}

TEST(NamedMutex, GuardsSharedStateAcrossThreads) {
  CaptureLog log(ZV_LOG_ERRORS);
  NamedMutexPtr m(zv_mutex_create("counter"));
  ASSERT_NE(m, nullptr);
  long counter = 0;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        NamedMutexLock lock(m.get());
        ASSERT_TRUE(lock.locked());
        ++counter;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 8000);
  EXPECT_TRUE(log.texts().empty());
}

}  // namespace
