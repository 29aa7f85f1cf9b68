#include "zv_users.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filter/zv_listfile_fixture.h"
#include "support/zv_test_support.h"

namespace {

using listfile_fixture::regerror_text;
using listfile_fixture::without_mutex_lines;
using zvtest::CaptureLog;
using zvtest::TempDir;

constexpr const char* kVersion2List =
    "# senders and recipients that are not checked\n"
    "[version=2]\n"
    "\n"
    "   allow to exact user@host\n"
    "Deny FROM Regex ^spam[0-9]+@\n"
    "deny any cregex ^CaseSensitive@\n"
    "deny any subst john doe\n"
    "deny to subst \"jane roe\"\n"
    "allowfromexactnospace@host\n";

TEST(DenyList, MatchesByRoleAndComparison) {
  TempDir dir;
  CaptureLog log(ZV_LOG_VERBOSE);
  DenyListPtr list(users_load(dir.write("deny", kVersion2List).c_str(), 1));
  ASSERT_TRUE(list);
  struct Row {
    const char* address;
    int role;
    int deny_by_default;
    int expected;
    const char* message;  // null: no entry fits
  };
  const Row rows[] = {
      {"user@host", USERS_ROLE_TO, 1, 1, "users: address user@host equal to user@host"},
      {"user@host", USERS_ROLE_FROM, 1, 0, nullptr},
      {"user@host", USERS_ROLE_FROM, 0, 1, nullptr},
      {"xuser@host", USERS_ROLE_TO, 1, 0, nullptr},
      {"spam12@x", USERS_ROLE_FROM, 0, 0,
       "users: address spam12@x is appropriated for RE ^spam[0-9]+@"},
      {"SPAM12@X", USERS_ROLE_FROM, 0, 0,
       "users: address SPAM12@X is appropriated for RE ^spam[0-9]+@"},
      {"spam12@x", USERS_ROLE_TO, 0, 1, nullptr},
      {"CaseSensitive@x", USERS_ROLE_TO, 0, 0,
       "users: address CaseSensitive@x is appropriated for RE ^CaseSensitive@"},
      {"casesensitive@x", USERS_ROLE_TO, 0, 1, nullptr},
      {"a.johndoe@x", USERS_ROLE_FROM, 0, 0, "users: address a.johndoe@x is substring for johndoe"},
      {"john doe@x", USERS_ROLE_FROM, 0, 1, nullptr},
      {"\"jane roe\"@x", USERS_ROLE_TO, 0, 0,
       "users: address \"jane roe\"@x is substring for jane roe"},
      {"JohnDoe@x", USERS_ROLE_FROM, 0, 1, nullptr},
      {"nospace@host", USERS_ROLE_FROM, 1, 1, "users: address nospace@host equal to nospace@host"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.address) + " role " + std::to_string(row.role));
    log.clear();
    EXPECT_EQ(users_match(list.get(), row.address, row.role, row.deny_by_default), row.expected);
    std::vector<std::string> expected;
    if (row.message != nullptr) expected.push_back(row.message);
    std::vector<std::string> lines;
    for (const std::string& t : log.texts())
      if (t.rfind("users:", 0) == 0) lines.push_back(t);
    EXPECT_EQ(lines, expected);
  }
}

TEST(DenyList, VersionOneDeniesEveryRoleBySubstring) {
  TempDir dir;
  CaptureLog log(ZV_LOG_ERRORS);
  DenyListPtr list(users_load(dir.write("deny", "deny spammer\nallow spam\n").c_str(), 0));
  ASSERT_TRUE(list);
  for (int role : {USERS_ROLE_FROM, USERS_ROLE_TO}) {
    EXPECT_EQ(users_match(list.get(), "the-spammer@x", role, 0), 0);
    EXPECT_EQ(users_match(list.get(), "spam@x", role, 1), 1);
    EXPECT_EQ(users_match(list.get(), "other@x", role, 1), 0);
    EXPECT_EQ(users_match(list.get(), "other@x", role, 0), 1);
  }
}

TEST(DenyList, EmptyListsAndMissingArgumentsGiveTheDefault) {
  TempDir dir;
  CaptureLog log(ZV_LOG_ERRORS);
  for (const char* content : {"", "# nothing\n\n   \n", "[version=3]\n", "[version=2]\n# x\n"}) {
    SCOPED_TRACE(content);
    DenyListPtr list(users_load(dir.write("deny", content).c_str(), 1));
    ASSERT_TRUE(list);
    EXPECT_EQ(users_match(list.get(), "a@b", USERS_ROLE_FROM, 1), 0);
    EXPECT_EQ(users_match(list.get(), "a@b", USERS_ROLE_TO, 0), 1);
  }
  EXPECT_EQ(users_match(nullptr, "a@b", USERS_ROLE_FROM, 1), 0);
  EXPECT_EQ(users_match(nullptr, "a@b", USERS_ROLE_FROM, 0), 1);
  DenyListPtr list(users_load(dir.write("deny", "deny a\n").c_str(), 1));
  EXPECT_EQ(users_match(list.get(), nullptr, USERS_ROLE_FROM, 1), 0);
  EXPECT_EQ(users_match(list.get(), nullptr, USERS_ROLE_FROM, 0), 1);
  EXPECT_EQ(users_load(nullptr, 1), nullptr);
  EXPECT_TRUE(log.texts().empty());
}

TEST(DenyList, FailedLoadNamesTheLineAndKeepsNothing) {
  TempDir dir;
  const std::string path = dir.file("deny");
  struct Row {
    std::string content;
    std::string message;
  };
  const Row rows[] = {
      {"[versio=2]\ndeny a\n", "users: parse version token - wrong line(1) [versio=2]"},
      {"# c\n[version 2]\n", "users: parse version - wrong line(2) [version 2]"},
      {"[version=2\n", "users: parse version - wrong line(1) [version=2"},
      {"[version=2x]\n", "users: parse version number - wrong line(1) [version=2x]"},
      {"[version= 2 ]\n", "users: parse version number - wrong line(1) [version= 2 ]"},
      {"[version=-1]\n", "users: parse version number - wrong line(1) [version=-1]"},
      {"[version=3]\ndeny a\n", "users: wrong 3 version of file"},
      {"[VERSION=]\ndeny a\n", "users: wrong 0 version of file"},
      {"deny a\n[version=2]\n", "users: wrong line(2)"},
      {"[version=2]\nallow from exact a\nmaybe any subst x\n", "users: wrong line(3)"},
      {"[version=2]\nallow sender exact a\n", "users: wrong line(2)"},
      {"[version=2]\nallow from like a\n", "users: wrong line(2)"},
      {"[version=2]\nallow from exact \"\"\n", "users: wrong line(2)"},
      {"[version=2]\n\ndeny any exact\n", "users: wrong line(3)"},
      {"deny\n", "users: wrong line(1)"},
      {"[version=2]\ndeny any regex a(b\n",
       "cannot compile regular expression (a(b) - " + regerror_text("a(b")},
      {"[version=2]\ndeny any cregex [z-a]\n",
       "cannot compile regular expression ([z-a]) - " + regerror_text("[z-a]")},
      // Patterns on which regcomp itself would run for minutes.
      {"[version=2]\ndeny any regex a++++++++++++++++++++++++++++++\n",
       "cannot compile regular expression (a++++++++++++++++++++++++++++++) - repetition "
       "operators follow each other"},
      {"[version=2]\ndeny any regex x{1,32767}\n",
       "cannot compile regular expression (x{1,32767}) - repetition too large to compile"},
  };
  const int descriptors = zvtest::open_fd_count();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    dir.write("deny", row.content);
    CaptureLog log(ZV_LOG_DEBUG);
    EXPECT_EQ(users_load(path.c_str(), 1), nullptr);
    EXPECT_EQ(without_mutex_lines(log),
              (std::vector<std::string>{row.message,
                                        "users: error load users list from filename " + path}));
    EXPECT_TRUE(log.has("zvlib: mutex: 'ZvLib::UsersLocker' deleted"));
  }
  EXPECT_EQ(zvtest::open_fd_count(), descriptors);

  CaptureLog log(ZV_LOG_ERRORS);
  const std::string missing = dir.file("missing");
  EXPECT_EQ(users_load(missing.c_str(), 0), nullptr);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "users: cannot open file " + missing + " - No such file or directory",
                             "users: error load users list from filename " + missing}));
}

// A line longer than the 4096-byte buffer is read as several lines.
TEST(DenyList, LongLinesAreReadInPieces) {
  TempDir dir;
  CaptureLog log(ZV_LOG_ERRORS);
  const std::string pattern(4095 - 5, 'x');
  DenyListPtr list(users_load(dir.write("deny", "deny " + pattern + "deny y\n").c_str(), 0));
  ASSERT_TRUE(list);
  EXPECT_EQ(users_match(list.get(), ("a" + pattern).c_str(), USERS_ROLE_FROM, 0), 0);
  EXPECT_EQ(users_match(list.get(), "y", USERS_ROLE_FROM, 0), 0);
}

}  // namespace
