// The scan decision's test fixture: the stand-in daemon zvscand with signatures for every
// finding kind, real spool files, templates that name their section and role, and the
// recording submitter, whose records are read once every submitter has ended.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "tools/zvscand_signatures.h"
#include "tools/zvtool_peer.h"
#include "zv_mail.h"
#include "zv_mailscan.h"
#include "zv_options.h"
#include "zvc_lib.h"

namespace zvtest {

// Signatures of the stand-in daemon for every finding kind, an incurable virus, a header
// rule and three status findings (archive restriction, skipped object, read error).
inline const std::string kSignatures = std::string(zvtest::kFindingKindSignatures) +
                                       "H:Test-Hacktool:\"HACK-SIG\"\n"
                                       "K:Test-Incurable:\"INCUR-SIG\":incurable\n"
                                       "rule:Test-Rule:\"X-Rule-Trigger\"\n"
                                       "status=0x2000:Test-TooBig:\"BIG-SIG\"\n"
                                       "status=0x1000:Test-Skip:\"SKIP-SIG\"\n"
                                       "status=0x1:Test-ReadError:\"ERR-SIG\"\n";

inline const char* const kSections[] = {"virus", "malware", "skip", "archive",
                                        "error", "rule",    "cured"};
inline const char* const kRoles[] = {"sender", "rcpts", "admin"};

inline NotificationConfig FilterConfig::*section_member(const std::string& name) {
  if (name == "virus") return &FilterConfig::virus_notify;
  if (name == "malware") return &FilterConfig::malware_notify;
  if (name == "skip") return &FilterConfig::skip_notify;
  if (name == "archive") return &FilterConfig::archive_notify;
  if (name == "error") return &FilterConfig::error_notify;
  if (name == "rule") return &FilterConfig::rule_filter_notify;
  return &FilterConfig::cured_notify;
}

// One MIME part of a test message.
inline std::string part(const std::string& content) {
  return "--b1\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}

class Decision : public RecordingSubmitterTest {
 protected:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    signal(SIGPIPE, SIG_IGN);
    ASSERT_EQ(mkdir(spool_dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(quarantine_dir_.c_str(), 0700), 0);
    mailer_.sendmail = const_cast<char*>(kRecordingSubmitter.c_str());
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

inline const std::vector<std::string> kAllRoles = {"admin", "rcpts", "sender"};

}  // namespace zvtest
