#include "zv_owned.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace {

bool is_open(int fd) {
  return fcntl(fd, F_GETFD) != -1;
}

int open_null() {
  return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

TEST(UniqueFd, OwnsMovesReleasesAndCloses) {
  int raw = open_null();
  ASSERT_GE(raw, 0);
  {
    zv::UniqueFd fd(raw);
    zv::UniqueFd moved(std::move(fd));
    EXPECT_FALSE(fd.valid());
    EXPECT_EQ(moved.get(), raw);
    zv::UniqueFd assigned;
    assigned = std::move(moved);
    EXPECT_EQ(assigned.get(), raw);
    EXPECT_TRUE(is_open(raw));
  }
  EXPECT_FALSE(is_open(raw));

  // Assigning over an owner closes what it held; release gives up ownership.
  int first = open_null();
  int second = open_null();
  zv::UniqueFd a(first);
  a = zv::UniqueFd(second);
  EXPECT_FALSE(is_open(first));
  int kept = a.release();
  EXPECT_EQ(kept, second);
  EXPECT_FALSE(a.valid());
  EXPECT_TRUE(is_open(second));
  ::close(second);
}

TEST(UniqueFd, CheckedCloseReportsTheResultOnce) {
  zv::UniqueFd fd(open_null());
  ASSERT_TRUE(fd.valid());
  EXPECT_EQ(fd.close(), 0);
  EXPECT_FALSE(fd.valid());
  EXPECT_EQ(fd.close(), 0);  // nothing left to close

  // A number that is no open descriptor: the close fails with EBADF.
  zv::UniqueFd stale(1 << 20);
  errno = 0;
  EXPECT_EQ(stale.close(), -1);
  EXPECT_EQ(errno, EBADF);
  EXPECT_FALSE(stale.valid());
}

TEST(UniqueFile, CheckedCloseReportsAFailedFlush) {
  zv::UniqueFile file(fopen("/dev/null", "re"));
  ASSERT_TRUE(file);
  EXPECT_EQ(zv::close_file(file), 0);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(zv::close_file(file), 0);

  // /dev/full takes the open but refuses the buffered data at the flush.
  zv::UniqueFile full(fopen("/dev/full", "we"));
  ASSERT_TRUE(full);
  ASSERT_GT(fputs("text", full.get()), 0);
  EXPECT_EQ(zv::close_file(full), EOF);
  EXPECT_EQ(errno, ENOSPC);
}

TEST(UniqueMalloc, FreesWhatMallocGave) {
  zv::UniqueMalloc<char> text(strdup("owned"));
  ASSERT_TRUE(text);
  EXPECT_STREQ(text.get(), "owned");
  zv::UniqueMalloc<int> numbers(static_cast<int*>(malloc(4 * sizeof(int))));
  ASSERT_TRUE(numbers);
  numbers.get()[3] = 7;
  EXPECT_EQ(numbers.get()[3], 7);
}

}  // namespace
