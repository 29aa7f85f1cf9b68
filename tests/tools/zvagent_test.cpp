// The stand-in statistics agent as a process, spoken to with the client library's wire
// primitives the way the filter's agent link speaks to it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zvc_ipc.h"
#include "zvc_proto.h"

namespace {

// One request of ints, then the agent's int answer; -1000 when the exchange failed.
int64_t ask(IpcChannel* c, std::initializer_list<uint32_t> ints) {
  for (uint32_t v : ints)
    if (proto::write_int(c, v) != 1) return -1000;
  int32_t answer = 0;
  return proto::read_int(c, &answer) == 1 ? answer : -1000;
}

int64_t report(IpcChannel* c, const ScanStatistics& stats, std::vector<std::string> known,
               std::vector<std::string> modifications) {
  StringListPtr k(strings::create(0)), m(strings::create(0));
  for (const auto& s : known) EXPECT_EQ(strings::add(k.get(), s.c_str()), 1);
  for (const auto& s : modifications) EXPECT_EQ(strings::add(m.get(), s.c_str()), 1);
  if (proto::write_int(c, 1) != 1 || proto::write_stat(c, &stats) != 1 ||
      proto::write_list(c, k.get(), 1) != 1 || proto::write_list(c, m.get(), 1) != 1)
    return -1000;
  int32_t answer = 0;
  return proto::read_int(c, &answer) == 1 ? answer : -1000;
}

std::string totals(std::vector<std::pair<const char*, int>> nonzero,
                   std::vector<std::pair<const char*, int>> viruses = {}) {
  std::string t;
  for (const char* name : {"registrations", "deregistrations", "reports", "known_viruses",
                           "modifications", "suspicious", "skipped_objects", "archive_restrictions",
                           "rule_filter_rejects", "scanning_errors", "cured", "deleted", "adware",
                           "dialers", "jokes", "riskware", "hacktools"}) {
    int v = 0;
    for (const auto& [n, value] : nonzero)
      if (std::string(n) == name) v = value;
    t += std::string(name) + " " + std::to_string(v) + "\n";
  }
  for (const auto& [n, count] : viruses)
    t += "virus " + std::string(n) + " " + std::to_string(count) + "\n";
  return t;
}

class AgentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ipc::init(), 0); }
  void TearDown() override {
    (void)ipc::deinit();
    // A clean exit also means no sanitizer report from the agent in sanitizer builds.
    if (agent_ != nullptr) {
      EXPECT_EQ(agent_->stop(), 0) << agent_->log();
    }
  }
  void start(std::vector<std::string> extra = {}) {
    extra.push_back("--listen=inet:0@127.0.0.1");
    extra.push_back("--totals=" + dir_.file("totals"));
    agent_ = std::make_unique<zvtest::Peer>(zvtest::zvagent_program(), extra, dir_, "zvagent");
    ASSERT_TRUE(agent_->ready()) << agent_->log();
  }
  IpcChannelPtr connect(int seconds = 10) {
    return IpcChannelPtr(ipc::create(agent_->address().c_str(), seconds, 1));
  }
  std::string file() const { return zvtest::read_file(dir_.file("totals")); }
  zvtest::CaptureLog log_{ZV_LOG_ERRORS};
  zvtest::TempDir dir_;
  std::unique_ptr<zvtest::Peer> agent_;
};

}  // namespace

TEST_F(AgentTest, TotalsAddUpTheReportsOfEveryConnection) {
  start();
  EXPECT_EQ(file(), totals({}));
  IpcChannelPtr a = connect(), b = connect();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(ask(a.get(), {1, 100}), 0);
  EXPECT_EQ(file(), totals({{"registrations", 1}}));  // written before the answer
  EXPECT_EQ(ask(b.get(), {1, 100}), 0);
  ScanStatistics first;
  first.known = 2;
  first.modifications = 1;
  first.cured = 1;
  first.skipped = 3;
  first.errors = 1;
  EXPECT_EQ(report(a.get(), first, {"EICAR-Test-File", "Test-Known"}, {"Test-Mod"}), 0);
  ScanStatistics second;
  second.known = 1;
  second.archive_restrictions = 4;
  second.rule_rejects = 1;
  second.suspicious = 2;
  EXPECT_EQ(report(b.get(), second, {"EICAR-Test-File"}, {}), 0);
  EXPECT_EQ(report(a.get(), ScanStatistics{}, {}, {}), 0);
  EXPECT_EQ(ask(b.get(), {101}), 0);
  EXPECT_EQ(file(), totals({{"registrations", 2},
                            {"deregistrations", 1},
                            {"reports", 3},
                            {"known_viruses", 3},
                            {"modifications", 1},
                            {"suspicious", 2},
                            {"skipped_objects", 3},
                            {"archive_restrictions", 4},
                            {"rule_filter_rejects", 1},
                            {"scanning_errors", 1},
                            {"cured", 1}},
                           {{"EICAR-Test-File", 2}, {"Test-Known", 1}, {"Test-Mod", 1}}));
}

TEST_F(AgentTest, RefusingAgentAnswersEveryRequestWithItsInt) {
  start({"--reply=1"});
  IpcChannelPtr c = connect();
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(ask(c.get(), {1, 100}), 1);
  EXPECT_EQ(report(c.get(), ScanStatistics{}, {}, {}), 1);
  EXPECT_EQ(ask(c.get(), {101}), 1);
  agent_.reset();
  start({"--reply=-5"});
  c = connect();
  EXPECT_EQ(ask(c.get(), {1, 100}), -5);
}

TEST_F(AgentTest, SlowAgentRunsOutTheClientsBudget) {
  start({"--delay-ms=2500"});
  IpcChannelPtr c = connect(1);
  ASSERT_NE(c, nullptr);
  ASSERT_EQ(proto::write_int(c.get(), 1), 1);
  ASSERT_EQ(proto::write_int(c.get(), 100), 1);
  char buf[4];
  size_t count = sizeof buf;
  EXPECT_EQ(ipc::recv(c.get(), buf, &count), kIpcTimeout);
}

TEST_F(AgentTest, MalformedRequestsCloseThatConnectionOnly) {
  start();
  const std::vector<std::vector<uint32_t>> requests = {
      {7},                    // unknown request
      {1, 100000},            // statistics block far too long
      {1, 0, 0xFFFFFFFF},     // name list far too long
      {1, 0, 1, 0x10000000},  // name far too long
  };
  for (const auto& r : requests) {
    SCOPED_TRACE(r.size());
    IpcChannelPtr c = connect();
    ASSERT_NE(c, nullptr);
    for (uint32_t v : r) ASSERT_EQ(proto::write_int(c.get(), v), 1);
    char buf[4];
    size_t count = sizeof buf;
    EXPECT_EQ(ipc::recv(c.get(), buf, &count), kIpcClosedByPeer);
  }
  IpcChannelPtr c = connect();
  EXPECT_EQ(ask(c.get(), {1, 100}), 0);
  EXPECT_EQ(file(), totals({{"registrations", 1}}));
}

TEST_F(AgentTest, StopsPromptlyWithAnIdleConnectionOpen) {
  start();
  IpcChannelPtr c = connect();
  ASSERT_EQ(ask(c.get(), {1, 100}), 0);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(agent_->stop(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
  EXPECT_FALSE(std::filesystem::exists(agent_->pidfile()));
}

TEST_F(AgentTest, CommandLine) {
  std::string out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvagent_program(), {"--help"}, dir_, &out), 0);
  for (const char* option : {"--listen=ADDRESS", "--foreground", "--totals=FILE", "--reply=N",
                             "--delay-ms=N", "--pidfile=PATH"})
    EXPECT_NE(out.find(std::string("  ") + option), std::string::npos) << option;
  EXPECT_EQ(zvtest::run_program(zvtest::zvagent_program(), {"--listen=local:/x", "--reply=no"},
                                dir_, &out),
            64);
  EXPECT_NE(out.find("zvagent: --reply needs an int"), std::string::npos) << out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvagent_program(), {}, dir_, &out), 64);
}
