// The three list files (deny list, non-notified viruses, non-notified addresses) share
// their loading, reloading, printing and locking in zv_listfile: these tests run each
// behaviour once per list, a row per list. What a list's entries mean (matching, roles,
// versions, its refused lines) stays in that list's own test.
#include "zv_listfile.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "filter/zv_listfile_fixture.h"
#include "support/zv_test_support.h"
#include "zv_addresses.h"
#include "zv_users.h"
#include "zv_viruses.h"
#include "zvc_strings.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

// One list kind, seen through its public functions. The list is handled as void* so
// that the rows share one type.
struct Kind {
  const char* name;
  const char* prefix;  // of its log lines
  std::function<void*(const char* path)> load;
  std::function<int(void* list, const char* path)> reload;
  std::function<void(void* list, int level)> print;
  std::function<void(void* list)> free;
  // A file whose only entry keeps `word` out (no notification, or denied).
  std::function<std::string(const std::string& word)> entry;
  // Whether the list keeps `word` out.
  std::function<bool(void* list, const std::string& word)> kept_out;
  // Printing: a file, the level at which its entries are printed, the lines.
  std::string print_file;
  int print_level;
  std::vector<std::string> printed;
  // Racing reloads: two files of 200 entries that keep `target` out only with their last
  // entry; the first also keeps `only_first` out.
  std::string race_first;
  std::string race_second;
  std::string target;
  std::string only_first;
};

StringListPtr names(const std::string& name) {
  StringListPtr list(strings::create(0));
  EXPECT_EQ(strings::add(list.get(), name), 1);
  return list;
}

std::string numbered(const std::string& before, const std::string& after) {
  std::string text;
  for (int i = 0; i < 200; ++i) text += before + std::to_string(i) + after + "\n";
  return text;
}

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> rows = {
      {
          "deny list",
          "users",
          [](const char* path) -> void* { return users_load(path, 1); },
          [](void* l, const char* path) { return users_reload(static_cast<DenyList*>(l), path); },
          [](void* l, int level) { users_print(static_cast<DenyList*>(l), level); },
          [](void* l) { users_free(static_cast<DenyList*>(l)); },
          [](const std::string& word) { return "deny " + word + "\n"; },
          [](void* l, const std::string& word) {
            return users_match(static_cast<DenyList*>(l), word.c_str(), USERS_ROLE_TO, 0) == 0;
          },
          "# senders and recipients that are not checked\n"
          "[version=2]\n"
          "\n"
          "   allow to exact user@host\n"
          "Deny FROM Regex ^spam[0-9]+@\n"
          "deny any cregex ^CaseSensitive@\n"
          "deny any subst john doe\n"
          "deny to subst \"jane roe\"\n"
          "allowfromexactnospace@host\n",
          ZV_LOG_VERBOSE,
          {
              "users: --- print DenyList: <on/off> <where> <cmp> <user> ---",
              "users: allow to exact user@host",
              "users: deny from regex ^spam[0-9]+@",
              "users: deny any cregex ^CaseSensitive@",
              "users: deny any subst johndoe",
              "users: deny to subst jane roe",
              "users: allow from exact nospace@host",
          },
          "[version=2]\n" + numbered("allow any exact first", "") +
              "deny any subst target\ndeny any exact only-first\n",
          "[version=2]\n" + numbered("allow from regex ^second", "$") + "deny any regex targ\n",
          "the-target@host",
          "only-first",
      },
      {
          "viruses list",
          "virus",
          [](const char* path) -> void* { return viruses_load(path, 1); },
          [](void* l, const char* path) {
            return viruses_reload(static_cast<UnNotificableVirusesList*>(l), path);
          },
          [](void* l, int level) {
            viruses_print(static_cast<UnNotificableVirusesList*>(l), level);
          },
          [](void* l) { viruses_free(static_cast<UnNotificableVirusesList*>(l)); },
          [](const std::string& word) { return "deny deny deny " + word + "\n"; },
          [](void* l, const std::string& word) {
            StringListPtr found = names(word);
            return viruses_may_notify(static_cast<UnNotificableVirusesList*>(l), found.get(),
                                      VIRUSES_ROLE_ADMIN) == 0;
          },
          "[version=2]\nallow deny allow deny EICAR\ndeny allow deny allow .*\n",
          ZV_LOG_DEBUG,
          {
              "virus: --- print UnNotificableVirusesList: <matching> <admin> <sender> <rcpts> "
              "<quarantine> ---",
              "virus: EICAR allow deny allow deny",
              "virus: .* deny allow deny allow",
          },
          "[version=2]\n" + numbered("allow allow allow allow ^First", "$") +
              "deny allow allow allow Target\ndeny allow allow allow ^Only-First$\n",
          numbered("allow allow allow ^Second", "$") + "deny allow allow target\n",
          "Worm.Target.A",
          "Only-First",
      },
      {
          "addresses list",
          "maddr",
          [](const char* path) -> void* { return maddr_load(path, 1); },
          [](void* l, const char* path) {
            return maddr_reload(static_cast<UnNotificableAddressesList*>(l), path);
          },
          [](void* l, int level) {
            maddr_print(static_cast<UnNotificableAddressesList*>(l), level);
          },
          [](void* l) { maddr_free(static_cast<UnNotificableAddressesList*>(l)); },
          [](const std::string& word) { return "any ^" + word + "@\n"; },
          [](void* l, const std::string& word) {
            return maddr_may_notify(static_cast<UnNotificableAddressesList*>(l),
                                    (word + "@host").c_str(), MADDR_ROLE_TO) == 0;
          },
          "# never notified\n"
          "from ! @example\\.com$\n"
          "TO ^postmaster@\n"
          "any \"^nobody@\"\n",
          ZV_LOG_VERBOSE,
          {
              "maddr: --- print UnNotificableAddressesList: <matching> <role> ---",
              "maddr: not @example\\.com$ from",
              "maddr: ^postmaster@ to",
              "maddr: ^nobody@ any",
          },
          numbered("any ^first", "@") + "to ^target@\nany ^only-first@\n",
          numbered("from ^second", "@") + "any target\n",
          "target",
          "only-first",
      },
  };
  return rows;
}

// Owns a loaded list of any kind.
struct Loaded {
  const Kind& kind;
  void* list;
  ~Loaded() { kind.free(list); }
  void* get() const { return list; }
};

TEST(ListFile, PrintsEveryEntryAtItsLevelOnly) {
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    CaptureLog log(ZV_LOG_DEBUG);
    Loaded list{k, k.load(dir.write("list", k.print_file).c_str())};
    ASSERT_NE(list.get(), nullptr);
    log.clear();
    // Below the list's level nothing is printed.
    k.print(list.get(), ZV_LOG_INFO);
    EXPECT_TRUE(log.texts().empty());
    k.print(list.get(), k.print_level);
    EXPECT_EQ(listfile_fixture::without_mutex_lines(log), k.printed);
    k.print(nullptr, ZV_LOG_DEBUG);
  }
}

TEST(ListFile, ReloadReplacesOrEmptiesTheList) {
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    CaptureLog log(ZV_LOG_ERRORS);
    const std::string path = dir.write("list", k.entry("old"));
    Loaded list{k, k.load(path.c_str())};
    ASSERT_NE(list.get(), nullptr);
    EXPECT_TRUE(k.kept_out(list.get(), "old"));

    dir.write("list", k.entry("new"));
    EXPECT_EQ(k.reload(list.get(), path.c_str()), 1);
    EXPECT_FALSE(k.kept_out(list.get(), "old"));
    EXPECT_TRUE(k.kept_out(list.get(), "new"));

    // A refused file empties the list: none of its entries, nor the old ones, apply.
    dir.write("list", k.entry("again") + "nonsense\n");
    EXPECT_EQ(k.reload(list.get(), path.c_str()), 0);
    ASSERT_FALSE(log.texts().empty());
    EXPECT_EQ(log.texts().front(), std::string(k.prefix) + ": wrong line(2)");
    EXPECT_FALSE(k.kept_out(list.get(), "new"));
    EXPECT_FALSE(k.kept_out(list.get(), "again"));

    // Without a list or a file there is nothing to do.
    dir.write("list", k.entry("new"));
    EXPECT_EQ(k.reload(list.get(), path.c_str()), 1);
    EXPECT_EQ(k.reload(list.get(), nullptr), 1);
    EXPECT_TRUE(k.kept_out(list.get(), "new"));
    EXPECT_EQ(k.reload(nullptr, path.c_str()), 1);
    k.free(nullptr);
  }
}

// Querying threads race a reloading thread. Both files keep the target out only with
// their last entry, so a query that saw a half-loaded or emptied list would let it pass.
TEST(ListFile, ReloadIsAtomicForConcurrentQueries) {
  for (const Kind& k : kinds()) {
    SCOPED_TRACE(k.name);
    TempDir dir;
    CaptureLog log(ZV_LOG_ERRORS);
    const std::string first = dir.write("first", k.race_first);
    const std::string second = dir.write("second", k.race_second);
    Loaded list{k, k.load(first.c_str())};
    ASSERT_NE(list.get(), nullptr);
    ASSERT_TRUE(k.kept_out(list.get(), k.target));
    const listfile_fixture::RaceCount count = listfile_fixture::race_queries_with_reloads(
        [&] { return [&] { return !k.kept_out(list.get(), k.target); }; },
        [&](const char* path) { return k.reload(list.get(), path); }, first, second);
    EXPECT_EQ(count.failed_reloads, 0);
    EXPECT_EQ(count.wrong, 0);
    // The last reload was of the first file.
    EXPECT_TRUE(k.kept_out(list.get(), k.only_first));
    EXPECT_TRUE(log.texts().empty());
  }
}

// regcomp's work explodes on stacked repetition operators and on large nested bounds;
// such patterns are refused before compiling, every other one is left to regcomp.
TEST(ListFile, PatternsThatWouldStallTheCompilerAreRefused) {
  struct Row {
    const char* pattern;
    const char* refusal;  // null: handed to regcomp
  };
  const char* const kStacked = "repetition operators follow each other";
  const char* const kLarge = "repetition too large to compile";
  const Row rows[] = {
      {"^[a-z0-9._-]{1,64}@example\\.com$", nullptr},
      {"(.{1,64}@){1,8}", nullptr},
      {"x{1,1024}", nullptr},
      {"((a+)+)+", nullptr},
      {"a{1,", nullptr},          // malformed: regcomp says why
      {"a{x}+", nullptr},         // a brace that opens no interval is a plain atom
      {"a{x++", kStacked},        // ... and the walk goes on after it
      {"[+*?]{2}[{]x", nullptr},  // operators inside brackets are characters
      {"\\+\\+\\+", nullptr},     // escaped ones too
      {"a++", kStacked},
      {"a*?", kStacked},
      {"(ab){2}{3}", kStacked},
      {"x{1,1025}", kLarge},
      {"x{,32767}", kLarge},  // no lower bound: {0,32767}
      {"(a{1,100}){1,100}", kLarge},
      {"[a-z]{1,600}b{1,600}c{1,600}", kLarge},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pattern);
    const char* refusal = listfile::repetition_refusal(row.pattern);
    if (row.refusal == nullptr)
      EXPECT_EQ(refusal, nullptr) << refusal;
    else
      EXPECT_STREQ(refusal, row.refusal);
  }
}

}  // namespace
