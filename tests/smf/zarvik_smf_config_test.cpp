// The zarvik-smf program and its configuration file: what a start as root refuses to
// read, and the warnings about keys it does not know.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "smf_fixture.h"

namespace {

using smftest::FilterTest;
using smftest::kProgram;
using smftest::replace_all;
using smftest::spawn;
using smftest::wait_status;
using zvtest::TempDir;

struct RunResult {
  int status;
  std::string err;
};

RunResult run(std::vector<std::string> args) {
  TempDir dir;
  args.insert(args.begin(), kProgram);
  pid_t pid = spawn(args, dir.file("out"), dir.file("err"));
  int status = wait_status(pid);
  return {status, zvtest::read_file(dir.file("err"))};
}

// Check mode for an account that does not exist: the configuration is loaded, and the
// account switch after it ends the program with 70, so 70 says the file was accepted.
std::vector<std::string> check_args(const std::string& conf) {
  return {"--check_only", "--check_user=zv-no-such-account", "--conf=" + conf};
}

const std::string kSample = zvtest::read_file(ZV_SOURCE_DIR "/etc/zarvik_smf.conf");
constexpr const char* kAccepted = "conf: non-existing user account zv-no-such-account specified";
constexpr const char* kRule =
    " - refused: a configuration read as root must be owned by root and writable by no one "
    "else, in folders no one else may write\n";

TEST(ConfigurationAsRoot, UnsafeFileOrFolderEndsTheStartWith78) {
  if (geteuid() != 0) GTEST_SKIP() << "the rules apply to a start as root";
  struct Case {
    const char* name;
    mode_t file_mode;
    mode_t folder_mode;
    bool other_owner;
    bool check_mode;
    int status;
    const char* refusal;  // null: accepted; "file" or "folder": what the refusal names
    const char* why;
  };
  const Case cases[] = {
      {"owner only", 0600, 0755, false, true, 70, nullptr, ""},
      {"readable by all", 0644, 0755, false, true, 70, nullptr, ""},
      {"writable by all", 0666, 0755, false, true, 78, "file", "is writable by group or others"},
      {"writable by all, normal start", 0666, 0755, false, false, 78, "file",
       "is writable by group or others"},
      {"group writable", 0660, 0755, false, true, 78, "file", "is writable by group or others"},
      {"owned by another user", 0644, 0755, true, true, 78, "file",
       "is owned by another user than root"},
      {"folder writable by all", 0600, 0777, false, true, 78, "folder",
       "is writable by group or others without the sticky bit"},
      {"sticky folder as /tmp", 0600, 01777, false, true, 70, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string folder = dir.file("etc");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    const std::string conf = folder + "/zarvik_smf.conf";
    ASSERT_EQ(dir.write("etc/zarvik_smf.conf", replace_all(kSample, "/tmp/zarvik", dir.path())),
              conf);
    ASSERT_EQ(chmod(conf.c_str(), c.file_mode), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    if (c.other_owner) {
      ASSERT_EQ(chown(conf.c_str(), 65534, 65534), 0);
    }

    RunResult r = run(c.check_mode ? check_args(conf) : std::vector<std::string>{"--conf=" + conf});
    EXPECT_EQ(r.status, c.status) << r.err;
    if (c.refusal == nullptr) {
      EXPECT_NE(r.err.find(kAccepted), std::string::npos) << r.err;
      continue;
    }
    char mode[8];
    const bool file = std::string(c.refusal) == "file";
    snprintf(mode, sizeof(mode), "%04o", file ? c.file_mode : c.folder_mode);
    // Check mode logs on the console; a normal start logs to syslog and says it on
    // standard error as well.
    const std::string refusal = std::string(c.check_mode ? "conf: " : "zarvik-smf: ") + c.refusal +
                                " " + (file ? conf : folder) + " (mode " + mode + ", owner " +
                                (c.other_owner ? "nobody" : "root") + ") " + c.why + kRule;
    EXPECT_NE(r.err.find(refusal), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kAccepted), std::string::npos);
  }
}

TEST(ConfigurationWarnings, CheckModeNamesEachUnknownKeyWithFileAndLine) {
  TempDir dir;
  std::string text = replace_all(kSample, "/tmp/zarvik", dir.path());
  const size_t at = text.find("\nInfected = ");
  ASSERT_NE(at, std::string::npos);
  text.replace(at, strlen("\nInfected = "), "\nInfectd = reject\n# Infected = ");
  const std::string conf = dir.write("zarvik_smf.conf", text);
  const int line = static_cast<int>(std::count(text.begin(), text.begin() + at + 1, '\n')) + 1;

  RunResult r = run(check_args(conf));
  EXPECT_EQ(r.status, 70) << r.err;
  EXPECT_NE(r.err.find("zarvik-smf: warning: " + conf + " line " + std::to_string(line) +
                       ": unknown key Infectd in section [Actions] - ignored\n"),
            std::string::npos)
      << r.err;
}

// The shipped configuration as it is: when the message cannot be scanned, clean mail is
// put off, not discarded into the quarantine.
TEST_F(FilterTest, ShippedConfigurationPutsOffMailItCannotHaveScanned) {
  struct Case {
    const char* name;
    bool daemon;  // false: nobody listens at the daemon's address
  };
  const Case cases[] = {{"daemon down", false}, {"daemon reports an error", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.daemon) {
      ASSERT_TRUE(start_daemon({"--status=0x1"}));
    }
    ASSERT_TRUE(start_filter()) << capture_.dump();
    smftest::ScriptResult r = miltertest("plain.lua", {{"REPLY", "t"}});
    EXPECT_EQ(r.status, 0) << r.output << capture_.dump();
    EXPECT_EQ(files("quarantine"), std::vector<std::string>{});
    EXPECT_EQ(stop_filter(SIGKILL), 128 + SIGKILL);
  }
}

}  // namespace
