#include "zv_process.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support/zv_test_support.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

// Runs `body` in a forked child and returns what it wrote to its pipe, followed by a note
// when the child did not exit 0.
std::string in_child(const std::function<std::string()>& body) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    std::string out = body();
    (void)!write(fds[1], out.data(), out.size());
    _exit(0);
  }
  close(fds[1]);
  std::string out;
  char buffer[512];
  ssize_t n;
  while ((n = read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  // A child that crashes after writing (a sanitizer report at exit) must not pass.
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    out += "\n(the child ended with wait status " + std::to_string(status) + ")";
  return out;
}

std::string identity() {
  std::vector<gid_t> groups(static_cast<size_t>(getgroups(0, nullptr)));
  getgroups(static_cast<int>(groups.size()), groups.data());
  std::sort(groups.begin(), groups.end());
  std::string text = "uid=" + std::to_string(getuid()) + " euid=" + std::to_string(geteuid()) +
                     " gid=" + std::to_string(getgid()) + " egid=" + std::to_string(getegid()) +
                     " groups=";
  for (gid_t g : groups) text += std::to_string(g) + ",";
  return text;
}

std::string expected_identity(const passwd& pw) {
  int count = 64;
  std::vector<gid_t> groups(static_cast<size_t>(count));
  getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count);
  groups.resize(static_cast<size_t>(count));
  std::sort(groups.begin(), groups.end());
  std::string text = "uid=" + std::to_string(pw.pw_uid) + " euid=" + std::to_string(pw.pw_uid) +
                     " gid=" + std::to_string(pw.pw_gid) + " egid=" + std::to_string(pw.pw_gid) +
                     " groups=";
  for (gid_t g : groups) text += std::to_string(g) + ",";
  return text;
}

class AccountTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(geteuid(), 0u) << "switching accounts needs root (CI runs as root)";
    passwd* pw = getpwnam("nobody");
    ASSERT_NE(pw, nullptr) << "the test switches to the account nobody, which is missing";
    nobody_ = *pw;
    name_ = pw->pw_name;
    nobody_.pw_name = name_.data();
  }
  passwd nobody_{};
  std::string name_;
};

TEST_F(AccountTest, RootTakesTheAccountsIdsAndOnlyItsGroups) {
  std::string out = in_child([&] {
    // Root with extra supplementary groups, which the account must not keep.
    const gid_t extra[] = {0, 4, 27, 100};
    if (setgroups(4, extra) != 0) return std::string("setgroups failed");
    CaptureLog log(ZV_LOG_VERBOSE);
    int result = set_account("nobody");
    return std::to_string(result) + " " + identity() + "\n" + log.texts().back();
  });
  EXPECT_EQ(out,
            "1 " + expected_identity(nobody_) + "\nconf: filter would use nobody account (uid=" +
                std::to_string(nobody_.pw_uid) + ", gid=" + std::to_string(nobody_.pw_gid) + ")");
}

TEST_F(AccountTest, FailedSwitchesKeepTheIdentity) {
  struct Case {
    const char* name;
    const char* account;
    bool drop_first;  // become nobody first: no right to change ids any more
    std::string message;
  };
  const Case cases[] = {
      {"unknown account", "zv-no-such-account", false,
       "conf: non-existing user account zv-no-such-account specified"},
      {"no right to switch", "root", true, "conf: cannot set uid or gid - Operation not permitted"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string out = in_child([&] {
      if (c.drop_first && set_account("nobody") != 1) return std::string("first switch failed");
      std::string before = identity();
      CaptureLog log(ZV_LOG_DEBUG);
      int result = set_account(c.account);
      return std::to_string(result) + (identity() == before ? " same" : " changed") + "\n" +
             (log.texts().empty() ? "" : log.texts().back());
    });
    EXPECT_EQ(out, "0 same\n" + c.message);
  }
}

TEST_F(AccountTest, NoNameOrTheOwnAccountKeepsTheIds) {
  std::string out = in_child([&] {
    CaptureLog log(ZV_LOG_VERBOSE);
    int none = set_account(nullptr);
    int own = set_account("root");
    std::string text = std::to_string(none) + std::to_string(own) + " " + identity();
    for (const auto& line : log.texts()) text += "\n" + line;
    return text;
  });
  EXPECT_EQ(out, "11 " + expected_identity(*getpwnam("root")) +
                     "\nconf: no user specified - filter would use current account (uid=0, "
                     "gid=0)\nconf: filter would use root account (uid=0, gid=0)");
}

TEST(Daemonize, ChildGetsNullStreamsANewSessionAndNoOtherDescriptors) {
  for (int close_flag : {1, 0}) {
    SCOPED_TRACE(close_flag);
    TempDir dir;
    std::string report = dir.file("report");
    std::string out = in_child([&] {
      int extra = open("/dev/zero", O_RDONLY);  // inherited, not close-on-exec
      int pid = daemonize(dir.path().c_str(), close_flag);
      if (pid > 0) return std::string("parent ok");
      if (pid < 0) _exit(1);
      char cwd[4096] = {};
      std::string text = std::string(getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
      text += getsid(0) == getpid() ? "session leader\n" : "no new session\n";
      for (int fd = 0; fd <= 2; ++fd) {
        char target[256] = {};
        ssize_t n = readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, 255);
        int mode = fcntl(fd, F_GETFL) & O_ACCMODE;
        text += std::to_string(fd) + " " + std::string(target, n > 0 ? static_cast<size_t>(n) : 0) +
                (mode == O_RDONLY   ? " r"
                 : mode == O_WRONLY ? " w"
                                    : " rw") +
                "\n";
      }
      text += fcntl(extra, F_GETFD) == -1 ? "extra closed\n" : "extra open\n";
      std::string tmp = report + ".tmp";
      int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      (void)!write(fd, text.data(), text.size());
      close(fd);
      rename(tmp.c_str(), report.c_str());
      _exit(0);
    });
    EXPECT_EQ(out, "parent ok");
    ASSERT_TRUE(zvtest::wait_for([&] { return zvtest::exists(report); }, 20));
    EXPECT_EQ(zvtest::read_file(report),
              dir.path() + "\nsession leader\n0 /dev/null r\n1 /dev/null w\n2 /dev/null w\n" +
                  (close_flag ? "extra closed\n" : "extra open\n"));
  }
}

}  // namespace
