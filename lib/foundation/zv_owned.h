// Owners of what the code acquires from the C library: a descriptor, a FILE* and a
// malloc()ed block. Every module uses these three rather than its own guard, so that an
// early return never leaks and a close whose result matters is checked in one way.
//
// UniqueFd is move-only; its destructor closes silently (a failure there has nowhere to
// go), while close() gives the result for callers that must know (spool files, pipes
// whose reader waits for end of file). UniqueFile is the same for a FILE*, with
// close_file() as the checked close. UniqueMalloc frees with free(). No locks are taken.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace zv {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives up ownership without closing; -1 when nothing was owned.
  [[nodiscard]] int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes what is owned (result ignored) and takes `fd`.
  void reset(int fd = -1);
  // Closes now: 0, or -1 with errno set. The descriptor is gone either way; closing an
  // empty owner gives 0.
  [[nodiscard]] int close();

 private:
  int fd_ = -1;
};

struct FileCloser {
  void operator()(FILE* f) const;
};
using UniqueFile = std::unique_ptr<FILE, FileCloser>;

// Closes the stream now and empties the owner: 0, or EOF with errno set (a failed flush
// of buffered output or of the descriptor). An empty owner gives 0.
[[nodiscard]] int close_file(UniqueFile& file);

struct FreeDeleter {
  void operator()(void* p) const { std::free(p); }
};
template <typename T = char>
using UniqueMalloc = std::unique_ptr<T, FreeDeleter>;

}  // namespace zv
