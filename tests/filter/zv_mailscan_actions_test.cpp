// Scan decision, what follows the verdict: quarantine and redirect, a failed scan and
// the early failures, the empty sender, the filter's own mail, the option words as the
// daemon acts on them, concurrent scans and the statistics agent.
#include "zv_mailscan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "filter/zv_mailscan_fixture.h"
#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_util.h"
#include "zv_viruses.h"
#include "zvc_lib.h"
#include "zvc_result.h"

namespace {

using zvtest::CaptureLog;
using zvtest::Decision;
using zvtest::kAllRoles;

TEST_F(Decision, QuarantineStoresTheFileOrRejects) {
  start_daemon();
  actions_.infected = ACTION_QUARANTINE;
  struct Row {
    const char* name;
    std::string directory;  // empty: none configured
    const char* viruses;    // non-notified viruses list, or null
    int action;
    bool stored;
  };
  const Row rows[] = {
      {"stored", quarantine_dir_, nullptr, ACTION_QUARANTINE, true},
      {"quarantine fails", dir_.file("missing"), nullptr, ACTION_REJECT, false},
      {"no quarantine directory", "", nullptr, ACTION_QUARANTINE, false},
      {"not quarantinable", quarantine_dir_, "[version=2]\nallow allow allow deny Test-Known\n",
       ACTION_QUARANTINE, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string directory = row.directory;
    actions_.quarantine.directory = directory.empty() ? nullptr : directory.data();
    VirusesListPtr list(row.viruses ? viruses_load(dir_.write("viruses", row.viruses).c_str(), 1)
                                    : nullptr);
    actions_.unnotified_viruses = list.get();
    make_message("KNOWN-SIG\r\n");
    std::string content = zvtest::read_file(path_);
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), row.action);
    EXPECT_STREQ(reply(), "R-infected");
    std::vector<std::string> stored = quarantined();
    if (row.stored) {
      ASSERT_EQ(stored.size(), 1u);
      struct stat st {};
      ASSERT_EQ(stat(stored[0].c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0640u);
      EXPECT_EQ(zvtest::read_file(stored[0]), content);
      EXPECT_FALSE(zvtest::exists(path_));
      EXPECT_TRUE(mail_->keep_file);
      EXPECT_STREQ(scanresult_quarantine(mail_result(mail_.get())), stored[0].c_str());
      EXPECT_TRUE(log.has(line("has been stored in archive " + stored[0])));
      EXPECT_EQ(stored[0].rfind(quarantine_dir_ + "/q.", 0), 0u);
      ::unlink(stored[0].c_str());
    } else {
      EXPECT_TRUE(stored.empty());
      EXPECT_TRUE(zvtest::exists(path_));
      EXPECT_FALSE(mail_->keep_file);
    }
    if (row.action == ACTION_REJECT) {
      EXPECT_TRUE(log.has(line("was not quarantined")));
    }
    if (row.viruses) {
      EXPECT_TRUE(log.has(
          line("has NOT been quarantined because contains only non-quarantinable viruses")));
    }
    EXPECT_EQ(sent(), tags("virus", kAllRoles));
    actions_.unnotified_viruses = nullptr;
    clear_records();
  }
}

TEST_F(Decision, RedirectSendsTheCopyUnlessNotQuarantinable) {
  start_daemon();
  actions_.infected = ACTION_REDIRECT;
  actions_.redirect_mail = const_cast<char*>("<quarantine@example.org>");
  for (bool listed : {false, true}) {
    SCOPED_TRACE(listed ? "not quarantinable" : "redirected");
    VirusesListPtr list(
        listed
            ? viruses_load(
                  dir_.write("viruses", "[version=2]\nallow allow allow deny Known\n").c_str(), 1)
            : nullptr);
    actions_.unnotified_viruses = list.get();
    make_message("KNOWN-SIG\r\n");
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), ACTION_REDIRECT);
    std::vector<std::string> want = tags("virus", kAllRoles);
    if (!listed) want.push_back("From: sender@example.org\r");
    std::sort(want.begin(), want.end());
    EXPECT_EQ(sent(), want);
    EXPECT_EQ(log.has(line("has NOT been redirected because contains only non-quarantinable "
                           "viruses")),
              listed);
    actions_.unnotified_viruses = nullptr;
    clear_records();
  }
}

// A scan that fails is weighed as a processing error with a substitute result whose
// report text names the failure; the error notifications carry it.
TEST_F(Decision, FailedScanGivesTheProcessingErrorsAction) {
  struct Row {
    const char* name;
    std::vector<std::string> daemon;  // empty: no daemon at all
    int error;
    const char* report;
  };
  const Row rows[] = {
      {"daemon down", {}, kZvcNoDaemon, "The filter cannot connect to the Zarvik daemon\n"},
      {"daemon drops the session",
       {"--drop"},
       0,
       "The filter fails to pass object to the Zarvik daemon\n"},
      {"daemon too slow",
       {"--delay-ms=3000"},
       -13,
       "The filter fails to pass object to the Zarvik daemon\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.daemon.empty()) {
      ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("nobody.sock")).c_str(), 1, 0), 0);
    } else {
      start_daemon(row.daemon);
      if (row.error == -13) {
        ASSERT_EQ(cleanup(), 0);
        ASSERT_EQ(startup(kZvcVersion, daemon_->address().c_str(), 1, 0), 0);
      }
    }
    actions_.processing_errors = ACTION_TEMPFAIL;
    make_message("KNOWN-SIG\r\n");
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), ACTION_TEMPFAIL);
    EXPECT_EQ(status_, kScanFailedStatus);
    EXPECT_STREQ(reply(), "R-error");
    EXPECT_EQ(scanresult_status(mail_result(mail_.get())), kScanFailedStatus);
    bool logged = false;
    for (const auto& t : log.texts())
      logged |= t.rfind(
                    "[4AbCdEf]: scan: scanning the message(zarvik.tmp.Ab12Cd) sent by "
                    "sender@example.org to a@example.org failed (error: ",
                    0) == 0;
    EXPECT_TRUE(logged);
    if (row.error != 0) {
      EXPECT_TRUE(log.contains("failed (error: " + std::to_string(row.error)));
    }
    auto got = records();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& r : got) {
      EXPECT_EQ(r.input.rfind("X-Test: error/", 0), 0u);
      EXPECT_NE(r.input.find(row.report), std::string::npos) << r.input;
    }
    clear_records();
    ASSERT_EQ(cleanup(), 0);
    if (daemon_) {
      EXPECT_EQ(daemon_->stop(), 0);
      daemon_.reset();
    }
  }
}

// A failed scan still quarantines under "quarantine"; a failure before any result
// exists turns quarantine and redirect into reject.
TEST_F(Decision, EarlyFailuresTurnQuarantineAndRedirectIntoReject) {
  ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("nobody.sock")).c_str(), 1, 0), 0);
  actions_.quarantine.directory = quarantine_dir_.data();
  for (int action : {ACTION_QUARANTINE, ACTION_REDIRECT}) {
    SCOPED_TRACE(action);
    actions_.processing_errors = action;
    make_message("text\r\n");
    std::string missing = path_ + ".gone";
    ASSERT_EQ(rename(path_.c_str(), missing.c_str()), 0);
    CaptureLog log(ZV_LOG_INFO);
    // The path cannot be converted: the spool file is gone.
    EXPECT_EQ(scan(), ACTION_REJECT);
    EXPECT_TRUE(log.has("[4AbCdEf]: scan: path converting of filename(" + path_ + ") failed"));
    EXPECT_TRUE(records().empty());
    ASSERT_EQ(rename(missing.c_str(), path_.c_str()), 0);
  }
  // With the file present the scan itself fails, and the spool file is quarantined.
  actions_.processing_errors = ACTION_QUARANTINE;
  make_message("text\r\n");
  EXPECT_EQ(scan(), ACTION_QUARANTINE);
  EXPECT_EQ(quarantined().size(), 1u);
  EXPECT_TRUE(mail_->keep_file);
}

TEST_F(Decision, EmptySenderEndsAsDiscardAfterTheNotifications) {
  start_daemon();
  // The null sender as "<>" and as the empty text of an empty MAIL argument.
  for (const char* sender : {"<>", ""}) {
    SCOPED_TRACE(std::string("sender '") + sender + "'");
    const std::string by = std::string("sent by ") + sender + " to a@example.org";
    actions_.infected = ACTION_QUARANTINE;
    actions_.quarantine.directory = quarantine_dir_.data();
    actions_.empty_from = ACTION_CONTINUE;
    make_message("KNOWN-SIG\r\n", "", sender);
    CaptureLog log(ZV_LOG_VERBOSE);
    EXPECT_EQ(scan(), ACTION_DISCARD);
    EXPECT_EQ(quarantined().size(), 1u);
    EXPECT_EQ(sent(), tags("virus", {"admin", "rcpts"}));
    EXPECT_TRUE(log.has("[4AbCdEf]: set action to discard for the message(zarvik.tmp.Ab12Cd) " +
                        by + " - because address <> is not notificable for sender"));
    EXPECT_TRUE(log.has("[4AbCdEf]: notify(sender): about the message(zarvik.tmp.Ab12Cd) " + by +
                        " was blocked to send to <>"));
    clear_records();
    for (const std::string& f : quarantined()) unlink(f.c_str());

    // "EmptyFrom" other than "continue" decides before any scan.
    actions_.empty_from = ACTION_REJECT;
    make_message("KNOWN-SIG\r\n", "", sender);
    log.clear();
    EXPECT_EQ(scan(), ACTION_REJECT);
    EXPECT_EQ(status_, kScanFailedStatus);
    EXPECT_EQ(mail_result(mail_.get()), nullptr);
    EXPECT_TRUE(log.has("[4AbCdEf]: scan: the message(zarvik.tmp.Ab12Cd) " + by +
                        " contains empty from <> that is not allowed"));
  }
}

// A temporary failure is kept for the empty sender: a discard would accept the message
// and drop it, a bounce that arrives while the daemon is down, say.
TEST_F(Decision, TemporaryFailureIsKeptForTheEmptySender) {
  ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("nobody.sock")).c_str(), 1, 0), 0);
  for (int action : {ACTION_TEMPFAIL, ACTION_REJECT}) {
    SCOPED_TRACE(action);
    actions_.processing_errors = action;
    make_message("a bounce\r\n", "", "<>");
    EXPECT_EQ(scan(), action == ACTION_TEMPFAIL ? ACTION_TEMPFAIL : ACTION_DISCARD);
    EXPECT_EQ(sent(), tags("error", {"admin", "rcpts"}));
    clear_records();
  }
  // The daemon's own scanning error likewise.
  ASSERT_EQ(cleanup(), 0);
  start_daemon();
  actions_.scanning_errors = ACTION_TEMPFAIL;
  make_message("ERR-SIG\r\n", "", "<>");
  EXPECT_EQ(scan(), ACTION_TEMPFAIL);
}

TEST_F(Decision, OwnRedirectedCopyPassesUnscannedAndTheLoopIsRejected) {
  start_daemon();
  actions_.redirect_mail = const_cast<char*>("<quarantine@example.org>");
  struct Row {
    const char* name;
    std::vector<std::string> rcpts;
    int action;
    bool scanned;
  };
  const Row rows[] = {
      {"redirected copy", {"<quarantine@example.org>"}, ACTION_PASS, false},
      {"with a second recipient",
       {"<quarantine@example.org>", "<b@example.org>"},
       ACTION_REJECT,
       true},
      {"loop", {"<zarvik@mx.example.org>"}, ACTION_REJECT, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    make_message("KNOWN-SIG\r\n", "", "<zarvik@mx.example.org>", row.rcpts);
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), row.action);
    EXPECT_EQ(status_ != kScanFailedStatus, row.scanned);
    EXPECT_EQ(mail_result(mail_.get()) != nullptr, row.scanned);
    if (!row.scanned) {
      EXPECT_EQ(reply(), nullptr);
      EXPECT_TRUE(records().empty());
    }
    const std::string head =
        "[4AbCdEf]: scan: the message(zarvik.tmp.Ab12Cd) sent by "
        "zarvik@mx.example.org to ";
    if (row.action == ACTION_PASS) {
      EXPECT_TRUE(log.has(head + "quarantine@example.org looks like redirected message - skip "
                                 "check"));
    }
    if (!row.scanned && row.action == ACTION_REJECT) {
      EXPECT_TRUE(log.has(head + "zarvik@mx.example.org looks like loop (from me to me) - reject"));
    }
    clear_records();
  }
}

// The option words carry the configuration to the daemon, which acts on them: heuristic
// analysis finds suspicious objects, rule filtering applies the header rules, and the
// removal of a malware kind (second word) or of suspicious objects (first word) makes the
// daemon remove that part.
TEST_F(Decision, OptionWordsCarryTheConfigurationToTheDaemon) {
  start_daemon();
  struct Row {
    const char* name;
    std::string content;
    std::string headers;
    std::function<void(ActionsConfig&, ScanningConfig&)> set;
    uint32_t status;
  };
  const Row rows[] = {
      {"no heuristic analysis", "SUSP-SIG", "",
       [](ActionsConfig&, ScanningConfig& s) { s.heuristic = 0; }, 0},
      {"heuristic analysis", "SUSP-SIG", "", [](ActionsConfig&, ScanningConfig&) {},
       kStatusSuspicious},
      {"no rule filter", "text", "X-Rule-Trigger: 1\r\n", [](ActionsConfig&, ScanningConfig&) {},
       0},
      {"rule filter", "text", "X-Rule-Trigger: 1\r\n",
       [](ActionsConfig&, ScanningConfig& s) { s.rule_filter = 1; }, kStatusRuleReject},
      {"remove suspicious", "SUSP-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.suspicious = ACTION_REMOVE; },
       kStatusSuspicious | kStatusDeleted},
      {"remove adware", "ADW-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.adware = ACTION_REMOVE; },
       kStatusAdware | kStatusDeleted},
      {"remove hacktools", "HACK-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.hacktools = ACTION_REMOVE; },
       kStatusHacktool | kStatusDeleted},
      {"pass hacktools", "HACK-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.hacktools = ACTION_PASS; }, kStatusHacktool},
  };
  const ActionsConfig actions = actions_;
  const ScanningConfig scanning = scanning_;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    actions_ = actions;
    scanning_ = scanning;
    row.set(actions_, scanning_);
    make_multipart({row.content}, row.headers);
    (void)scan();
    EXPECT_EQ(status_, row.status);
    clear_records();
  }
}

// Connection threads decide at the same time: each message gets its own verdict, its own
// quarantine file and its own notifications.
TEST_F(Decision, ConcurrentScansDecideEachMessageOnItsOwn) {
  start_daemon();
  actions_.infected = ACTION_QUARANTINE;
  actions_.quarantine.directory = quarantine_dir_.data();
  VirusesListPtr list(viruses_load(
      dir_.write("viruses", "[version=2]\nallow deny allow allow Known\n").c_str(), 1));
  actions_.unnotified_viruses = list.get();
  constexpr int kThreads = 6;
  std::vector<MailInfoPtr> mails;
  for (int i = 0; i < kThreads; ++i) {
    std::string path = spool_dir_ + "/m" + std::to_string(i);
    std::string body = i % 2 ? "KNOWN-SIG" : "clean";
    FILE* f = fopen(path.c_str(), "we");
    ASSERT_NE(f, nullptr);
    std::string all = "From: s\r\nSubject: m" + std::to_string(i) + "\r\n\r\n" + body + "\r\n";
    ASSERT_EQ(fwrite(all.data(), 1, all.size(), f), all.size());
    ASSERT_EQ(fclose(f), 0);
    MailInfoPtr m(mail_create(path.c_str()));
    ASSERT_EQ(e_set_from(mail_envelope(m.get()), "<sender@example.org>"), 1);
    ASSERT_EQ(e_add_rcpt(mail_envelope(m.get()), "<a@example.org>"), 1);
    ASSERT_EQ(mail_set(m.get(), MAIL_MESSAGE_ID, ("id" + std::to_string(i)).c_str()), 1);
    mails.push_back(std::move(m));
  }
  std::vector<int> actions(kThreads, 0);
  std::vector<uint32_t> statuses(kThreads, 0);
  {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        actions[i] =
            scan_message(mails[i].get(), &scanning_, &actions_, &mailer_, &agent_, &statuses[i]);
      });
    }
    for (auto& t : threads) t.join();
  }
  reaper_.wait_all({daemon_->pid()});
  for (int i = 0; i < kThreads; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(actions[i], i % 2 ? ACTION_DISCARD : ACTION_PASS);
    EXPECT_EQ(statuses[i], i % 2 ? kStatusKnownVirus : 0u);
    EXPECT_EQ(mails[i]->keep_file, i % 2 == 1);
  }
  EXPECT_EQ(quarantined().size(), static_cast<size_t>(kThreads / 2));
  // Administrator and recipients for every infected message; the sender is not told.
  EXPECT_EQ(records().size(), static_cast<size_t>(kThreads));
  actions_.unnotified_viruses = nullptr;
}

// Every completed scan reports its statistics to the agent; a failed report is logged
// and changes nothing.
TEST_F(Decision, StatisticsGoToTheAgentAndAFailedReportChangesNothing) {
  start_daemon();
  std::string socket = dir_.file("agent.sock");
  std::string totals = dir_.file("totals");
  auto agent_peer = std::make_unique<zvtest::Peer>(
      ZV_BINARY_DIR "/tools/zvagent/zvagent",
      std::vector<std::string>{"--listen=local:" + socket, "--totals=" + totals}, dir_, "zvagent");
  ASSERT_TRUE(agent_peer->ready());
  other_peer_ = agent_peer->pid();
  std::string address = "local:" + socket;
  agent_.address = address.data();
  agent_.timeout = 10;
  ASSERT_EQ(init_stat(&agent_), 1);
  make_message("KNOWN-SIG\r\n");
  EXPECT_EQ(scan(), ACTION_REJECT);
  const std::string text = zvtest::read_file(totals);
  EXPECT_NE(text.find("reports 1\n"), std::string::npos) << text;
  EXPECT_NE(text.find("known_viruses 1\n"), std::string::npos) << text;
  clear_records();

  EXPECT_EQ(agent_peer->stop(), 0);
  make_message("KNOWN-SIG\r\n");
  CaptureLog log(ZV_LOG_ALERTS);
  EXPECT_EQ(scan(), ACTION_REJECT);
  EXPECT_TRUE(log.has("[4AbCdEf]: scan: drop scan results to agent failed"));
  EXPECT_TRUE(log.has(line("infected with Test-Known")));
  fini_stat(&agent_);
  agent_ = {};
}

}  // namespace
