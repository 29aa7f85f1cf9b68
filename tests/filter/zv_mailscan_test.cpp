// Redirect: the spooled message from its headers offset goes from the filter address to
// the redirect mailbox; every outcome is logged with the message's names.
#include "zv_mailscan.h"

#include <dirent.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "zv_mail.h"
#include "zv_options.h"

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

}  // namespace
