#include "zv_util.h"

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zv_options.h"
#include "zvc_ipc.h"
#include "zvc_lib.h"
#include "zvc_strings.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

const std::string kAgent = ZV_BINARY_DIR "/tools/zvagent/zvagent";
const std::string kDaemon = ZV_BINARY_DIR "/tools/zvscand/zvscand";

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

class LinkTest : public ::testing::Test {
 protected:
  void SetUp() override { signal(SIGPIPE, SIG_IGN); }
  void TearDown() override {
    if (started()) (void)cleanup();
  }
  TempDir dir_;
  CaptureLog log_{ZV_LOG_DEBUG};
};

TEST_F(LinkTest, InitLibWithOneAndWithThreeAddresses) {
  std::string socket = dir_.file("scand.sock");
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + socket}, dir_, "zvscand");
  ASSERT_TRUE(daemon.ready());
  const std::string dead1 = "local:" + dir_.file("dead1.sock");
  const std::string dead2 = "local:" + dir_.file("dead2.sock");
  struct Case {
    const char* name;
    std::vector<std::string> addresses;
    int result;
    std::vector<std::string> lines;  // the init_lib lines, in order
  };
  const Case cases[] = {
      {"one",
       {"local:" + socket},
       1,
       {"init_lib: set primary daemon address = <local:" + socket + ">"}},
      {"three, the last answers",
       {dead1, dead2, "local:" + socket},
       1,
       {"init_lib: set primary daemon address = <" + dead1 + ">",
        "init_lib: set backup daemon address = <" + dead2 + ">",
        "init_lib: set backup daemon address = <local:" + socket + ">"}},
      {"a bad second address leaves the third out",
       {"local:" + socket, "nowhere:1", dead2},
       0,
       {"init_lib: set primary daemon address = <local:" + socket + ">",
        "init_lib: set backup daemon address = <nowhere:1>",
        "init_lib: cannot add address to library (error: -2)"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    DaemonCommunicationConfig config{};
    StringListPtr list(strings::create(0));
    for (const auto& a : c.addresses) ASSERT_EQ(strings::add(list.get(), a.c_str()), 1);
    config.addresses = list.get();
    config.timeout = 10;
    log_.clear();
    EXPECT_EQ(init_lib(&config), c.result);
    std::vector<std::string> lines;
    for (const auto& t : log_.texts())
      if (t.rfind("init_lib:", 0) == 0) lines.push_back(t);
    EXPECT_EQ(lines, c.lines);
    if (c.result == 1) {
      int major = 0, minor = 0;
      EXPECT_EQ(get_version(&major, &minor), 0);  // reached through the fail-over
    }
    if (started()) {
      EXPECT_EQ(cleanup(), 0);
    }
  }
  EXPECT_EQ(init_lib(nullptr), 0);
  EXPECT_EQ(log_.texts().back(), "init_lib: cannot add address to library (error: 0)");
}

std::string totals_line(const std::string& totals, const std::string& name) {
  std::string text = zvtest::read_file(totals);
  size_t at = text.find(name + " ");
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

TEST_F(LinkTest, AgentRegistersReceivesStatisticsOfAScanAndDeregisters) {
  std::string scand = dir_.file("scand.sock");
  std::string agent_socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + scand}, dir_, "zvscand");
  zvtest::Peer agent_peer(kAgent, {"--listen=local:" + agent_socket, "--totals=" + totals}, dir_,
                          "zvagent");
  ASSERT_TRUE(daemon.ready() && agent_peer.ready());

  std::string address = "local:" + agent_socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 10;
  ASSERT_EQ(init_stat(&agent), 1);
  EXPECT_TRUE(log_.has("init_stat: connection(" + address + ") with agent has been established"));
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 1");

  // A real scan of the EICAR test file by the stand-in daemon.
  ASSERT_EQ(startup(kFilterLibraryVersion, ("local:" + scand).c_str(), 10, 0), 0);
  std::string mail = dir_.write(
      "message", std::string("Subject: test\n\nX5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") +
                     "ANTIVIRUS-TEST-FILE!$H+H*\n");
  ScanResult* raw = nullptr;
  ASSERT_EQ(scanmail(mail.c_str(), mail.size(), 1,
                     kScanReport | kScanStatistics | kScanVirusLists | kScanAlways, 0, &raw, 4096,
                     "<a@example.org>", nullptr),
            0);
  ScanResultPtr result(raw);
  ASSERT_TRUE(result);
  EXPECT_EQ(drop_stat(&agent, result.get()), 1);
  EXPECT_EQ(totals_line(totals, "reports"), "reports 1");
  EXPECT_EQ(totals_line(totals, "known_viruses"), "known_viruses 1");
  EXPECT_EQ(totals_line(totals, "virus EICAR-Test-File"), "virus EICAR-Test-File 1");
  EXPECT_TRUE(log_.has("zvlib: Statistic:"));

  fini_stat(&agent);
  EXPECT_EQ(totals_line(totals, "deregistrations"), "deregistrations 1");
  EXPECT_EQ(agent.connection, nullptr);
  EXPECT_EQ(agent.mutex, nullptr);
  EXPECT_EQ(log_.texts().back(),
            "init_stat: connection(" + address + ") with agent has been closed");
}

TEST_F(LinkTest, ConcurrentStatisticsShareTheConnectionOneExchangeAtATime) {
  std::string socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  zvtest::Peer agent_peer(kAgent, {"--listen=local:" + socket, "--totals=" + totals}, dir_,
                          "zvagent");
  ASSERT_TRUE(agent_peer.ready());
  std::string address = "local:" + socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 20;
  ASSERT_EQ(init_stat(&agent), 1);
  constexpr int kThreads = 6, kScans = 10;
  std::vector<ScanResultPtr> results;
  for (int i = 0; i < kThreads; ++i) {
    results.emplace_back(scanresult_new());
    scanresult_stats(results.back().get())->known = 1;
  }
  std::atomic<int> delivered{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      for (int n = 0; n < kScans; ++n) delivered += drop_stat(&agent, results[i].get());
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(delivered.load(), kThreads * kScans);
  EXPECT_EQ(totals_line(totals, "reports"), "reports " + std::to_string(kThreads * kScans));
  EXPECT_EQ(totals_line(totals, "known_viruses"),
            "known_viruses " + std::to_string(kThreads * kScans));
  fini_stat(&agent);
}

TEST_F(LinkTest, RefusedRegistrationLeavesNoLink) {
  std::string socket = dir_.file("agent.sock");
  zvtest::Peer agent_peer(kAgent, {"--listen=local:" + socket, "--reply=1"}, dir_, "zvagent");
  ASSERT_TRUE(agent_peer.ready());
  std::string address = "local:" + socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 10;
  int descriptors = zvtest::open_fd_count();
  EXPECT_EQ(init_stat(&agent), 0);
  EXPECT_TRUE(log_.has("init_stat: cannot register agent"));
  EXPECT_EQ(agent.connection, nullptr);
  EXPECT_EQ(agent.mutex, nullptr);
  EXPECT_EQ(zvtest::open_fd_count(), descriptors);

  std::string nowhere = "local:" + dir_.file("none.sock");
  agent.address = nowhere.data();
  EXPECT_EQ(init_stat(&agent), 0);
  EXPECT_TRUE(log_.has("init_stat: cannot connect to agent"));
}

TEST_F(LinkTest, AgentSlowerThanItsTimeOutFailsThatExchangeAndIsNotReadAgain) {
  std::string socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  zvtest::Peer agent_peer(kAgent,
                          {"--listen=local:" + socket, "--delay-ms=2000", "--totals=" + totals},
                          dir_, "zvagent");
  ASSERT_TRUE(agent_peer.ready());
  std::string address = "local:" + socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 20;
  ASSERT_EQ(init_stat(&agent), 1);

  ScanResultPtr result(scanresult_new());
  agent.timeout = 1;
  log_.clear();
  EXPECT_EQ(drop_stat(&agent, result.get()), 0);
  EXPECT_TRUE(log_.has("drop_stat: errors during talking with agent"));
  // The late answer of that exchange must not be taken for the answer to the next one,
  // which therefore starts only once the agent has sent it.
  EXPECT_TRUE(zvtest::wait_for([&] {
    return agent_peer.log().find("zvagent: statistics answered with 0\n") != std::string::npos;
  })) << agent_peer.log();
  agent.timeout = 20;
  log_.clear();
  EXPECT_EQ(drop_stat(&agent, result.get()), 0);
  EXPECT_TRUE(log_.has("drop_stat: errors during talking with agent"));
  log_.clear();
  fini_stat(&agent);
  std::vector<std::string> own;  // without the client library's lines
  for (const auto& t : log_.texts())
    if (t.rfind("zvlib:", 0) != 0) own.push_back(t);
  EXPECT_EQ(own, (std::vector<std::string>{
                     "fini_stat: cannot deregister agent",
                     "init_stat: connection(" + address + ") with agent has been closed"}));
}

TEST_F(LinkTest, WithoutAgentNothingIsSent) {
  AgentConfig agent{};
  ScanResultPtr result(scanresult_new());
  EXPECT_EQ(init_stat(&agent), 1);
  EXPECT_EQ(drop_stat(&agent, result.get()), 1);
  fini_stat(&agent);
  EXPECT_EQ(log_.texts(), (std::vector<std::string>{
                              "init_stat: agent address was not defined - assume no agent",
                              "drop_stat: agent address was not defined - assume no agent",
                              "fini_stat: agent address was not defined - assume no agent"}));
  // All three at Debug: nothing at Verbose.
  zv_log_setup("console", ZV_LOG_VERBOSE, 0, 0, "zarvik-test");
  log_.clear();
  EXPECT_EQ(init_stat(&agent), 1);
  EXPECT_EQ(drop_stat(&agent, result.get()), 1);
  fini_stat(&agent);
  EXPECT_TRUE(log_.texts().empty());
  EXPECT_EQ(init_stat(nullptr), 0);
  EXPECT_EQ(drop_stat(&agent, nullptr), 0);
  EXPECT_TRUE(log_.contains("zvlib:init_stat (zv_util:"));
  EXPECT_TRUE(log_.contains("zvlib:drop_stat: bad parameters (0.1) were passed (zv_util:"));
}

}  // namespace
