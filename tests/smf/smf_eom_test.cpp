// The end of message of the real program, driven by miltertest against the stand-in
// daemon: the answer for each finding and its configured action, the X-Antivirus
// headers, the cured body handed back, the filter's own notifications recognised by their
// secure hash, and many connections at once.
#include <regex>

#include "smf_fixture.h"
#include "support/recording_submitter.h"

namespace {

using smftest::FilterTest;
using smftest::kEicar;

// Signatures of the stand-in daemon for the findings beyond the built-in EICAR string.
constexpr const char* kSignatures =
    "S:Suspicious.Test:\"SUSPICIOUS-TEST\"\n"
    "A:Adware.Test:\"ADWARE-TEST\"\n"
    "D:Dialer.Test:\"DIALER-TEST\"\n"
    "status=0x1:Read.Error:\"SCANERROR-TEST\"\n";

class EomTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    set("Scanning", "AddXHeaders", "yes");
    set("Scanning", "HeuristicAnalysis", "yes");
    set("Actions", "UseCustomReply", "yes");
    set("Actions", "Infected", "reject");
    set("Actions", "Suspicious", "quarantine");
    set("Actions", "Adware", "discard");
    set("Actions", "Dialers", "redirect");
    set("Actions", "ScanningErrors", "tempfail");
  }
  bool start_daemon_with_signatures(std::vector<std::string> extra = {}) {
    extra.push_back("--signatures=" + dir_.write("signatures", kSignatures));
    return start_daemon(extra);
  }
  // The status word the daemon reports for each finding, in the header's hexadecimal.
  std::map<std::string, std::string> codes() const {
    return {{"EICAR", kEicar},         {"CODE_EICAR", "20"},      {"CODE_SUSPICIOUS", "40"},
            {"CODE_ADWARE", "400000"}, {"CODE_DIALER", "800000"}, {"CODE_SCANERROR", "1"}};
  }
};

TEST_F(EomTest, EachFindingIsAnsweredByItsActionWithTheXAntivirusHeaders) {
  ASSERT_TRUE(start_daemon_with_signatures());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  smftest::ScriptResult r = miltertest("outcomes.lua", codes());
  ASSERT_EQ(r.status, 0) << r.output << capture_.dump();

  // The suspicious message went to quarantine as it was spooled; nothing else stayed.
  EXPECT_EQ(files("spool"), std::vector<std::string>{});
  std::vector<std::string> quarantined = files("quarantine");
  ASSERT_EQ(quarantined.size(), 1u);
  std::string kept = zvtest::read_file(dir_.file("quarantine/" + quarantined[0]));
  EXPECT_NE(kept.find("\tid QSUSPICIOUS; "), std::string::npos) << kept;
  EXPECT_NE(kept.find("\r\n\r\nHello,\r\nSUSPICIOUS-TEST\r\nbye\r\n"), std::string::npos) << kept;
  // The dialer went to the redirect mailbox; the administrator heard of the virus and of
  // the suspicious message.
  std::vector<zvtest::SubmitterRecord> records = zvtest::wait_for_records(dir_.file("records"), 3);
  ASSERT_EQ(records.size(), 3u);
  int redirected = 0;
  for (const auto& record : records)
    if (record.args.find("[root@localhost]") != std::string::npos) {
      ++redirected;
      EXPECT_NE(record.input.find("DIALER-TEST"), std::string::npos) << record.input;
    }
  EXPECT_EQ(redirected, 1);
}

TEST_F(EomTest, UnreachableDaemonTakesTheProcessingErrorsAction) {
  struct Case {
    const char* action;
    const char* reply;  // letter miltertest reports
  };
  // Quarantine and redirect become reject when there is no scan result; a failed scan
  // still has one (the substitute), so quarantine stores the message.
  const Case cases[] = {{"tempfail", "t"}, {"reject", "y"}, {"quarantine", "d"}};
  set("DaemonCommunication", "Address", "local:" + dir_.file("nobody.sock"));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    set("Actions", "ProcessingErrors", c.action);
    ASSERT_TRUE(start_filter()) << capture_.dump();
    smftest::ScriptResult r = miltertest("one.lua", {{"REPLY", c.reply}, {"CODE", "F0000000"}});
    EXPECT_EQ(r.status, 0) << r.output << capture_.dump();
    EXPECT_EQ(stop_filter(SIGKILL), 128 + SIGKILL);
  }
  EXPECT_EQ(files("spool"), std::vector<std::string>{});
  EXPECT_EQ(files("quarantine").size(), 1u);
}

TEST_F(EomTest, CuredMessageGetsTheCuredBodyAndItsLastTransferEncodingSetTo7bit) {
  // Removing the infected part rewrites the spool file (deleted bit 0x80000); the filter
  // hands the rewritten body back. DebugSpool keeps the rewritten file to compare with.
  set("Actions", "Infected", "remove");
  set("Logging", "DebugSpool", "yes");
  ASSERT_TRUE(start_daemon_with_signatures());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  std::map<std::string, std::string> vars = {{"EICAR", kEicar}, {"NEWBODY", ""}};
  smftest::ScriptResult first = miltertest("cured.lua", vars);
  ASSERT_EQ(first.status, 0) << first.output << capture_.dump();
  std::vector<std::string> names = files("spool");
  ASSERT_EQ(names.size(), 1u);
  std::string cured = zvtest::read_file(dir_.file("spool/" + names[0]));
  size_t body = cured.find("\r\n\r\n");
  ASSERT_NE(body, std::string::npos) << cured;
  std::string new_body = cured.substr(body + 4);
  EXPECT_EQ(new_body.find(kEicar), std::string::npos) << new_body;
  EXPECT_NE(new_body.find("removed by the virus scanner"), std::string::npos) << new_body;
  EXPECT_TRUE(capture_.has("[QCURED]: send cured message back to sendmail"));

  // The same message again, now checking the body handed back byte for byte.
  vars["NEWBODY"] = new_body;
  smftest::ScriptResult second = miltertest("cured.lua", vars);
  EXPECT_EQ(second.status, 0) << second.output << capture_.dump();
}

TEST_F(EomTest, NotificationWithTheValidHashPassesUnscannedWithoutItsHashHeader) {
  set("NotificationOptions", "FastNotify", "yes");
  set("NotificationOptions", "NotifyHashSalt", "a secret of the test");
  set("Logging", "DebugSpool", "yes");
  ASSERT_TRUE(start_daemon_with_signatures());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  // A virus makes the filter notify the administrator; the notification carries the hash.
  smftest::ScriptResult r = miltertest("outcomes.lua", codes());
  ASSERT_EQ(r.status, 0) << r.output << capture_.dump();
  std::vector<zvtest::SubmitterRecord> records = zvtest::wait_for_records(dir_.file("records"), 3);
  std::string hash;
  std::smatch m;
  static const std::regex header("X-zarvik-hash: ([0-9a-f]{32})");
  for (const auto& record : records)
    if (std::regex_search(record.input, m, header)) hash = m[1];
  ASSERT_EQ(hash.size(), 32u) << "no notification with a hash was submitted";
  for (const std::string& name : files("spool")) unlink(dir_.file("spool/" + name).c_str());

  std::string wrong = hash;
  wrong[0] = wrong[0] == 'a' ? 'b' : 'a';
  r = miltertest("notification.lua", {{"EICAR", kEicar}, {"HASH", hash}, {"WRONG", wrong}});
  EXPECT_EQ(r.status, 0) << r.output << capture_.dump();
  EXPECT_TRUE(capture_.has("[QVALID]: notification with valid secure-hash - pass without check"));
  EXPECT_TRUE(capture_.has("[QWRONG]: ALERT: anybody tries pass message with incorrect hash"));
  EXPECT_FALSE(capture_.contains("[QVALID]: start scanning message"));
  // The verified notification's file is removed even with DebugSpool on; the wrong one
  // was scanned and kept.
  std::vector<std::string> names = files("spool");
  ASSERT_EQ(names.size(), 1u);
  EXPECT_NE(zvtest::read_file(dir_.file("spool/" + names[0])).find("\tid QWRONG; "),
            std::string::npos);
}

TEST_F(EomTest, SixtyFourConcurrentConnectionsAllGetTheirAnswer) {
  ASSERT_TRUE(start_daemon_with_signatures());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  constexpr int kConnections = 64;
  std::vector<pid_t> clients;
  for (int i = 0; i < kConnections; ++i) {
    std::string out = dir_.file("client." + std::to_string(i));
    clients.push_back(spawn_miltertest(
        "concurrent.lua",
        {{"EICAR", kEicar}, {"INFECTED", std::to_string(i % 2)}, {"QID", "C" + std::to_string(i)}},
        out));
  }
  for (int i = 0; i < kConnections; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(smftest::wait_status(clients[static_cast<size_t>(i)]), 0)
        << zvtest::read_file(dir_.file("client." + std::to_string(i)));
  }
  EXPECT_EQ(files("spool"), std::vector<std::string>{});
  EXPECT_EQ(stop_filter(SIGTERM), 0);
}

}  // namespace
