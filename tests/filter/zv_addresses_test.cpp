#include "zv_addresses.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/zv_listfile_fixture.h"
#include "support/zv_test_support.h"

namespace {

using listfile_fixture::without_mutex_lines;
using zvtest::CaptureLog;
using zvtest::TempDir;

constexpr const char* kList =
    "# never notified\n"
    "from ! @example\\.com$\n"
    "TO ^postmaster@\n"
    "any \"^nobody@\"\n";

TEST(AddressList, FirstHitDecidesByItsRole) {
  TempDir dir;
  CaptureLog log(ZV_LOG_VERBOSE);
  AddressesListPtr list(maddr_load(dir.write("addresses", kList).c_str(), 1));
  ASSERT_TRUE(list);
  struct Row {
    const char* address;
    int role;
    int expected;
    const char* message;  // null: no entry hits
  };
  const Row rows[] = {
      // Every sender outside example.com is never notified ...
      {"a@other.org", MADDR_ROLE_FROM, 0,
       "maddr: address a@other.org is matched to inverse RE @example\\.com$"},
      // ... and as a recipient the same first hit does not cover the role, so later
      // entries are not looked at.
      {"postmaster@other.org", MADDR_ROLE_TO, 1,
       "maddr: address postmaster@other.org is matched to inverse RE @example\\.com$"},
      {"POSTMASTER@example.com", MADDR_ROLE_TO, 0,
       "maddr: address POSTMASTER@example.com is matched to RE ^postmaster@"},
      {"postmaster@example.com", MADDR_ROLE_FROM, 1,
       "maddr: address postmaster@example.com is matched to RE ^postmaster@"},
      {"nobody@EXAMPLE.com", MADDR_ROLE_FROM, 0,
       "maddr: address nobody@EXAMPLE.com is matched to RE ^nobody@"},
      {"Nobody@Other.org", MADDR_ROLE_TO, 1,
       "maddr: address Nobody@Other.org is matched to inverse RE @example\\.com$"},
      {"nobody@example.com", MADDR_ROLE_FROM, 0,
       "maddr: address nobody@example.com is matched to RE ^nobody@"},
      {"nobody@example.com", MADDR_ROLE_TO, 0,
       "maddr: address nobody@example.com is matched to RE ^nobody@"},
      {"user@example.com", MADDR_ROLE_TO, 1, nullptr},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.address) + " role " + std::to_string(row.role));
    log.clear();
    EXPECT_EQ(maddr_may_notify(list.get(), row.address, row.role), row.expected);
    std::vector<std::string> expected;
    if (row.message != nullptr) expected.push_back(row.message);
    EXPECT_EQ(without_mutex_lines(log), expected);
  }
  EXPECT_EQ(maddr_may_notify(nullptr, "a@other.org", MADDR_ROLE_FROM), 1);
  EXPECT_EQ(maddr_may_notify(list.get(), nullptr, MADDR_ROLE_FROM), 1);
}

TEST(AddressList, FailedLoadNamesTheLineAndKeepsNothing) {
  TempDir dir;
  const std::string path = dir.file("addresses");
  struct Row {
    std::string content;
    std::string message;
  };
  const Row rows[] = {
      {"from a\nsender b\n", "maddr: wrong line(2)"},
      {"from !\n", "maddr: wrong line(1)"},
      {"\n\nany \"\"\n", "maddr: wrong line(3)"},
      {"to\n", "maddr: wrong line(1)"},
      {"[version=2]\nfrom a\n", "maddr: wrong 2 version of file"},
      {"[version=0]\nfrom a\n", "maddr: wrong 0 version of file"},
      {"[version]\n", "maddr: parse version - wrong line(1) [version]"},
      {"[ver=1]\n", "maddr: parse version token - wrong line(1) [ver=1]"},
      {"[version=1.0]\n", "maddr: parse version number - wrong line(1) [version=1.0]"},
      {"from !a{1\n", "cannot compile regular expression (a{1) - "},
  };
  const int descriptors = zvtest::open_fd_count();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    dir.write("addresses", row.content);
    CaptureLog log(ZV_LOG_DEBUG);
    EXPECT_EQ(maddr_load(path.c_str(), 1), nullptr);
    const std::vector<std::string> lines = without_mutex_lines(log);
    ASSERT_EQ(lines.size(), 2u);
    if (row.message.back() == ' ')
      EXPECT_EQ(lines[0].rfind(row.message, 0), 0u) << lines[0];
    else
      EXPECT_EQ(lines[0], row.message);
    EXPECT_EQ(lines[1], "maddr: error load addresses list from filename " + path);
  }
  EXPECT_EQ(zvtest::open_fd_count(), descriptors);
  CaptureLog log(ZV_LOG_ERRORS);
  EXPECT_EQ(maddr_load(nullptr, 1), nullptr);
  for (const char* content : {"", "[version=1]\n", "[version=7] trailing text\n# only\n"}) {
    SCOPED_TRACE(content);
    AddressesListPtr list(maddr_load(dir.write("addresses", content).c_str(), 1));
    ASSERT_TRUE(list);
    EXPECT_EQ(maddr_may_notify(list.get(), "a@b", MADDR_ROLE_FROM), 1);
  }
  EXPECT_TRUE(log.texts().empty());
}

}  // namespace
