#include "zv_cmdline.h"

#include <gtest/gtest.h>
#include <syslog.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "zv_options.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

std::string replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The command-line reader, for the cases that return to the caller (the others end the
// process and are tried on the program itself), over the sample configuration.
class CommandLineTest : public ::testing::Test {
 protected:
  ~CommandLineTest() override { release_loaded_config(); }
  int run(std::vector<std::string> args) {
    args.insert(args.begin(), "zarvik-smf");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    log_.clear();
    return init_config(static_cast<int>(args.size()), argv.data(), &config_, nullptr);
  }
  bool nothing_loaded() const {
    const FilterConfig& c = config_;
    return c.daemon.addresses == nullptr && c.scanning.spool.directory == nullptr &&
           c.actions.filter_mail == nullptr && c.actions.reply_error == nullptr &&
           c.virus_notify.admin_template == nullptr && c.mailer.milter_address == nullptr &&
           c.agent.address == nullptr;
  }
  TempDir dir_;
  const std::string sample_ = zvtest::read_file(ZV_SOURCE_DIR "/etc/zarvik_smf.conf");
  CaptureLog log_{ZV_LOG_DEBUG};
  FilterConfig config_{};
};

TEST_F(CommandLineTest, RefusedCommandLinesLeaveNothingLoaded) {
  std::string without_archive =
      dir_.write("no_archive.conf",
                 replace(sample_, "[ArchiveRestrictionNotifications]", "[RetiredArchiveSection]"));
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const Case cases[] = {
      {{"--conf="}, "conf: misformatted --conf=<filename> option"},
      {{"--check_user="}, "conf: misformatted --check_user=<username> option"},
      {{"--bogus"}, "conf: unknown option --bogus"},
      {{"--debug", "-x", "--help"}, "conf: unknown option -x"},  // --help is never reached
      {{"--conf=" + dir_.file("missing.conf")}, "conf: configuration loading has been failed"},
      {{"--conf=" + without_archive},
       "conf: [ArchiveRestrictionNotifications] section missed, init configuration failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    EXPECT_EQ(run(c.args), 0);
    EXPECT_TRUE(log_.has(c.message)) << testing::PrintToString(log_.texts());
    EXPECT_TRUE(nothing_loaded());
  }
}

TEST_F(CommandLineTest, LoggerStagesOfANormalStart) {
  std::string text = replace(sample_, "Level = Info", "Level = Verbose");
  text = replace(text, "SyslogFacility = Mail", "SyslogFacility = Local3");
  text = replace(text, "SyslogPriority = Info", "SyslogPriority = Notice");
  text = replace(text, "UseTcpNodelay = no", "UseTcpNodelay = yes");
  std::string path = dir_.write("z.conf", text);
  // --debug only matters in check mode; --check_user without --check_only does nothing;
  // a later --conf= replaces an earlier one.
  ASSERT_EQ(run({"--debug", "--check_user=nobody", "--conf=/nonexistent", "--conf=" + path}), 1);
  EXPECT_EQ(config_.scanning.tcp_nodelay, 1);
  EXPECT_EQ(config_.logging.level, ZV_LOG_VERBOSE);
  bool loading_seen = false;
  bool trace_seen = false;
  for (const auto& line : log_.lines()) {
    EXPECT_TRUE(line.to_syslog) << line.text;
    EXPECT_EQ(line.text.find("default ="), std::string::npos) << line.text;  // no Debug lines
    if (line.text == "conf: configuration will be loaded from " + path) {
      loading_seen = true;
      EXPECT_EQ(line.priority, LOG_MAIL | LOG_INFO);
    }
    // The trace goes out with the configured level, facility and priority.
    if (line.text == "action on infected = Q") {
      trace_seen = true;
      EXPECT_EQ(line.priority, LOG_LOCAL3 | LOG_NOTICE);
    }
  }
  EXPECT_TRUE(loading_seen);
  EXPECT_TRUE(trace_seen);
  log_.clear();
  zv_log(ZV_LOG_DEBUG, "not written at Verbose");
  EXPECT_TRUE(log_.texts().empty());
}

// Unknown keys are warned about on standard error when somebody watches the console: in
// the foreground (RunForeground or --debug); a detaching start leaves them to the log.
TEST_F(CommandLineTest, UnknownKeysAreWarnedAboutInTheForeground) {
  std::string text = replace(sample_, "Infected = quarantine", "Infectd = reject");
  const size_t at = text.find("Infectd = reject");
  const int line = static_cast<int>(std::count(text.begin(), text.begin() + at, '\n')) + 1;
  struct Case {
    const char* name;
    const char* foreground;
    bool debug;
    bool warned;
  };
  const Case cases[] = {
      {"foreground", "RunForeground = yes", false, true},
      {"background with --debug", "RunForeground = no", true, true},
      {"background", "RunForeground = no", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = dir_.write("z.conf", replace(text, "RunForeground = yes", c.foreground));
    std::vector<std::string> args{"--conf=" + path};
    if (c.debug) args.insert(args.begin(), "--debug");
    testing::internal::CaptureStderr();
    int loaded = run(args);
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(loaded, 1) << err;
    EXPECT_EQ(config_.actions.infected, ACTION_QUARANTINE);  // the typo keeps the default
    const std::string warning = "zarvik-smf: warning: " + path + " line " + std::to_string(line) +
                                ": unknown key Infectd in section [Actions] - ignored\n";
    EXPECT_EQ(err.find(warning) != std::string::npos, c.warned) << err;
    release_loaded_config();
  }
}

}  // namespace
