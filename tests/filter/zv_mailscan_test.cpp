// Scan decision: real spool files scanned by the stand-in daemon zvscand, the findings
// weighed in their order, cure and re-injection, and what the recording submitter got.
// Redirect: the spooled message from its headers offset goes from the filter address to
// the redirect mailbox; every outcome is logged with the message's names.
#include "zv_mailscan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "filter/zv_mailscan_fixture.h"
#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zv_viruses.h"
#include "zvc_lib.h"
#include "zvc_result.h"

namespace {

using ::testing::MatchesRegex;
using zvtest::CaptureLog;
using zvtest::TempDir;

const std::string& kSubmitter = zvtest::kRecordingSubmitter;

class Redirect : public zvtest::RecordingSubmitterTest {
 protected:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    mailer_.sendmail = const_cast<char*>(kSubmitter.c_str());
    actions_.filter_mail = filter_.data();
    actions_.redirect_mail = redirect_.data();
    path_ = spool_.write("zarvik.tmp.Ab12Cd", received_ + message_);
    mail_.reset(mail_create(path_.c_str()));
    ASSERT_NE(mail_, nullptr);
    MailEnvelope* e = mail_envelope(mail_.get());
    ASSERT_EQ(e_set_from(e, "<sender@example.org>"), 1);
    ASSERT_EQ(e_add_rcpt(e, "<a@example.org>"), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_MESSAGE_ID, "4AbCdEf"), 1);
    int offset = static_cast<int>(received_.size());
    ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_OFFSET, &offset), 1);
  }

  TempDir spool_;
  std::string filter_ = "<zarvik@mx.example.org>";
  std::string redirect_ = "<quarantine@example.org>";
  std::string received_ = "Return-Path: <sender@example.org>\r\nReceived: from client\r\n";
  std::string message_ = "From: sender@example.org\r\nSubject: offer\r\n\r\nbody\r\n";
  std::string path_;
  MailInfoPtr mail_;
  ActionsConfig actions_{};
  MailerConfig mailer_{};
};

TEST_F(Redirect, SendsTheSpooledMessageFromTheFilterAddress) {
  ASSERT_EQ(e_add_rcpt(mail_envelope(mail_.get()), "<b@example.org>"), 1);
  CaptureLog log(ZV_LOG_INFO);
  redirect_message(mail_.get(), &actions_, &mailer_);
  auto got = zvtest::wait_for_record_names(records_.path(), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(zvtest::read_file(got[0] + ".args"), "[" + kSubmitter +
                                                     "]\n[-i]\n[-bm]\n[-fzarvik@mx.example.org]\n"
                                                     "[--]\n[quarantine@example.org]\n");
  // The copy starts with the first spooled header line; nothing is added to it.
  EXPECT_EQ(zvtest::read_file(got[0] + ".input"), message_);
  EXPECT_EQ(log.texts(),
            std::vector<std::string>{"[4AbCdEf]: redirect: the message(zarvik.tmp.Ab12Cd) sent by "
                                     "sender@example.org to rcpts was redirected to "
                                     "<quarantine@example.org>"});
}

// The copy still holds the virus: it carries the filter's own mark, by which it passes
// the filter unscanned when it comes back under whatever envelope the MTA gave it.
TEST_F(Redirect, CopyCarriesTheOwnMarkFirst) {
  ASSERT_EQ(make_own_mark(actions_.own_mark, sizeof actions_.own_mark), 1);
  redirect_message(mail_.get(), &actions_, &mailer_);
  auto got = zvtest::wait_for_record_names(records_.path(), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(zvtest::read_file(got[0] + ".input"),
            "X-zarvik-hash: " + std::string(actions_.own_mark) + "\r\n" + message_);
}

TEST_F(Redirect, EveryFailureIsLoggedAndNothingIsSent) {
  zvtest::StartedProcesses started;
  CaptureLog log(ZV_LOG_ERRORS);
  actions_.redirect_mail = nullptr;
  redirect_message(mail_.get(), &actions_, &mailer_);
  EXPECT_EQ(log.texts(),
            std::vector<std::string>{"[4AbCdEf]: redirect: parameter RedirectMail was not "
                                     "specified, so cannot use redirection"});

  log.clear();
  actions_.redirect_mail = redirect_.data();
  actions_.filter_mail = nullptr;
  redirect_message(mail_.get(), &actions_, &mailer_);
  EXPECT_EQ(log.texts(), std::vector<std::string>{
                             "[4AbCdEf]: redirect: the message(zarvik.tmp.Ab12Cd) sent by "
                             "sender@example.org to a@example.org was failed to create envelope"});

  log.clear();
  actions_.filter_mail = filter_.data();
  ASSERT_EQ(unlink(path_.c_str()), 0);
  redirect_message(mail_.get(), &actions_, &mailer_);
  ASSERT_FALSE(log.texts().empty());
  EXPECT_EQ(log.texts().back(),
            "[4AbCdEf]: redirect: the message(zarvik.tmp.Ab12Cd) sent by sender@example.org to "
            "a@example.org was failed to send");

  log.clear();
  redirect_message(mail_.get(), nullptr, &mailer_);
  redirect_message(nullptr, &actions_, nullptr);
  ASSERT_EQ(log.texts().size(), 2u);
  EXPECT_THAT(log.texts()[0], MatchesRegex("redirect: bad parameters \\(0\\.1\\.0\\) were "
                                           "passed \\(zv_mailscan:[0-9]+\\) "));
  EXPECT_THAT(log.texts()[1], MatchesRegex("redirect: bad parameters \\(1\\.0\\.1\\) were "
                                           "passed \\(zv_mailscan:[0-9]+\\) "));
  EXPECT_EQ(started.wait_all(), 0);
  EXPECT_TRUE(zvtest::wait_for_record_names(records_.path(), 0).empty());
}

using zvtest::Decision;
using zvtest::kAllRoles;

TEST_F(Decision, EachFindingDecidesWithItsActionReplyAndLine) {
  start_daemon();
  struct Row {
    const char* name;
    std::string body;
    std::string headers;
    std::function<void(ActionsConfig&, ScanningConfig&)> set;
    int action;
    const char* reply;
    std::string tail;
    const char* section;
  };
  auto none = [](ActionsConfig&, ScanningConfig&) {};
  const Row rows[] = {
      {"known virus", "KNOWN-SIG", "", none, ACTION_REJECT, "R-infected",
       "infected with Test-Known", "virus"},
      {"modification", "MOD-SIG", "", none, ACTION_REJECT, "R-infected", "infected with a viruses",
       "virus"},
      {"suspicious", "SUSP-SIG", "", none, ACTION_REJECT, "R-suspicious", "probably infected",
       "virus"},
      {"adware", "ADW-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.adware = ACTION_DISCARD; }, ACTION_DISCARD,
       "R-malware", "contains an advertizing software", "malware"},
      {"dialer", "DIAL-SIG", "", none, ACTION_REJECT, "R-malware", "contains a dialer", "malware"},
      {"joke", "JOKE-SIG", "", none, ACTION_REJECT, "R-malware", "contains a hoax", "malware"},
      {"riskware", "RISK-SIG", "", none, ACTION_REJECT, "R-malware",
       "contains a potentially dangerous software", "malware"},
      {"hacktool", "HACK-SIG", "",
       [](ActionsConfig& a, ScanningConfig&) { a.hacktools = ACTION_TEMPFAIL; }, ACTION_TEMPFAIL,
       "R-malware", "contains an intrusion tool", "malware"},
      {"rule filter", "text", "X-Rule-Trigger: yes\r\n",
       [](ActionsConfig&, ScanningConfig& s) { s.rule_filter = 1; }, ACTION_REJECT, "R-rule",
       "rejected by daemon filtering rule (Test-Rule)", "rule"},
      {"archive restriction", "BIG-SIG", "", none, ACTION_REJECT, "R-archive",
       "contains object with archive restrictions", "archive"},
      {"skipped object", "SKIP-SIG", "", none, ACTION_REJECT, "R-skip",
       "contains an unchecked objects", "skip"},
      {"scanning error", "ERR-SIG", "", none, ACTION_REJECT, "R-error",
       "daemon return error (" + status_text(kStatusReadError) +
           ") - possible problem with daemon or file",
       "error"},
      {"clean", "nothing here", "", none, ACTION_PASS, nullptr, "is passed", nullptr},
  };
  ActionsConfig defaults = actions_;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    actions_ = defaults;
    scanning_.rule_filter = 0;
    row.set(actions_, scanning_);
    make_message("plain text " + row.body + "\r\n", row.headers);
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), row.action);
    EXPECT_NE(status_, kScanFailedStatus);
    if (row.reply) {
      EXPECT_STREQ(reply(), row.reply);
    } else {
      EXPECT_EQ(reply(), nullptr);
    }
    EXPECT_TRUE(log.has(line(row.tail))) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(sent(), row.section ? tags(row.section, kAllRoles) : std::vector<std::string>{});
    clear_records();
  }
}

// "pass" for a malware kind tells the administrator only, and the next finding decides.
TEST_F(Decision, PassForAFindingNotifiesTheAdministratorAndGoesOn) {
  start_daemon();
  actions_.adware = ACTION_PASS;
  actions_.dialers = ACTION_DISCARD;
  make_multipart({"ADW-SIG", "DIAL-SIG"});
  CaptureLog log(ZV_LOG_INFO);
  EXPECT_EQ(scan(), ACTION_DISCARD);
  EXPECT_TRUE(
      log.has(line("passed by configuration but the message contains an advertizing "
                   "software")));
  EXPECT_TRUE(log.has(line("contains a dialer")));
  std::vector<std::string> want = tags("malware", {"admin", "admin", "rcpts", "sender"});
  EXPECT_EQ(sent(), want);
}

// Infection and adware: the infection decides alone unless it was cured, and then the
// weighing goes on to the adware. A deletion that only removed the adware is no cure.
TEST_F(Decision, InfectionWithAdwareIsDecidedByTheInfectionUnlessCured) {
  start_daemon();
  struct Row {
    const char* name;
    int infected;
    int adware;
    int action;
    std::vector<std::string> sent;
  };
  const Row rows[] = {
      {"reject", ACTION_REJECT, ACTION_DISCARD, ACTION_REJECT, tags("virus", kAllRoles)},
      {"adware removed, virus left", ACTION_REJECT, ACTION_REMOVE, ACTION_REJECT,
       tags("virus", kAllRoles)},
      {"cured", ACTION_CURE, ACTION_DISCARD, ACTION_DISCARD,
       [] {
         auto t = tags("cured", {"admin", "sender"});
         auto m = tags("malware", kAllRoles);
         t.insert(t.end(), m.begin(), m.end());
         std::sort(t.begin(), t.end());
         return t;
       }()},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    actions_.infected = row.infected;
    actions_.adware = row.adware;
    make_multipart({"KNOWN-SIG", "ADW-SIG"});
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), row.action);
    EXPECT_EQ(sent(), row.sent);
    EXPECT_STREQ(reply(), row.infected == ACTION_CURE ? "R-malware" : "R-infected");
    clear_records();
  }
}

// "cure" with everything cured: cured in place (local scan) the message passes with its
// spool file cured; streamed, the cured copy goes to the recipients and the received
// message is discarded.
TEST_F(Decision, CuredMessagePassesInPlaceOrIsReinjected) {
  start_daemon();
  actions_.infected = ACTION_CURE;
  for (int local : {1, 0}) {
    SCOPED_TRACE(local ? "local" : "streamed");
    scanning_.local_scan = local;
    make_multipart({"KNOWN-SIG", "clean part"});
    CaptureLog log(ZV_LOG_DEBUG);
    EXPECT_EQ(scan(), local ? ACTION_PASS : ACTION_DISCARD);
    EXPECT_TRUE(status_ & kStatusCured);
    EXPECT_TRUE(log.has(line("has been cured or infected parts have been removed")));
    std::vector<std::string> want = tags("cured", {"admin", "sender"});
    std::string spooled = zvtest::read_file(path_);
    if (local) {
      EXPECT_TRUE(log.has(line("original message has been cured")));
      EXPECT_EQ(spooled.find("KNOWN-SIG"), std::string::npos);
      EXPECT_EQ(reply(), nullptr);
      EXPECT_TRUE(log.has(line("is passed")));
    } else {
      EXPECT_NE(spooled.find("KNOWN-SIG"), std::string::npos);
      EXPECT_STREQ(reply(), "R-infected");
      EXPECT_TRUE(log.has(line("infected with Test-Known")));
      want.push_back("Return-Path: <sender@example.org>\r");
      std::sort(want.begin(), want.end());
      // The copy goes from the original sender to the original recipients.
      bool found = false;
      for (const auto& r : records()) {
        if (r.input.rfind("Return-Path:", 0) != 0) continue;
        found = true;
        EXPECT_EQ(r.input.find("KNOWN-SIG"), std::string::npos);
        EXPECT_NE(r.input.find("clean part"), std::string::npos);
        EXPECT_EQ(r.args, "[" + kSubmitter +
                              "]\n[-i]\n[-bm]\n[-fsender@example.org]\n[--]\n[a@example.org]\n");
      }
      EXPECT_TRUE(found);
    }
    EXPECT_EQ(sent(), want);
    clear_records();
  }
}

// The re-injected cured copy was scanned just now and carries the own mark, so that it is
// not scanned, cured and re-injected again when it comes back.
TEST_F(Decision, ReinjectedCuredCopyCarriesTheOwnMarkFirst) {
  start_daemon();
  actions_.infected = ACTION_CURE;
  scanning_.local_scan = 0;
  ASSERT_EQ(make_own_mark(actions_.own_mark, sizeof actions_.own_mark), 1);
  make_multipart({"KNOWN-SIG", "clean part"});
  EXPECT_EQ(scan(), ACTION_DISCARD);
  const std::string mark = "X-zarvik-hash: " + std::string(actions_.own_mark) + "\r\n";
  int copies = 0;
  for (const auto& r : records()) {
    if (r.input.find("clean part") == std::string::npos) continue;
    ++copies;
    EXPECT_EQ(r.input.rfind(mark + "Return-Path: <sender@example.org>\r\n", 0), 0u);
  }
  EXPECT_EQ(copies, 1);
}

// With "LocalScan" on, a backup daemon is still sent the content and answers with a
// cured copy while the spool file stays infected: the copy is submitted, so the received
// message must be discarded rather than passed.
TEST_F(Decision, CuredCopyFromABackupDaemonIsNotPassedAsWell) {
  start_daemon();
  ASSERT_EQ(cleanup(), 0);
  ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("primary.sock")).c_str(), 5, 0), 0);
  ASSERT_EQ(add_address(daemon_->address().c_str(), 5, 0), 0);
  actions_.infected = ACTION_CURE;
  make_multipart({"KNOWN-SIG", "clean part"});
  EXPECT_EQ(scan(), ACTION_DISCARD);
  EXPECT_NE(zvtest::read_file(path_).find("KNOWN-SIG"), std::string::npos);
  std::vector<std::string> want = tags("cured", {"admin", "sender"});
  want.push_back("Return-Path: <sender@example.org>\r");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(sent(), want);
}

// A daemon that sees the spool under another name (PrefixPath) is sent its own name of
// the file, while the content it is streamed (LocalScan off, or a backup daemon) is read
// from the file under this process's name.
TEST_F(Decision, StreamedScanReadsTheSpoolFileAndSendsTheDaemonsName) {
  struct Case {
    const char* name;
    int local_scan;
    bool primary_down;  // the session goes to the backup, which is streamed the content
  };
  const Case cases[] = {{"local scan off", 0, false}, {"backup daemon", 1, true}};
  start_daemon();
  char prefix[] = "/chroot";
  scanning_.prefix_path = prefix;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(cleanup(), 0);
    if (c.primary_down) {
      ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("primary.sock")).c_str(), 5, 0), 0);
      ASSERT_EQ(add_address(daemon_->address().c_str(), 5, 0), 0);
    } else {
      ASSERT_EQ(startup(kZvcVersion, daemon_->address().c_str(), 5, 0), 0);
    }
    scanning_.local_scan = c.local_scan;
    make_multipart({"KNOWN-SIG", "clean part"});
    const size_t size = zvtest::read_file(path_).size();
    EXPECT_EQ(scan(), ACTION_REJECT);
    zv::UniqueMalloc<char> real(realpath(path_.c_str(), nullptr));
    ASSERT_TRUE(real);
    const std::string daemon_name = std::string(prefix) + (c.local_scan ? real.get() : path_);
    const std::string line = "zvscand: scan <" + daemon_name + "> streamed " +
                             std::to_string(size) + " bytes: status 0x20";
    EXPECT_TRUE(zvtest::wait_for([&] { return daemon_->log().find(line) != std::string::npos; }, 5))
        << daemon_->log();
    clear_records();
  }
  scanning_.prefix_path = nullptr;
}

// Nothing cured: "Incurable" applies, and when that is "remove", "CureFail". A virus in
// a header lies outside any part, so the daemon can neither cure nor remove it.
TEST_F(Decision, NothingCuredGivesIncurableOrCureFail) {
  start_daemon();
  struct Row {
    const char* name;
    int infected;
    int incurable;
    int action;
  };
  const Row rows[] = {
      {"cure, incurable discard", ACTION_CURE, ACTION_DISCARD, ACTION_DISCARD},
      {"cure, incurable remove", ACTION_CURE, ACTION_REMOVE, ACTION_TEMPFAIL},
      {"remove, incurable reject", ACTION_REMOVE, ACTION_REJECT, ACTION_REJECT},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    actions_.infected = row.infected;
    actions_.incurable = row.incurable;
    actions_.cure_fail = ACTION_TEMPFAIL;
    make_multipart({"clean"}, "X-Carried: INCUR-SIG\r\n");
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), row.action);
    EXPECT_FALSE(status_ & (kStatusCured | kStatusDeleted));
    EXPECT_STREQ(reply(), "R-infected");
    EXPECT_TRUE(log.has(line("infected with Test-Incurable")));
    EXPECT_EQ(sent(), tags("virus", kAllRoles));
    clear_records();
  }
}

// A cure that left a virus behind, and a removal below the count of found viruses, give
// "CureFail".
TEST_F(Decision, PartialCureGivesCureFail) {
  start_daemon();
  actions_.cure_fail = ACTION_DISCARD;
  struct Row {
    const char* name;
    int infected;
    std::string tail;
  };
  const Row rows[] = {
      {"cure", ACTION_CURE, "not all viruses has been cured"},
      {"remove", ACTION_REMOVE, "not all viruses has been cured or removed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    actions_.infected = row.infected;
    // The part is treated; the same virus in a header stays.
    make_multipart({"KNOWN-SIG"}, "X-Carried: KNOWN-SIG\r\n");
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(scan(), ACTION_DISCARD);
    EXPECT_TRUE(log.has(line(row.tail))) << ::testing::PrintToString(log.texts());
    EXPECT_EQ(sent(), tags("virus", kAllRoles));
    clear_records();
  }
}

}  // namespace
