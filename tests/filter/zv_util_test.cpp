#include "zv_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
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

// A slow answer fails its own report only. Its late answer must never be taken for the
// answer to a later report, so the next report goes over a fresh, registered connection
// with a budget of its own, and statistics go on.
TEST_F(LinkTest, AfterASlowAnswerTheNextReportGoesOverAFreshConnection) {
  std::string socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  zvtest::Peer agent_peer(kAgent,
                          {"--listen=local:" + socket, "--delay-ms=1500", "--totals=" + totals},
                          dir_, "zvagent");
  ASSERT_TRUE(agent_peer.ready());
  std::string address = "local:" + socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 20;
  ASSERT_EQ(init_stat(&agent), 1);

  ScanResultPtr result(scanresult_new());
  scanresult_stats(result.get())->known = 1;
  agent.timeout = 1;
  log_.clear();
  EXPECT_EQ(drop_stat(&agent, result.get()), 0);
  EXPECT_TRUE(log_.has("drop_stat: errors during talking with agent"));
  // The next report starts only once the agent has sent the late answer, so that answer
  // is waiting on the old connection when it does.
  EXPECT_TRUE(zvtest::wait_for([&] {
    return agent_peer.log().find("zvagent: statistics answered with 0\n") != std::string::npos;
  })) << agent_peer.log();

  agent.timeout = 20;
  log_.clear();
  EXPECT_EQ(drop_stat(&agent, result.get()), 1) << agent_peer.log();
  EXPECT_FALSE(log_.has("drop_stat: errors during talking with agent"));
  EXPECT_TRUE(
      log_.has("drop_stat: connection(" + address + ") with agent has been re-established"));
  // The agent read both reports (the first one before its slow answer) and saw a second
  // registration; a further report uses the new connection as it is.
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 2");
  EXPECT_EQ(totals_line(totals, "reports"), "reports 2");
  EXPECT_EQ(drop_stat(&agent, result.get()), 1);
  EXPECT_EQ(totals_line(totals, "reports"), "reports 3");
  EXPECT_EQ(totals_line(totals, "known_viruses"), "known_viruses 3");
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 2");

  log_.clear();
  fini_stat(&agent);
  EXPECT_EQ(totals_line(totals, "deregistrations"), "deregistrations 1");
  std::vector<std::string> own;  // without the client library's lines
  for (const auto& t : log_.texts())
    if (t.rfind("zvlib:", 0) != 0) own.push_back(t);
  EXPECT_EQ(own, (std::vector<std::string>{"init_stat: connection(" + address +
                                           ") with agent has been closed"}));
}

// When the fresh connection cannot be made either, that report fails and the one after
// it tries again; the link is never given up for good.
TEST_F(LinkTest, AReportThatCannotReconnectFailsAndTheNextOneTriesAgain) {
  std::string socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  auto agent_peer = std::make_unique<zvtest::Peer>(
      kAgent,
      std::vector<std::string>{"--listen=local:" + socket, "--delay-ms=1500", "--totals=" + totals},
      dir_, "zvagent");
  ASSERT_TRUE(agent_peer->ready());
  std::string address = "local:" + socket;
  AgentConfig agent{};
  agent.address = address.data();
  agent.timeout = 20;
  ASSERT_EQ(init_stat(&agent), 1);
  ScanResultPtr result(scanresult_new());
  agent.timeout = 1;
  EXPECT_EQ(drop_stat(&agent, result.get()), 0);
  EXPECT_EQ(agent_peer->stop(), 0);
  agent_peer.reset();

  agent.timeout = 20;
  log_.clear();
  EXPECT_EQ(drop_stat(&agent, result.get()), 0);
  EXPECT_TRUE(log_.has("drop_stat: cannot reconnect to agent"));
  EXPECT_NE(agent.connection, nullptr);
  EXPECT_NE(agent.mutex, nullptr);

  zvtest::Peer second(kAgent, {"--listen=local:" + socket, "--totals=" + totals}, dir_, "zvagent2");
  ASSERT_TRUE(second.ready());
  EXPECT_EQ(drop_stat(&agent, result.get()), 1);
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 1");
  EXPECT_EQ(totals_line(totals, "reports"), "reports 1");
  fini_stat(&agent);
  EXPECT_EQ(totals_line(totals, "deregistrations"), "deregistrations 1");
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
