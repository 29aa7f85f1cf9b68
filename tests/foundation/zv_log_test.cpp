#include "zv_log.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "support/zv_test_support.h"

namespace {

using zvtest::CaptureLog;

// A sink that counts without setting the logger up, to see what happens before set-up.
class CountingSink : public LogSink {
 public:
  void open_syslog(const char*) override {}
  void close_syslog() override {}
  void syslog(int, const char*) override { ++messages; }
  void console(const char*, unsigned long) override { ++messages; }
  int messages = 0;
};

TEST(Log, LevelFilterAndQuietSettings) {
  struct Row {
    const char* name;
    int configured;
    std::vector<int> written;  // of the levels 2, 3, 4, 5, 9
  };
  const Row rows[] = {
      {"info", 4, {2, 3, 4}}, {"debug", 9, {2, 3, 4, 5, 9}}, {"errors", 2, {2}},
      {"quiet", 0, {}},       {"negative", -3, {}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(row.configured);
    for (int level : {2, 3, 4, 5, 9}) zv_log(level, "level %d", level);
    std::vector<std::string> expected;
    for (int level : row.written) expected.push_back("level " + std::to_string(level));
    EXPECT_EQ(log.texts(), expected);
  }
}

TEST(Log, ConsoleWritesTextAndOneNewline) {
  CaptureLog log(ZV_LOG_INFO);
  zv_log(ZV_LOG_ERRORS, "zvlib: ipc: %s %d", "text", 7);
  zv_log(ZV_LOG_INFO, "ends with newline\n");
  zv_log(ZV_LOG_INFO, nullptr);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_FALSE(lines[0].to_syslog);
  EXPECT_EQ(lines[0].text, "zvlib: ipc: text 7\n");
  EXPECT_EQ(lines[1].text, "ends with newline\n\n");
}

TEST(Log, LongMessagesAreWrittenWhole) {
  CaptureLog log(ZV_LOG_INFO);
  std::string big(5000, 'x');
  zv_log(ZV_LOG_INFO, "[%s]", big.c_str());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_EQ(log.lines()[0].text, "[" + big + "]\n");
}

TEST(Log, TargetSelection) {
  CaptureLog log(ZV_LOG_INFO);
  zv_log_setup("CONSOLE", ZV_LOG_INFO, 0, 0, "zarvik-smf");
  zv_log(ZV_LOG_INFO, "upper case console");
  zv_log_setup("/var/log/zarvik.log", ZV_LOG_INFO, 0, 0, "zarvik-smf");
  zv_log(ZV_LOG_ERRORS, "a file target turns output off");
  EXPECT_EQ(log.texts(), std::vector<std::string>{"upper case console"});
}

TEST(Log, SyslogCarriesConfiguredPriorityWhateverTheLevel) {
  CaptureLog log(ZV_LOG_INFO, /*syslog=*/true, LOG_MAIL, LOG_INFO);
  EXPECT_EQ(log.syslog_opens(), 1);
  zv_log(ZV_LOG_ERRORS, "error line");
  zv_log(ZV_LOG_INFO, "info line");
  zv_log(ZV_LOG_VERBOSE, "dropped");
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 2u);
  for (const auto& l : lines) {
    EXPECT_TRUE(l.to_syslog);
    EXPECT_EQ(l.priority, LOG_MAIL | LOG_INFO);
  }
  EXPECT_EQ(lines[0].text, "error line");
  EXPECT_EQ(lines[1].text, "info line");
}

TEST(Log, NothingBeforeSetUpAndStdlibErrorWorksUnguarded) {
  // CTest runs every test in a process of its own, so the logger has not been set up
  // here. (Run as one process, earlier tests leave it quiet, which looks the same.)
  CountingSink sink;
  zv_log_set_sink(&sink);
  zv_log_destroy_error_mutex();
  zv_log(ZV_LOG_ERRORS, "not written");
  EXPECT_EQ(sink.messages, 0);
  EXPECT_STREQ(stdlib_error(ENOENT), strerror(ENOENT));
  zv_log_set_sink(nullptr);
}

TEST(Log, StdlibErrorTextsAndUnknownNumbers) {
  CaptureLog log(ZV_LOG_DEBUG);
  EXPECT_STREQ(stdlib_error(EACCES), "Permission denied");
  errno = ECONNREFUSED;
  EXPECT_STREQ(stdlib_errno_text(), "Connection refused");
  EXPECT_NE(std::string(stdlib_error(123456)).find("123456"), std::string::npos);
  // Guarded by the error-text mutex, whose lock and unlock are traced.
  EXPECT_TRUE(log.has("zvlib: mutex: 'ZvLib::StdlibError' locked"));
  EXPECT_TRUE(log.has("zvlib: mutex: 'ZvLib::StdlibError' unlocked"));
}

}  // namespace
