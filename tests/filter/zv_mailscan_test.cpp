// Scan decision: real spool files scanned by the stand-in daemon zvscand, what is decided,
// logged, stored in quarantine and handed to the recording submitter. Redirect: the
// spooled message from its headers offset goes from the filter address to the redirect
// mailbox; every outcome is logged with the message's names.
#include "zv_mailscan.h"

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "tools/zvscand_signatures.h"
#include "tools/zvtool_peer.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_util.h"
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

// --- Scan decision -------------------------------------------------------------------

// Signatures of the stand-in daemon for every finding kind, an incurable virus, a header
// rule and three status findings (archive restriction, skipped object, read error).
const std::string kSignatures = std::string(zvtest::kFindingKindSignatures) +
                                "H:Test-Hacktool:\"HACK-SIG\"\n"
                                "K:Test-Incurable:\"INCUR-SIG\":incurable\n"
                                "rule:Test-Rule:\"X-Rule-Trigger\"\n"
                                "status=0x2000:Test-TooBig:\"BIG-SIG\"\n"
                                "status=0x1000:Test-Skip:\"SKIP-SIG\"\n"
                                "status=0x1:Test-ReadError:\"ERR-SIG\"\n";

const char* const kSections[] = {"virus", "malware", "skip", "archive", "error", "rule", "cured"};
const char* const kRoles[] = {"sender", "rcpts", "admin"};

NotificationConfig FilterConfig::*section_member(const std::string& name) {
  if (name == "virus") return &FilterConfig::virus_notify;
  if (name == "malware") return &FilterConfig::malware_notify;
  if (name == "skip") return &FilterConfig::skip_notify;
  if (name == "archive") return &FilterConfig::archive_notify;
  if (name == "error") return &FilterConfig::error_notify;
  if (name == "rule") return &FilterConfig::rule_filter_notify;
  return &FilterConfig::cured_notify;
}

// One MIME part of a test message.
std::string part(const std::string& content) {
  return "--b1\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

class Decision : public zvtest::RecordingSubmitterTest {
 protected:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(mkdir(spool_dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(quarantine_dir_.c_str(), 0700), 0);
    mailer_.sendmail = const_cast<char*>(kSubmitter.c_str());
    scanning_.local_scan = 1;
    scanning_.heuristic = 1;
    scanning_.report_options = REPORT_INCLUDE_REPORT | REPORT_INCLUDE_STATS;
    for (int* a : {&actions_.infected, &actions_.incurable, &actions_.cure_fail,
                   &actions_.suspicious, &actions_.adware, &actions_.dialers, &actions_.jokes,
                   &actions_.riskware, &actions_.hacktools, &actions_.rule_filter_alert,
                   &actions_.archive_restriction, &actions_.skip_object, &actions_.scanning_errors})
      *a = ACTION_REJECT;
    actions_.processing_errors = ACTION_TEMPFAIL;
    actions_.empty_from = ACTION_CONTINUE;
    actions_.reply_infected = const_cast<char*>("R-infected");
    actions_.reply_suspicious = const_cast<char*>("R-suspicious");
    actions_.reply_malware = const_cast<char*>("R-malware");
    actions_.reply_rule_filter = const_cast<char*>("R-rule");
    actions_.reply_archive_restriction = const_cast<char*>("R-archive");
    actions_.reply_skip_object = const_cast<char*>("R-skip");
    actions_.reply_error = const_cast<char*>("R-error");
    actions_.reply_empty_from = const_cast<char*>("R-empty");
    actions_.admin_mail = const_cast<char*>("<postmaster@example.org>");
    actions_.filter_mail = const_cast<char*>("<zarvik@mx.example.org>");
    actions_.quarantine = {nullptr, const_cast<char*>("q."), NAMING_RAND48, 0640};
    actions_.quarantine_move = 1;
    // Every template names its section and role in its first line.
    for (const char* section : kSections) {
      NotificationConfig& n = filter_config()->*section_member(section);
      n.sender_notify = n.rcpts_notify = n.admin_notify = 1;
      for (const char* role : kRoles) {
        std::string path = dir_.write(std::string(section) + "-" + role + ".tpl",
                                      std::string("X-Test: ") + section + "/" + role +
                                          "\nSubject: about $SUBJECT$\n\n$DAEMON_REPORT$");
        templates_.push_back(path);
        char* copy = templates_.back().data();
        if (std::string(role) == "sender") n.sender_template = copy;
        if (std::string(role) == "rcpts") n.rcpts_template = copy;
        if (std::string(role) == "admin") n.admin_template = copy;
      }
    }
    signatures_ = dir_.write("signatures", kSignatures);
  }
  void TearDown() override {
    for (const char* section : kSections) filter_config()->*section_member(section) = {};
    if (started()) (void)cleanup();
    RecordingSubmitterTest::TearDown();
  }

  // Starts zvscand (with `args` besides its socket and signatures) and the client library.
  void start_daemon(std::vector<std::string> args = {}) {
    std::string socket = dir_.file("scand.sock");
    args.push_back("--listen=local:" + socket);
    args.push_back("--signatures=" + signatures_);
    daemon_ = std::make_unique<zvtest::Peer>(zvtest::zvscand_program(), args, dir_, "zvscand");
    ASSERT_TRUE(daemon_->ready()) << daemon_->log();
    ASSERT_EQ(startup(kZvcVersion, ("local:" + socket).c_str(), 5, 0), 0);
  }

  // A spooled message: the two synthesised lines, then `headers` and `body`.
  void make_message(const std::string& body, const std::string& headers = "",
                    const std::string& from = "<sender@example.org>",
                    const std::vector<std::string>& rcpts = {"<a@example.org>"}) {
    const std::string received =
        "Return-Path: " + from + "\r\nReceived: from client by mx.example.org\r\n";
    std::string block =
        "From: sender@example.org\r\nTo: a@example.org\r\nSubject: test\r\n" + headers + "\r\n";
    path_ = spool_dir_ + "/zarvik.tmp.Ab12Cd";
    FILE* f = fopen(path_.c_str(), "we");
    ASSERT_NE(f, nullptr);
    std::string all = received + block + body;
    ASSERT_EQ(fwrite(all.data(), 1, all.size(), f), all.size());
    ASSERT_EQ(fclose(f), 0);
    mail_.reset(mail_create(path_.c_str()));
    ASSERT_NE(mail_, nullptr);
    MailEnvelope* e = mail_envelope(mail_.get());
    ASSERT_EQ(e_set_from(e, from.c_str()), 1);
    for (const auto& r : rcpts) ASSERT_EQ(e_add_rcpt(e, r.c_str()), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_MESSAGE_ID, "4AbCdEf"), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_SUBJECT, "test"), 1);
    int offset = static_cast<int>(received.size());
    int length = static_cast<int>(block.size());
    ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_OFFSET, &offset), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_LENGTH, &length), 1);
  }
  // A multipart message with one part per content.
  void make_multipart(const std::vector<std::string>& contents, const std::string& headers = "") {
    std::string body;
    for (const auto& c : contents) body += part(c);
    make_message(
        body + "--b1--\r\n",
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n" + headers);
  }

  // Runs the decision and waits for every submitter it started.
  int scan() {
    status_ = 0;
    int action = scan_message(mail_.get(), &scanning_, &actions_, &mailer_, &agent_, &status_);
    reaper_.wait_all({daemon_ ? daemon_->pid() : 0, other_peer_});
    return action;
  }
  // What was submitted: the first line of every record's input, sorted.
  std::vector<std::string> sent() {
    std::vector<std::string> tags;
    for (const auto& r : zvtest::wait_for_records(records_.path(), 0))
      tags.push_back(r.input.substr(0, r.input.find('\n')));
    std::sort(tags.begin(), tags.end());
    return tags;
  }
  void clear_records() {
    for (const auto& n : zvtest::wait_for_record_names(records_.path(), 0)) {
      unlink((n + ".args").c_str());
      unlink((n + ".input").c_str());
    }
  }
  std::vector<zvtest::SubmitterRecord> records() {
    return zvtest::wait_for_records(records_.path(), 0);
  }
  const char* reply() const {
    return static_cast<const char*>(mail_get(mail_.get(), MAIL_REPLY_STRING));
  }
  std::string line(const std::string& tail, const char* to = "a@example.org") const {
    return "[4AbCdEf]: scan: the message(zarvik.tmp.Ab12Cd) sent by sender@example.org to " +
           std::string(to) + " " + tail;
  }
  std::vector<std::string> quarantined() const {
    std::vector<std::string> names;
    if (DIR* d = opendir(quarantine_dir_.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(quarantine_dir_ + "/" + e->d_name);
      closedir(d);
    }
    return names;
  }
  static std::vector<std::string> tags(const char* section, std::vector<std::string> roles) {
    std::vector<std::string> out;
    for (const auto& r : roles) out.push_back(std::string("X-Test: ") + section + "/" + r);
    std::sort(out.begin(), out.end());
    return out;
  }

  TempDir dir_;
  std::string spool_dir_ = dir_.file("spool");
  std::string quarantine_dir_ = dir_.file("quarantine");
  std::string signatures_;
  std::vector<std::string> templates_;
  std::unique_ptr<zvtest::Peer> daemon_;
  zvtest::SubmitterReaper reaper_;
  std::string path_;
  MailInfoPtr mail_;
  ScanningConfig scanning_{};
  ActionsConfig actions_{};
  MailerConfig mailer_{};
  AgentConfig agent_{};
  uint32_t status_ = 0;
  pid_t other_peer_ = 0;  // a further stand-in peer of the test, if any
};

const std::vector<std::string> kAllRoles = {"admin", "rcpts", "sender"};

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
  actions_.infected = ACTION_QUARANTINE;
  actions_.quarantine.directory = quarantine_dir_.data();
  make_message("KNOWN-SIG\r\n", "", "<>");
  CaptureLog log(ZV_LOG_VERBOSE);
  EXPECT_EQ(scan(), ACTION_DISCARD);
  EXPECT_EQ(quarantined().size(), 1u);
  EXPECT_EQ(sent(), tags("virus", {"admin", "rcpts"}));
  EXPECT_TRUE(
      log.has("[4AbCdEf]: set action to discard for the message(zarvik.tmp.Ab12Cd) "
              "sent by <> to a@example.org - because address <> is not notificable for "
              "sender"));
  EXPECT_TRUE(
      log.has("[4AbCdEf]: notify(sender): about the message(zarvik.tmp.Ab12Cd) sent by "
              "<> to a@example.org was blocked to send to <>"));

  // "EmptyFrom" other than "continue" decides before any scan.
  actions_.empty_from = ACTION_REJECT;
  make_message("KNOWN-SIG\r\n", "", "<>");
  log.clear();
  EXPECT_EQ(scan(), ACTION_REJECT);
  EXPECT_EQ(status_, kScanFailedStatus);
  EXPECT_EQ(mail_result(mail_.get()), nullptr);
  EXPECT_TRUE(
      log.has("[4AbCdEf]: scan: the message(zarvik.tmp.Ab12Cd) sent by <> to "
              "a@example.org contains empty from <> that is not allowed"));
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
