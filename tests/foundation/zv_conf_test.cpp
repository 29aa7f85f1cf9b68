#include "zv_conf.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "support/zv_refusing.h"
#include "support/zv_test_support.h"
#include "zvc_strings.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

// A small configuration of two sections with one key of every type.
struct LoggingRecord {
  char* level = nullptr;  // heap copy
  char facility_buf[8] = {};
  char* facility = facility_buf;  // caller buffer of 8 bytes
  int32_t verbose = 0;
  int releases = 0;
};

struct DaemonRecord {
  int32_t timeout = 0;
  int32_t port = 0;
  int32_t mode = 0;
  int32_t cache = 0;
  char* reply = nullptr;
  StringList* address = nullptr;
  int reads = 0;
  int releases = 0;
};

void release_logging(const char*, void* arg) {
  auto* r = static_cast<LoggingRecord*>(arg);
  free(r->level);
  r->level = nullptr;
  ++r->releases;
}

int read_logging(FILE* f, int* line, const char* name, void* arg) {
  auto* r = static_cast<LoggingRecord*>(arg);
  ConfVariable vars[] = {
      {"Level", CONF_STRING, &r->level, 0, 0, "Quiet"},
      {"Facility", CONF_STRING, &r->facility, 8, 0, "Mail"},
      {"Verbose", CONF_BOOL, &r->verbose, 4, 0, nullptr},
      {nullptr, 0, nullptr, 0, 0, nullptr},
  };
  return read_section(f, line, name, vars, '=', ',') == 0;
}

void release_daemon(const char*, void* arg) {
  auto* r = static_cast<DaemonRecord*>(arg);
  free(r->reply);
  r->reply = nullptr;
  strings::destroy(r->address);
  r->address = nullptr;
  ++r->releases;
}

int read_daemon(FILE* f, int* line, const char* name, void* arg) {
  auto* r = static_cast<DaemonRecord*>(arg);
  ++r->reads;
  ConfVariable vars[] = {
      {"Timeout", CONF_INT, &r->timeout, 4, 30, nullptr},
      {"Port", CONF_UINT, &r->port, 4, 7, nullptr},
      {"Mode", CONF_OCTAL, &r->mode, 4, 0600, nullptr},
      {"Cache", CONF_BOOL, &r->cache, 4, 0, nullptr},
      {"ReplyInfected", CONF_STRING, &r->reply, 0, 0, nullptr},
      {"Address", CONF_STRLIST, &r->address, 0, 0, nullptr},
      {nullptr, 0, nullptr, 0, 0, nullptr},
  };
  return read_section(f, line, name, vars, '=', ',') == 0;
}

std::vector<std::string> items(StringList* list) {
  std::vector<std::string> out;
  if (list != nullptr)
    for (const std::string& s : *list) out.push_back(s);
  return out;
}

class ConfReader : public ::testing::Test {
 protected:
  void SetUp() override { conf_set_obsolete_tables(nullptr, nullptr); }
  void TearDown() override {
    release_sections(table);
    conf_set_obsolete_tables(nullptr, nullptr);
  }

  int load(const std::string& text) {
    path = dir.write("zarvik_smf.conf", text);
    for (ConfSection* s = table; s->name; ++s) s->loaded = 0;
    return read_conf(path.c_str(), table);
  }

  TempDir dir;
  std::string path;
  LoggingRecord logging;
  DaemonRecord daemon;
  ConfSection table[3] = {
      {"Logging", &logging, read_logging, release_logging, 0, 1},
      {"DaemonCommunication", &daemon, read_daemon, release_daemon, 0, 0},
      {nullptr, nullptr, nullptr, nullptr, 0, 0},
  };
};

TEST_F(ConfReader, ValuesAndConversions) {
  struct Row {
    const char* name;
    const char* body;  // lines after "[DaemonCommunication]"
    std::function<void(const DaemonRecord&)> check;
  };
  const Row rows[] = {
      {"defaults", "",
       [](const DaemonRecord& d) {
         EXPECT_EQ(d.timeout, 30);
         EXPECT_EQ(d.port, 7);
         EXPECT_EQ(d.mode, 0600);
         EXPECT_EQ(d.cache, 0);
         EXPECT_EQ(d.reply, nullptr);
         EXPECT_EQ(d.address, nullptr);
       }},
      {"blanks removed", "ReplyInfected = 550 5.7.1 Virus found\n",
       [](const DaemonRecord& d) { EXPECT_STREQ(d.reply, "5505.7.1Virusfound"); }},
      {"quoted keeps blanks", "ReplyInfected = \"550 5.7.1 Virus found\"\n",
       [](const DaemonRecord& d) { EXPECT_STREQ(d.reply, "550 5.7.1 Virus found"); }},
      {"hash is part of a value", "ReplyInfected = Debug # verbose\n",
       [](const DaemonRecord& d) { EXPECT_STREQ(d.reply, "Debug#verbose"); }},
      {"bool words", "Cache = YES\n", [](const DaemonRecord& d) { EXPECT_EQ(d.cache, 1); }},
      {"quoted bool", "Cache = \"on\"\n", [](const DaemonRecord& d) { EXPECT_EQ(d.cache, 1); }},
      {"bool false", "Cache = yes\nCache = Off\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.cache, 0); }},
      {"int trailing text", "Timeout = 12abc\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.timeout, 12); }},
      {"negative int", "Timeout = -5\n", [](const DaemonRecord& d) { EXPECT_EQ(d.timeout, -5); }},
      {"uint maximum", "Port = 2147483647\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.port, 2147483647); }},
      {"octal mode", "Mode = 0644\n", [](const DaemonRecord& d) { EXPECT_EQ(d.mode, 0644); }},
      // An octal value keeps the bits of 32: the largest one reads back as -1.
      {"octal maximum", "Mode = 37777777777\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.mode, -1); }},
      {"octal minimum", "Mode = -20000000000\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.mode, INT32_MIN); }},
      {"key compared without case", "TIMEOUT = 9\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.timeout, 9); }},
      {"characters between key and separator ignored", "Timeout2 = 5\nTimeoutXYZ=6\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.timeout, 5); }},
      {"list skips empty items", "Address = a, ,b\n",
       [](const DaemonRecord& d) {
         EXPECT_EQ(items(d.address), (std::vector<std::string>{"a", "b"}));
       }},
      {"list item quotes removed, last line wins", "Address = x\nAddress = \"p q\",r,\n",
       [](const DaemonRecord& d) {
         EXPECT_EQ(items(d.address), (std::vector<std::string>{"p q", "r"}));
       }},
      {"empty list value", "Address =\n",
       [](const DaemonRecord& d) {
         ASSERT_NE(d.address, nullptr);
         EXPECT_EQ(strings::count(d.address), 0u);
       }},
      {"comments and blank lines", "# Timeout = 1\n   \n\t# x\nTimeout=2\n",
       [](const DaemonRecord& d) { EXPECT_EQ(d.timeout, 2); }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_ERRORS);
    ASSERT_EQ(load(std::string("[DaemonCommunication]\n") + row.body), 0);
    row.check(daemon);
    EXPECT_TRUE(log.texts().empty());
    release_sections(table);
  }
}

TEST_F(ConfReader, IllegalValuesAndLinesNameTheLine) {
  struct Row {
    const char* name;
    const char* body;  // follows three lines: the header, Address and ReplyInfected
    const char* message;
  };
  const Row rows[] = {
      {"quoted int", "Timeout = \"5\"\n", "illegal value in line 4"},
      {"bool digit", "\n# comment\nCache = 1\n", "illegal value in line 6"},
      {"bool other word", "Cache = enabled\n", "illegal value in line 4"},
      {"uint negative", "Port = -1\n", "illegal value in line 4"},
      {"uint too big", "Port = 2147483648\n", "illegal value in line 4"},
      {"int without digits", "Timeout = abc\n", "illegal value in line 4"},
      {"int overflow", "Timeout = 99999999999\n", "illegal value in line 4"},
      {"octal digit 9", "Mode = 9\n", "illegal value in line 4"},
      {"octal beyond 32 bits", "Mode = 40000000000\n", "illegal value in line 4"},
      {"octal below the int range", "Mode = -20000000001\n", "illegal value in line 4"},
      {"octal beyond 64 bits", "Mode = 7777777777777777777777\n", "illegal value in line 4"},
      {"no key", "= 5\n", "illegal line 4"},
      {"digit first", "5Timeout = 5\n", "illegal line 4"},
      {"no separator", "Timeout 5\n", "no separator (=) in line 4"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_INFO);
    ASSERT_EQ(load(std::string("[DaemonCommunication]\nAddress=a,b\nReplyInfected=x\n") + row.body),
              -1);
    // The list and the string read before the failing line are released.
    EXPECT_EQ(daemon.address, nullptr);
    EXPECT_EQ(daemon.reply, nullptr);
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  std::string("zvlib: read_section(DaemonCommunication): ") + row.message,
                  "zvlib: read_conf(" + path + "): error in section [DaemonCommunication]",
              }));
  }
}

TEST_F(ConfReader, SectionsHeadersAndUnknownLines) {
  CaptureLog log(ZV_LOG_VERBOSE);
  std::string long_key(300, 'K');
  ASSERT_EQ(load("Timeout = 1\n"  // before any header: skipped
                 "[Unknown]\n"
                 "Timeout = 2\n"  // inside an unknown section: skipped
                 "garbage line\n"
                 "[ Logging ]\n"             // blanks inside the brackets removed
                 "[DaemonCommunicationX]\n"  // selected by prefix
                 "Timeout = 3\n" +
                 long_key +
                 " = 4\n"
                 "Bogus = 5\n"),
            0);
  EXPECT_EQ(daemon.timeout, 3);
  EXPECT_TRUE(table[0].loaded);
  EXPECT_TRUE(table[1].loaded);
  EXPECT_STREQ(logging.level, "Quiet");  // defaults only
  EXPECT_STREQ(logging.facility, "Mail");
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "zvlib: read_conf(" + path + "): unknown section [Unknown]",
                             "zvlib: read_section(DaemonCommunication): unknown variable " +
                                 std::string(255, 'K') + " in line 8",
                             "zvlib: read_section(DaemonCommunication): unknown variable "
                             "Bogus in line 9",
                             "zvlib: read_conf(" + path + "): successfully loaded",
                         }));
}

// What the hooks of read_conf_with() saw.
struct HookRecord {
  int refuse = 0;  // 1: check_file refuses the file
  std::vector<int> checked_fds;
  std::vector<std::string> unknown;  // "path:line:section:key"
};

int check_hook(int fd, const char*, void* context) {
  auto* r = static_cast<HookRecord*>(context);
  r->checked_fds.push_back(fd);
  return r->refuse ? 0 : 1;
}

void unknown_hook(const char* path, int line, const char* section, const char* key, void* context) {
  static_cast<HookRecord*>(context)->unknown.push_back(
      std::string(path ? path : "(null)") + ":" + std::to_string(line) + ":" + section + ":" + key);
}

TEST_F(ConfReader, HooksSeeTheOpenFileAndEveryUnknownKey) {
  const std::string text =
      "[DaemonCommunication]\n"
      "Timeout = 3\n"
      "Timeoutt = 4\n"  // a typo: skipped, but shown
      "[Logging]\n"
      "# comment\n"
      "Levle = Debug\n";
  HookRecord record;
  ConfHooks hooks{check_hook, unknown_hook, &record};
  path = dir.write("zarvik_smf.conf", text);
  ASSERT_EQ(read_conf_with(path.c_str(), table, &hooks), 0);
  EXPECT_EQ(daemon.timeout, 3);
  ASSERT_EQ(record.checked_fds.size(), 1u);
  EXPECT_GE(record.checked_fds[0], 0);
  EXPECT_EQ(record.unknown, (std::vector<std::string>{path + ":3:DaemonCommunication:Timeoutt",
                                                      path + ":6:Logging:Levle"}));

  // The hooks end with the call: a plain read shows nothing more.
  release_sections(table);
  ASSERT_EQ(load(text), 0);
  EXPECT_EQ(record.unknown.size(), 2u);

  // A refused file is not read at all, and what an earlier reading left is released.
  record = HookRecord{};
  record.refuse = 1;
  EXPECT_EQ(read_conf_with(path.c_str(), table, &hooks), -1);
  EXPECT_EQ(record.checked_fds.size(), 1u);
  EXPECT_TRUE(record.unknown.empty());
  EXPECT_EQ(daemon.reads, 2);
  EXPECT_FALSE(table[0].loaded);
  EXPECT_FALSE(table[1].loaded);
}

TEST_F(ConfReader, SectionReadTwiceKeepsOnlyTheLastOccurrence) {
  CaptureLog log(ZV_LOG_ERRORS);
  ASSERT_EQ(load("[Logging]\nLevel=Debug\nFacility=Local0\n"
                 "[DaemonCommunication]\nTimeout=5\nAddress=a\nReplyInfected=r\n"
                 "[Logging]\nVerbose=on\n"
                 "[DaemonCommunication]\nPort=9\n"),
            0);
  EXPECT_EQ(daemon.reads, 2);
  EXPECT_EQ(daemon.timeout, 30);
  EXPECT_EQ(daemon.port, 9);
  EXPECT_EQ(daemon.address, nullptr);
  EXPECT_EQ(daemon.reply, nullptr);
  EXPECT_STREQ(logging.level, "Quiet");
  EXPECT_STREQ(logging.facility, "Mail");
  EXPECT_EQ(logging.verbose, 1);
}

TEST_F(ConfReader, CallerBufferStrings) {
  CaptureLog log(ZV_LOG_ERRORS);
  ASSERT_EQ(load("[Logging]\nFacility=Local7\n[DaemonCommunication]\n"), 0);
  EXPECT_STREQ(logging.facility, "Local7");
  ASSERT_EQ(load("[Logging]\nFacility=\"Local777\"\n[DaemonCommunication]\n"), -1);
  EXPECT_TRUE(log.contains("zvlib: getstring: storage not enough (8) for value (8)"));
  EXPECT_TRUE(log.has("zvlib: read_section(Logging): illegal value in line 2"));
}

TEST_F(ConfReader, LongLinesAreReadInPieces) {
  CaptureLog log(ZV_LOG_ERRORS);
  // 1022 characters and the newline fit the buffer whole.
  std::string fits = "ReplyInfected=" + std::string(1022 - 14, 'v') + "\n";
  ASSERT_EQ(load("[DaemonCommunication]\n" + fits), 0);
  EXPECT_EQ(strlen(daemon.reply), 1022u - 14);
  // A longer line is cut after 1023 bytes; its rest is a line of its own and, holding no
  // separator, fails the section at line 3.
  std::string too_long = "ReplyInfected=" + std::string(1100, 'v') + "\n";
  ASSERT_EQ(load("[DaemonCommunication]\n" + too_long), -1);
  EXPECT_TRUE(log.has("zvlib: read_section(DaemonCommunication): no separator (=) in line 3"));
}

TEST_F(ConfReader, FileLevelFailures) {
  CaptureLog log(ZV_LOG_ERRORS);
  EXPECT_EQ(read_conf(nullptr, table), -1);
  EXPECT_EQ(read_conf("x.conf", nullptr), -1);
  EXPECT_EQ(read_conf(dir.path().c_str(), table), -1);
  std::string missing = dir.file("missing.conf");
  EXPECT_EQ(read_conf(missing.c_str(), table), -1);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "zvlib: read_conf: null filename passed",
                             "zvlib: read_conf(x.conf): null task list passed",
                             "zvlib: read_conf(" + dir.path() +
                                 "): full pathname should be specified, not directory only",
                             "zvlib: read_conf(" + missing + "): No such file or directory",
                         }));
  // A file that cannot be opened (as for an account without the right to read it; the
  // kernel refuses the open itself, so this runs as root too).
  std::string locked = dir.write("locked.conf", "[DaemonCommunication]\n");
  EXPECT_CHILD_OK(zvtest::run_refusing({{SYS_openat, EACCES}}, [&] {
    std::string failures;
    CaptureLog child_log(ZV_LOG_ERRORS);
    CHILD_CHECK(read_conf(locked.c_str(), table) == -1);
    CHILD_CHECK(child_log.texts() ==
                std::vector<std::string>{"zvlib: read_conf(" + locked +
                                         "): cannot open - Permission denied"});
    return failures;
  }));
}

TEST_F(ConfReader, MissingRequiredSectionReleasesWhatWasRead) {
  CaptureLog log(ZV_LOG_ERRORS);
  ASSERT_EQ(load("[Logging]\nLevel=Info\n"), -1);
  EXPECT_TRUE(log.has("zvlib: read_conf(" + path + "): section [DaemonCommunication] missed"));
  EXPECT_EQ(logging.releases, 1);
  EXPECT_EQ(logging.level, nullptr);
  EXPECT_FALSE(table[0].loaded);

  // A failing section releases the sections read before it.
  logging.releases = 0;
  ASSERT_EQ(load("[Logging]\nLevel=Info\n[DaemonCommunication]\nTimeout=x\n"), -1);
  EXPECT_EQ(logging.releases, 1);
  EXPECT_EQ(logging.level, nullptr);
}

TEST_F(ConfReader, ObsoleteSectionsAndParameters) {
  static const ConfObsoleteSection sections[] = {
      {"OldStop", CONF_OBSOLETE_STOP}, {"OldWarn", CONF_OBSOLETE_WARN}, {nullptr, 0}};
  static const ConfObsoleteParameter params[] = {{"Daemon", "Legacy", CONF_OBSOLETE_WARN},
                                                 {"Daemon", "Removed", CONF_OBSOLETE_STOP},
                                                 {"Daemon", "Timeout", CONF_OBSOLETE_WARN},
                                                 {nullptr, nullptr, 0}};
  conf_set_obsolete_tables(sections, params);
  {
    CaptureLog log(ZV_LOG_ALERTS);
    ASSERT_EQ(load("[OldWarnings]\nx=1\n[DaemonCommunication]\nLegacyKey=1\nTimeout=4\n"), 0);
    EXPECT_EQ(daemon.timeout, 4);  // a warned key is still stored when the table knows it
    EXPECT_EQ(log.texts(),
              (std::vector<std::string>{
                  "zvlib: read_conf(" + path +
                      "): section [OldWarnings] is obsolete - continue, but please read "
                      "documentation",
                  "zvlib: read_section(DaemonCommunication): parameter LegacyKey is obsolete - "
                  "continue, but please read documentation",
                  "zvlib: read_section(DaemonCommunication): parameter Timeout is obsolete - "
                  "continue, but please read documentation",
              }));
  }
  {
    CaptureLog log(ZV_LOG_ERRORS);
    ASSERT_EQ(load("[DaemonCommunication]\nAddress=a\nremoved=1\n"), -1);
    EXPECT_EQ(daemon.address, nullptr);
    EXPECT_TRUE(
        log.has("zvlib: read_section(DaemonCommunication): parameter removed is obsolete "
                "- stop parsing, please read documentation"));
  }
  {
    CaptureLog log(ZV_LOG_ERRORS);
    ASSERT_EQ(load("[Logging]\nLevel=Info\n[oldstop]\n[DaemonCommunication]\n"), -1);
    EXPECT_EQ(logging.level, nullptr);
    EXPECT_TRUE(log.has("zvlib: read_conf(" + path +
                        "): section [oldstop] is obsolete - stop parsing, please read "
                        "documentation"));
  }
}

TEST(ConfReadSection, BadTablesAndSeparators) {
  TempDir dir;
  std::string path = dir.write("s.conf", "Key=1\n");
  int32_t number = 0;
  char* text = nullptr;
  char small_buf[4];
  char* small = small_buf;
  StringList* list = nullptr;
  struct Row {
    const char* name;
    std::vector<ConfVariable> vars;
    char sep;
    char list_sep;
    std::string message;
  };
  const ConfVariable end = {nullptr, 0, nullptr, 0, 0, nullptr};
  const ConfVariable good_text = {"Text", CONF_STRING, &text, 0, 0, "dflt"};
  const Row rows[] = {
      {"separator letter", {end}, 'a', ',', "invalid separator (a) passed"},
      {"list separator quote", {end}, '=', '"', "invalid separator (\") passed"},
      {"separator underscore", {end}, '_', ',', "invalid separator (_) passed"},
      {"null name",
       {good_text, {nullptr, CONF_INT, &number, 4, 0, nullptr}, end},
       '=',
       ',',
       "null name for 2 variable passed"},
      {"null storage",
       {{"N", CONF_INT, nullptr, 4, 0, nullptr}, end},
       '=',
       ',',
       "null pointer to value for 1 variable passed"},
      {"int width",
       {good_text, {"N", CONF_INT, &number, 8, 0, nullptr}, end},
       '=',
       ',',
       "wrong len (8) of storage for 2 variable passed"},
      {"default too long",
       {{"S", CONF_STRING, &small, 4, 0, "four"}, end},
       '=',
       ',',
       "storage not enough (4) for default (4) for 1 variable passed"},
      {"list default",
       {{"L", CONF_STRLIST, &list, 0, 0, "a"}, end},
       '=',
       ',',
       "default value for string list currently not supported"},
      {"unknown type",
       {{"X", 9, &number, 4, 0, nullptr}, end},
       '=',
       ',',
       "wrong type (9) of value for 1 variable passed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_ERRORS);
    FILE* f = fopen(path.c_str(), "r");
    ASSERT_NE(f, nullptr);
    std::vector<ConfVariable> vars = row.vars;
    int line = 1;
    EXPECT_EQ(read_section(f, &line, "S", vars.data(), row.sep, row.list_sep), -1);
    fclose(f);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"zvlib: read_section(S): " + row.message});
    EXPECT_EQ(text, nullptr);  // a default copied before the failure is released
  }
}

TEST(ConfReadSection, DefaultsTraceAndStreamPosition) {
  TempDir dir;
  std::string path = dir.write("s.conf", "Count = 3\n# note\n[Next]\nCount = 4\n");
  int32_t count = 0;
  char* text = nullptr;
  StringList* list = nullptr;
  ConfVariable vars[] = {
      {"Count", CONF_INT, &count, 4, 1, nullptr},
      {"Text", CONF_STRING, &text, 0, 0, nullptr},
      {"List", CONF_STRLIST, &list, 0, 0, nullptr},
      {nullptr, 0, nullptr, 0, 0, nullptr},
  };
  CaptureLog log(ZV_LOG_DEBUG);
  FILE* f = fopen(path.c_str(), "r");
  ASSERT_NE(f, nullptr);
  int line = 2;
  ASSERT_EQ(read_section(f, &line, "S", vars, '=', ','), 0);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(line, 4);  // two lines read; the header is left for the caller
  char next[64];
  ASSERT_NE(fgets(next, sizeof(next), f), nullptr);
  EXPECT_STREQ(next, "[Next]\n");
  fclose(f);
  EXPECT_EQ(log.texts(), (std::vector<std::string>{
                             "zvlib: read_section(S): for Count default = 1, value = 1",
                             "zvlib: read_section(S): null default for 2 variable passed",
                             "zvlib: read_section(S): for Text default = NULL, value = NULL",
                             "zvlib: read_section(S): null default for 3 variable passed",
                             "zvlib: read_section(S): format string = <%255[a-zA-Z_.]=>",
                         }));
}

}  // namespace
