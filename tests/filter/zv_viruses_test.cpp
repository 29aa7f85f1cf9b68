#include "zv_viruses.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "filter/zv_listfile_fixture.h"
#include "support/zv_test_support.h"
#include "zvc_strings.h"

namespace {

using listfile_fixture::regerror_text;
using listfile_fixture::without_mutex_lines;
using zvtest::CaptureLog;
using zvtest::TempDir;

StringListPtr names(std::initializer_list<const char*> items) {
  StringListPtr list(strings::create(0));
  for (const char* item : items) EXPECT_EQ(strings::add(list.get(), item), 1);
  return list;
}

TEST(VirusList, FirstNameWithAnEntryDecidesPerRole) {
  TempDir dir;
  CaptureLog log(ZV_LOG_DEBUG);
  VirusesListPtr list(viruses_load(dir.write("viruses",
                                             "[version=2]\n"
                                             "deny deny allow allow ^Worm\\.\n"
                                             "allow allow deny allow ^Worm\\.Mass\n"
                                             "allow deny allow allow trojan\n")
                                       .c_str(),
                                   1));
  ASSERT_TRUE(list);
  StringListPtr found = names({"Clean.Unknown", "Trojan.X", "Worm.Mass"});
  struct Row {
    int role;
    int expected;
  };
  for (const Row& row : {Row{VIRUSES_ROLE_SENDER, 0}, Row{VIRUSES_ROLE_RCPTS, 1},
                         Row{VIRUSES_ROLE_ADMIN, 1}, Row{7, 1}}) {
    SCOPED_TRACE(row.role);
    log.clear();
    EXPECT_EQ(viruses_may_notify(list.get(), found.get(), row.role), row.expected);
    EXPECT_EQ(without_mutex_lines(log), (std::vector<std::string>{
                                            "viruses: try match Clean.Unknown to ^Worm\\.",
                                            "viruses: try match Clean.Unknown to ^Worm\\.Mass",
                                            "viruses: try match Clean.Unknown to trojan",
                                            "viruses: try match Trojan.X to ^Worm\\.",
                                            "viruses: try match Trojan.X to ^Worm\\.Mass",
                                            "viruses: try match Trojan.X to trojan",
                                            "viruses: entry Trojan.X matched by trojan",
                                        }));
  }
  // The first matching entry wins over a later, more specific one.
  StringListPtr worm = names({"Worm.Mass.A"});
  EXPECT_EQ(viruses_may_notify(list.get(), worm.get(), VIRUSES_ROLE_RCPTS), 1);
  EXPECT_EQ(viruses_may_notify(list.get(), worm.get(), VIRUSES_ROLE_ADMIN), 0);
  StringListPtr unknown = names({"Unknown"});
  EXPECT_EQ(viruses_may_notify(list.get(), unknown.get(), VIRUSES_ROLE_SENDER), 1);
  StringListPtr none = names({});
  EXPECT_EQ(viruses_may_notify(list.get(), none.get(), VIRUSES_ROLE_SENDER), 1);
  EXPECT_EQ(viruses_may_notify(nullptr, found.get(), VIRUSES_ROLE_SENDER), 1);
  EXPECT_EQ(viruses_may_notify(list.get(), nullptr, VIRUSES_ROLE_SENDER), 1);
}

TEST(VirusList, VersionOneHasThreeColumnsAndAllowsQuarantine) {
  TempDir dir;
  CaptureLog log(ZV_LOG_ERRORS);
  for (const char* content : {"deny allow allow .*\n", "[version=1]\ndeny allow allow .*\n",
                              "[Version=0]\n  DENY ALLOW ALLOW \".*\"\n"}) {
    SCOPED_TRACE(content);
    VirusesListPtr list(viruses_load(dir.write("viruses", content).c_str(), 1));
    ASSERT_TRUE(list);
    StringListPtr found = names({"EICAR-Test-File"});
    EXPECT_EQ(viruses_may_notify(list.get(), found.get(), VIRUSES_ROLE_ADMIN), 0);
    EXPECT_EQ(viruses_may_notify(list.get(), found.get(), VIRUSES_ROLE_SENDER), 1);
    EXPECT_EQ(viruses_may_notify(list.get(), found.get(), VIRUSES_ROLE_RCPTS), 1);
    EXPECT_EQ(viruses_may_quarantine(list.get(), found.get()), 1);
  }
}

TEST(VirusList, OneNonQuarantinableVirusKeepsTheMessageOut) {
  TempDir dir;
  CaptureLog log(ZV_LOG_ERRORS);
  VirusesListPtr list(
      viruses_load(dir.write("viruses", "[version=2]\nallow allow allow deny EICAR\n").c_str(), 1));
  ASSERT_TRUE(list);
  StringListPtr both = names({"Other.Virus", "EICAR-Test-File"});
  StringListPtr other = names({"Other.Virus"});
  EXPECT_EQ(viruses_may_quarantine(list.get(), both.get()), 0);
  EXPECT_EQ(viruses_may_quarantine(list.get(), other.get()), 1);
  EXPECT_EQ(viruses_may_quarantine(nullptr, both.get()), 1);
  EXPECT_EQ(viruses_may_quarantine(list.get(), nullptr), 1);
}

TEST(VirusList, FailedLoadNamesTheLineAndKeepsNothing) {
  TempDir dir;
  const std::string path = dir.file("viruses");
  // 127 bytes fit the line buffer; the 128th starts a line of its own.
  const std::string fits = "allow allow allow " + std::string(127 - 18, 'v');
  const std::string split = fits + "w";
  struct Row {
    std::string content;
    std::vector<std::string> messages;
  };
  const std::vector<Row> rows = {
      {"allow maybe allow x\n",
       {"virus: wrong line(1)", "virus: wrong line 1 : allow maybe allow x"}},
      {"[version=2]\nallow allow allow x\n",
       {"virus: wrong line(2)", "virus: wrong line 2 : allow allow allow x"}},
      {"\nallow allow allow \"\"\n", {"virus: wrong line(2)"}},
      {"[version=3]\nallow allow allow x\n", {"virus: wrong 3 version of file"}},
      {"[virus=2]\n", {"virus: parse version token - wrong line(1) [virus=2]"}},
      {"[version:2]\n", {"virus: parse version - wrong line(1) [version:2]"}},
      {"[version=two]\n", {"virus: parse version number - wrong line(1) [version=two]"}},
      {"allow allow allow (a\n",
       {"cannot compile regular expression ((a) - " + regerror_text("(a")}},
      // Each piece counts as a line: the newline after 127 bytes is line 2 (empty), the
      // split line's pieces are lines 3 and 4.
      {fits + "\n" + split + "\n", {"virus: wrong line(4)", "virus: wrong line 4 : w"}},
  };
  const int descriptors = zvtest::open_fd_count();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.content);
    dir.write("viruses", row.content);
    CaptureLog log(ZV_LOG_DEBUG);
    EXPECT_EQ(viruses_load(path.c_str(), 1), nullptr);
    std::vector<std::string> expected = row.messages;
    expected.push_back("virus: error loading viruses list from filename " + path);
    EXPECT_EQ(without_mutex_lines(log), expected);
  }
  EXPECT_EQ(zvtest::open_fd_count(), descriptors);

  CaptureLog log(ZV_LOG_ERRORS);
  dir.write("viruses", fits + "\n");
  VirusesListPtr list(viruses_load(path.c_str(), 0));
  ASSERT_TRUE(list);
  StringListPtr found = names({std::string(127 - 18, 'v').c_str()});
  EXPECT_EQ(viruses_may_quarantine(list.get(), found.get()), 1);
  EXPECT_TRUE(log.texts().empty());
  EXPECT_EQ(viruses_load(nullptr, 1), nullptr);
}

}  // namespace
