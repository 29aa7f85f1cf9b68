// Notifications: every macro of a sample template, the macros whose condition does not
// hold, the charset rule and the 127-byte pieces, the hash line, each refusal of notify()
// with nothing started, and texts from the received message kept on one line.
#include "zv_notify.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "zv_addresses.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_viruses.h"
#include "zvc_result.h"
#include "zvc_strings.h"

namespace {

using ::testing::MatchesRegex;
using zvtest::CaptureLog;
using zvtest::TempDir;

const std::string& kSubmitter = zvtest::kRecordingSubmitter;
constexpr char kHash[] = "0123456789abcdef0123456789abcdef";

std::string text_of(char* text) {
  std::string out = text ? text : "<null>";
  free(text);
  return out;
}

void add_names(ScanResult* result, int kind, const std::vector<const char*>& names) {
  StringListPtr list(strings::create(0));
  for (const char* n : names) ASSERT_EQ(strings::add(list.get(), n), 1);
  result->viruses.lists[static_cast<size_t>(kind)] = std::move(list);
}

// Members are public: the table rows of the refusal test set them up.
class Notify : public zvtest::RecordingSubmitterTest {
 public:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    mailer_.sendmail = const_cast<char*>(kSubmitter.c_str());
    actions_.admin_mail = const_cast<char*>("<postmaster@example.org>");
    actions_.filter_mail = const_cast<char*>("<zarvik@mx.example.org>");
    path_ = dir_.write("zarvik.tmp.Ab12Cd", received_ + headers_ + "\r\nbody\r\n");
    mail_.reset(mail_create(path_.c_str()));
    ASSERT_NE(mail_, nullptr);
    MailEnvelope* e = mail_envelope(mail_.get());
    ASSERT_EQ(e_set_from(e, "<sender@example.org>"), 1);
    ASSERT_EQ(e_add_rcpt(e, "<a@example.org>"), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_MESSAGE_ID, "4AbCdEf"), 1);
    int offset = static_cast<int>(received_.size());
    int length = static_cast<int>(headers_.size() + 2);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_OFFSET, &offset), 1);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_LENGTH, &length), 1);
    section_.sender_notify = section_.rcpts_notify = section_.admin_notify = 1;
    section_.sender_template = sender_tpl_.data();
    section_.rcpts_template = rcpts_tpl_.data();
    section_.admin_template = admin_tpl_.data();
  }
  void TearDown() override {
    filter_config()->notification_options = {};
    RecordingSubmitterTest::TearDown();
  }
  void attach_result() {
    ScanResult* r = scanresult_new();
    ASSERT_NE(r, nullptr);
    r->status = kStatusKnownVirus | kStatusAdware;
    ASSERT_EQ(scanresult_set_report(r, "zarvik.tmp.Ab12Cd infected\n"), 1);
    add_names(r, kVirusKnown, {"V-One", "V-Two"});
    add_names(r, kVirusAdware, {"A-One"});
    r->statistics.known = 2;
    r->statistics.adware = 1;
    r->rule = "R-Headers";
    ASSERT_EQ(mail_set_result(mail_.get(), r), 1);
  }
  void addresses(const std::string& content) {
    addresses_.reset(maddr_load(dir_.write("addresses", "[version=1]\n" + content).c_str(), 1));
    ASSERT_NE(addresses_, nullptr);
    actions_.unnotified_addresses = addresses_.get();
  }
  std::string expand(const std::string& tpl, const char* quarantine = nullptr) {
    return text_of(report(mail_.get(), dir_.write("t.tpl", tpl).c_str(), quarantine, &actions_));
  }

  TempDir dir_;
  std::string received_ = "Return-Path: <sender@example.org>\r\nReceived: from client\r\n";
  std::string headers_ = "From: sender@example.org\r\nSubject: offer\r\n";
  std::string path_;
  std::string sender_tpl_ = dir_.write("sender.tpl", "X-Role: sender\n\n$MSGID$\n");
  std::string rcpts_tpl_ = dir_.write("rcpts.tpl", "X-Role: rcpts\n\n$MSGID$\n");
  std::string admin_tpl_ = dir_.write("admin.tpl", "X-Role: admin\n\n$MSGID$\n");
  MailInfoPtr mail_;
  NotificationConfig section_{};
  ActionsConfig actions_{};
  MailerConfig mailer_{};
  AddressesListPtr addresses_;
};

TEST_F(Notify, EveryMacroIsExpanded) {
  attach_result();
  ASSERT_EQ(e_add_rcpt(mail_envelope(mail_.get()), "<b@example.org>"), 1);
  ASSERT_EQ(mail_set(mail_.get(), MAIL_SUBJECT, "=?utf-8?Q?caf=C3=A9_menu?="), 1);
  // The quarantined copy is where the headers are read from.
  std::string quarantine = dir_.write(
      "q.4711", received_ + "From: keeper@example.org\r\nSubject: kept!\r\n\r\nbody\r\n");
  const std::string tpl =
      "Content-Type: text/plain; charset=utf-8\n"
      "From: $FILTER_MAIL$\nTo: $POSTMASTER$\nSubject: [$MSGID$] $SUBJECT$\n\n"
      "sender $SENDER$, rcpts $RCPTS$, secure $SECURE_RCPTS$, rule $RULE_NAME$\n"
      "report:\n$DAEMON_REPORT$"
      "list:\n$VIRUS_LIST$"
      "stat:\n$SCAN_STAT$"
      "archive $ARCHIVE_RECORD$\n"
      "headers:\n$FULLHEADERS$"
      "old:\n$REPORT$"
      "price 5$ and $UNKNOWN$ end\n";
  const std::string list =
      "Known virus(es):\nV-One\nV-Two\nAdvertising software (adware):\nA-One\n";
  const std::string stats = *stat_report(scanresult_stats(mail_result(mail_.get())));
  ASSERT_FALSE(stats.empty());
  CaptureLog log(ZV_LOG_DEBUG);
  EXPECT_EQ(expand(tpl, quarantine.c_str()),
            "Content-Type: text/plain; charset=utf-8\n"
            "From: <zarvik@mx.example.org>\nTo: <postmaster@example.org>\n"
            "Subject: [4AbCdEf] caf\xC3\xA9 menu\n\n"
            "sender sender@example.org, rcpts a@example.org, b@example.org, secure "
            "\"Recipients of original message\" <#@[]>, rule R-Headers\n"
            "report:\nzarvik.tmp.Ab12Cd infected\n"
            "list:\n" +
                list + "stat:\n" + stats +
                "archive q.4711\n"
                "headers:\nFrom: keeper@example.org\r\nSubject: kept!\r\n\r\n"
                "old:\n= Zarvik detailed report:\nzarvik.tmp.Ab12Cd infected\n\n"
                "= Following virus(es)/malware has been found:\n" +
                list + "= Scanning statistic:\n" + stats + "price 5$ and $UNKNOWN$ end\n");
  EXPECT_TRUE(
      log.has("report: NOTE: obsolete macros $REPORT$ used, please use $DAEMON_REPORT$, "
              "$VIRUS_LIST$ and $SCAN_STAT$ instead"));
  EXPECT_TRUE(log.has("mail: create report: headers off=" + std::to_string(received_.size()) +
                      " len=" + std::to_string(headers_.size() + 2)));
}

TEST_F(Notify, MacrosWhoseConditionFailsAreCopied) {
  const std::string tpl =
      "$REPORT$|$DAEMON_REPORT$|$VIRUS_LIST$|$SCAN_STAT$|$RULE_NAME$|$POSTMASTER$|\n"
      "$FILTER_MAIL$|$SECURE_RCPTS$|$SUBJECT$|$MSGID$|$ARCHIVE_RECORD$|$FULLHEADERS$";
  ASSERT_EQ(mail_set(mail_.get(), MAIL_MESSAGE_ID, "x"), 1);
  mail_->message_id.reset();
  int zero = 0;
  ASSERT_EQ(mail_set(mail_.get(), MAIL_HEADERS_LENGTH, &zero), 1);
  actions_.admin_mail = nullptr;
  actions_.filter_mail = nullptr;
  EXPECT_EQ(expand(tpl),
            "$REPORT$|$DAEMON_REPORT$|$VIRUS_LIST$|$SCAN_STAT$|$RULE_NAME$|$POSTMASTER$|\n"
            "$FILTER_MAIL$|a@example.org|[unknown-subject]|[unknown-id]|file was not created|"
            "No headers present in original mail\n");
  // A result without lists, statistics or rule: the report macros still expand.
  ScanResult* r = scanresult_new();
  ASSERT_NE(r, nullptr);
  ASSERT_EQ(mail_set_result(mail_.get(), r), 1);
  EXPECT_EQ(expand("[$DAEMON_REPORT$][$VIRUS_LIST$][$SCAN_STAT$][$RULE_NAME$]"),
            std::string("[") + scanresult_report(r) + "][$VIRUS_LIST$][][$RULE_NAME$]");
}

// The template is read in pieces of at most 127 bytes: a macro cut by a piece boundary is
// not recognised, one that starts a piece is. A piece that declares a charset sets the
// charset of "$SUBJECT$" and stays in the output.
TEST_F(Notify, PiecesAndCharset) {
  const std::string a125(125, 'a');
  const std::string a127(127, 'a');
  EXPECT_EQ(expand(a125 + "$MSGID$\n"), a125 + "$MSGID$\n");
  EXPECT_EQ(expand(a127 + "$MSGID$\n"), a127 + "4AbCdEf\n");

  // "Привет" in KOI8-R, base64.
  ASSERT_EQ(mail_set(mail_.get(), MAIL_SUBJECT, "=?KOI8-R?B?8NLJ18XU?= now"), 1);
  struct Row {
    const char* name;
    std::string declaration;
    std::string subject;
  };
  const Row rows[] = {
      {"koi8-r", "Content-Type: text/plain; charset=koi8-r\n", "\xF0\xD2\xC9\xD7\xC5\xD4 now"},
      {"none: us-ascii", "Content-Type: text/plain\n", "=?KOI8-R?B?8NLJ18XU?= now"},
      {"another", "Content-Type: text/plain; charset=utf-8  \n", "=?KOI8-R?B?8NLJ18XU?= now"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(expand(row.declaration + "Subject: $SUBJECT$\n"),
              row.declaration + "Subject: " + row.subject + "\n");
  }
}

TEST_F(Notify, HashLineFirstWithFastNotify) {
  const std::string tpl = "Subject: plain\n\nno macros at all\n";
  EXPECT_EQ(expand(tpl), tpl);
  filter_config()->notification_options.fast_notify = 1;
  std::strcpy(filter_config()->notification_options.secure_hash, kHash);
  EXPECT_EQ(expand(tpl), std::string("X-zarvik-hash: ") + kHash + "\n" + tpl);
}

TEST_F(Notify, ReportFailures) {
  CaptureLog log(ZV_LOG_ERRORS);
  EXPECT_EQ(report(mail_.get(), dir_.file("missing.tpl").c_str(), nullptr, &actions_), nullptr);
  EXPECT_TRUE(log.has("report: cannot open template " + dir_.file("missing.tpl") +
                      " - No such file or directory"));
  EXPECT_EQ(report(nullptr, admin_tpl_.c_str(), nullptr, nullptr), nullptr);
  EXPECT_TRUE(log.has("report: null input parameter (1:0:1)"));
  // Headers that cannot be read end the report.
  ASSERT_EQ(unlink(path_.c_str()), 0);
  log.clear();
  EXPECT_EQ(report(mail_.get(), dir_.write("h.tpl", "$FULLHEADERS$").c_str(), nullptr, &actions_),
            nullptr);
  EXPECT_TRUE(log.has("report: cannot read headers to report"));
}

// Text that the sender of the received message chose never adds a header line to the
// notification: a decoded CR LF, a bare line end in the raw subject or in an address
// becomes a blank, and header folding is undone.
TEST_F(Notify, TextsFromTheMessageStayOnOneLine) {
  const std::string type = "Content-Type: text/plain; charset=utf-8\n";
  const std::string tpl =
      type + "Subject: about $SUBJECT$\nX-From: $SENDER$\nTo: $RCPTS$\n\nbody\n";
  struct Row {
    const char* name;
    const char* subject;
    std::string expanded;
  };
  const Row rows[] = {
      {"encoded CR LF",
       "=?utf-8?B?aGkNCkJjYzogdmljdGltQGV4YW1wbGUub3Jn?=", "hi  Bcc: victim@example.org"},
      {"raw line feed", "hi\nBcc: victim@example.org", "hi Bcc: victim@example.org"},
      {"raw CR LF, then an empty line", "hi\r\n\r\nbody text", "hi    body text"},
      {"folding", "long\r\n subject\n\ttoo", "long subject\ttoo"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_EQ(mail_set(mail_.get(), MAIL_SUBJECT, row.subject), 1);
    std::string out = expand(tpl);
    EXPECT_EQ(out, type + "Subject: about " + row.expanded +
                       "\nX-From: sender@example.org\nTo: a@example.org\n\nbody\n");
  }
  // Addresses as well.
  mail_envelope(mail_.get())->from = "evil@example.org\r\nBcc: x@example.org";
  EXPECT_EQ(expand("From: $SENDER$\n"), "From: evil@example.org  Bcc: x@example.org\n");

  // Sent through notify(): the submitted mail has the template's header lines only.
  ASSERT_EQ(mail_set(mail_.get(), MAIL_SUBJECT, rows[0].subject), 1);
  mail_envelope(mail_.get())->from = "sender@example.org";
  dir_.write("admin.tpl", tpl);
  notify(mail_.get(), NOTIFY_ADMIN, nullptr, nullptr, &section_, &actions_, &mailer_);
  auto got = zvtest::wait_for_records(records_.path(), 1);
  ASSERT_EQ(got.size(), 1u);
  std::string head = got[0].input.substr(0, got[0].input.find("\n\n") + 1);
  EXPECT_EQ(head, type +
                      "Subject: about hi  Bcc: victim@example.org\nX-From: sender@example.org\n"
                      "To: a@example.org\n");
}

TEST_F(Notify, EachRoleGoesToItsRecipients) {
  ASSERT_EQ(e_add_rcpt(mail_envelope(mail_.get()), "<b@example.org>"), 1);
  zvtest::StartedProcesses started;
  for (int role : {NOTIFY_ADMIN, NOTIFY_RCPTS, NOTIFY_SENDER})
    notify(mail_.get(), role, nullptr, nullptr, &section_, &actions_, &mailer_);
  EXPECT_EQ(started.wait_all(), 3);
  std::vector<std::string> got;
  for (const auto& r : zvtest::wait_for_records(records_.path(), 3)) {
    EXPECT_NE(r.args.find("[-fzarvik@mx.example.org]\n[--]\n"), std::string::npos);
    got.push_back(r.input.substr(0, r.input.find('\n')) + " " +
                  r.args.substr(r.args.find("[--]\n") + 5));
  }
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::string>{
                     "X-Role: admin [postmaster@example.org]\n",
                     "X-Role: rcpts [a@example.org]\n[b@example.org]\n",
                     "X-Role: sender [sender@example.org]\n",
                 }));
}

// Every refusal is logged and starts no submitter; the recipients are filtered one by one.
TEST_F(Notify, RefusalsAreLoggedAndSendNothing) {
  const std::string who = "about the message(zarvik.tmp.Ab12Cd) sent by sender@example.org to ";
  struct Row {
    const char* name;
    int role;
    std::function<void(Notify&)> set;
    std::string line;
    int sent;
  };
  const Row rows[] = {
      {"switched off", NOTIFY_RCPTS, [](Notify& t) { t.section_.rcpts_notify = 0; },
       "[4AbCdEf]: notify(rcpts): " + who + "a@example.org is blocked by configuration", 0},
      {"notification about a notification", NOTIFY_ADMIN,
       [](Notify& t) {
         MailEnvelope* e = e_create("<zarvik@mx.example.org>");
         ASSERT_EQ(e_add_rcpt(e, "postmaster@example.org"), 1);
         ASSERT_EQ(mail_set_envelope(t.mail_.get(), e), 1);
       },
       "[4AbCdEf]: notify(admin): about the message(zarvik.tmp.Ab12Cd) sent by "
       "zarvik@mx.example.org to postmaster@example.org is blocked because it looks like a "
       "notification on a notification to admin",
       0},
      {"empty sender", NOTIFY_SENDER,
       [](Notify& t) { ASSERT_EQ(e_set_from(mail_envelope(t.mail_.get()), "<>"), 1); },
       "[4AbCdEf]: notify(sender): about the message(zarvik.tmp.Ab12Cd) sent by <> to "
       "a@example.org was blocked to send to <>",
       0},
      {"empty text as sender", NOTIFY_SENDER,
       [](Notify& t) { ASSERT_EQ(e_set_from(mail_envelope(t.mail_.get()), ""), 1); },
       "[4AbCdEf]: notify(sender): about the message(zarvik.tmp.Ab12Cd) sent by  to "
       "a@example.org was blocked to send to <>",
       0},
      {"sender not notified", NOTIFY_SENDER, [](Notify& t) { t.addresses("from sender@\n"); },
       "[4AbCdEf]: notify(sender): " + who +
           "a@example.org was blocked because contains non-notificable sender=sender@example.org",
       0},
      {"only non-notified recipients", NOTIFY_RCPTS, [](Notify& t) { t.addresses("to a@\n"); },
       "[4AbCdEf]: notify(rcpts): " + who +
           "a@example.org was blocked because contains only non-notificable recipients",
       0},
      {"one recipient skipped", NOTIFY_RCPTS,
       [](Notify& t) {
         ASSERT_EQ(e_add_rcpt(mail_envelope(t.mail_.get()), "<b@example.org>"), 1);
         t.addresses("to b@\n");
       },
       "[4AbCdEf]: notify(rcpts): " + who + "rcpts skip non-notificable rcpt=b@example.org", 1},
      {"no role", 7, [](Notify&) {},
       "[4AbCdEf]: notify(ERROR): " + who + "a@example.org was failed to fill envelope", 0},
      {"no template", NOTIFY_SENDER, [](Notify& t) { t.section_.sender_template = nullptr; },
       "[4AbCdEf]: notify(sender): " + who + "a@example.org was failed to generate report", 0},
      {"no filter address", NOTIFY_ADMIN, [](Notify& t) { t.actions_.filter_mail = nullptr; },
       "[4AbCdEf]: notify(admin): " + who + "a@example.org was failed to create envelope", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    SetUp();
    row.set(*this);
    zvtest::StartedProcesses started;
    CaptureLog log(ZV_LOG_VERBOSE);
    notify(mail_.get(), row.role, nullptr, nullptr, &section_, &actions_, &mailer_);
    EXPECT_EQ(started.wait_all(), row.sent);
    EXPECT_TRUE(log.has(row.line)) << ::testing::PrintToString(log.texts());
    if (row.sent) {
      auto got = zvtest::wait_for_records(records_.path(), 1);
      ASSERT_EQ(got.size(), 1u);
      EXPECT_EQ(got[0].args.substr(got[0].args.find("[--]\n")), "[--]\n[a@example.org]\n");
    }
    addresses_.reset();
    actions_.unnotified_addresses = nullptr;
    TearDown();
  }
}

// The non-notified viruses list refuses a role by the first listed virus name.
TEST_F(Notify, NonNotifiedVirusesRefuseTheirRoles) {
  VirusesListPtr list(
      viruses_load(dir_.write("viruses", "[version=2]\nallow deny allow allow Worm\n").c_str(), 1));
  ASSERT_NE(list, nullptr);
  actions_.unnotified_viruses = list.get();
  StringListPtr names(strings::create(0));
  ASSERT_EQ(strings::add(names.get(), "Other"), 1);
  ASSERT_EQ(strings::add(names.get(), "Net-Worm"), 1);
  zvtest::StartedProcesses started;
  CaptureLog log(ZV_LOG_INFO);
  for (int role : {NOTIFY_ADMIN, NOTIFY_RCPTS, NOTIFY_SENDER})
    notify(mail_.get(), role, nullptr, names.get(), &section_, &actions_, &mailer_);
  EXPECT_EQ(started.wait_all(), 2);
  EXPECT_EQ(log.texts(), std::vector<std::string>{
                             "[4AbCdEf]: notify(sender): about the message(zarvik.tmp.Ab12Cd) "
                             "sent by sender@example.org to a@example.org is blocked because "
                             "contains non-notificable viruses"});
}

TEST_F(Notify, BadParameters) {
  CaptureLog log(ZV_LOG_ERRORS);
  notify(mail_.get(), NOTIFY_ADMIN, nullptr, nullptr, nullptr, &actions_, nullptr);
  ASSERT_EQ(log.texts().size(), 1u);
  EXPECT_THAT(log.texts()[0], MatchesRegex("notify: bad parameters \\(0\\.1\\.0\\.1\\) were passed "
                                           "\\(zv_notify:[0-9]+\\)"));
}

}  // namespace
