// Mail submission against a recording stand-in submitter: the exact command line, the
// message from a file offset or a text, refused calls that start nothing, a submitter
// that cannot run, a submitter that stops reading, and many concurrent submissions
// leaving no process or descriptor.
#include "zv_mailsend.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"
#include "zv_dfork.h"
#include "zv_mail.h"
#include "zv_options.h"

namespace {

using ::testing::MatchesRegex;
using zvtest::CaptureLog;
using zvtest::TempDir;

const std::string& kSubmitter = zvtest::kRecordingSubmitter;
using zvtest::wait_for_records;

std::string lines(const std::vector<std::string>& args) {
  std::string out;
  for (const auto& a : args) out += "[" + a + "]\n";
  return out;
}

MailEnvelopePtr envelope(const char* from, const std::vector<const char*>& rcpts) {
  MailEnvelopePtr e(e_create(from));
  for (const char* r : rcpts) EXPECT_EQ(e_add_rcpt(e.get(), r), 1);
  return e;
}

class Mailsend : public zvtest::RecordingSubmitterTest {
 protected:
  void SetUp() override {
    RecordingSubmitterTest::SetUp();
    mailer_.sendmail = const_cast<char*>(kSubmitter.c_str());
  }
  MailerConfig mailer_{};
};

TEST_F(Mailsend, CommandLineAndTextExactly) {
  std::string args_text = "-oi -odq";
  struct Case {
    const char* label;
    const char* from;
    std::vector<const char*> rcpts;
    const char* sendmail_args;
    std::vector<std::string> expected;
  } cases[] = {
      {"three recipients",
       "<sender@example.org>",
       {"<a@example.org>", "b@example.org", "\"C\" <c@example.org>"},
       nullptr,
       {kSubmitter, "-i", "-bm", "-fsender@example.org", "--", "a@example.org", "b@example.org",
        "c@example.org"}},
      {"arguments with blanks stay one",
       "sender@example.org",
       {"a@example.org"},
       args_text.c_str(),
       {kSubmitter, "-oi -odq", "-i", "-bm", "-fsender@example.org", "--", "a@example.org"}},
      {"empty sender",
       "<>",
       {"a@example.org"},
       nullptr,
       {kSubmitter, "-i", "-bm", "-f<>", "--", "a@example.org"}},
      // An empty MAIL argument is the null sender too: "-f" alone would take the next
      // argument as its value and leave the recipients to be read as options.
      {"empty text as sender, recipients that look like options",
       "",
       {"-bv", "<-X/tmp/zv-written-by-sendmail>", "a@example.org"},
       nullptr,
       {kSubmitter, "-i", "-bm", "-f<>", "--", "-bv", "-X/tmp/zv-written-by-sendmail",
        "a@example.org"}},
      {"sender that looks like an option stays the value of -f",
       "<-bv>",
       {"a@example.org"},
       nullptr,
       {kSubmitter, "-i", "-bm", "-f-bv", "--", "a@example.org"}},
  };
  const std::string text = "Subject: test\r\n\r\nbody line\r\n";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir records;
    setenv("ZV_RECORD_DIR", records.path().c_str(), 1);
    mailer_.sendmail_args = const_cast<char*>(c.sendmail_args);
    CaptureLog log;
    auto e = envelope(c.from, c.rcpts);
    EXPECT_EQ(mailsend(e.get(), nullptr, 0, text.data(), text.size(), &mailer_), 1);
    auto got = wait_for_records(records.path(), 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].args, lines(c.expected));
    EXPECT_EQ(got[0].input, text);
    EXPECT_EQ(log.has("mailsend: add arguments = -oi -odq"), c.sendmail_args != nullptr);
  }
}

TEST_F(Mailsend, FileFromItsOffset) {
  TempDir dir;
  std::string received = "Return-Path: <s@example.org>\r\nReceived: from x\r\n";
  std::string message = "Subject: hi\r\n\r\n" + std::string(70000, 'b') + "\r\n";
  std::string path = dir.write("spool.1", received + message);
  CaptureLog log;
  auto e = envelope("s@example.org", {"r@example.org"});
  EXPECT_EQ(
      mailsend(e.get(), path.c_str(), static_cast<off_t>(received.size()), nullptr, 0, &mailer_),
      1);
  auto got = wait_for_records(records_.path(), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].input == message) << got[0].input.size() << " bytes";
}

TEST_F(Mailsend, RefusedCallsStartNothing) {
  TempDir dir;
  std::string path = dir.write("spool.1", "x");
  auto good = envelope("s@example.org", {"r@example.org"});
  auto no_sender = envelope(nullptr, {"r@example.org"});
  auto no_rcpts = envelope("s@example.org", {});
  zvtest::StartedProcesses started;
  struct Case {
    const char* label;
    const MailEnvelope* e;
    const char* file;
    const char* text;
    std::string line;
  } cases[] = {
      {"no envelope", nullptr, nullptr, "t", "1.1.1.0"},
      {"no sender", no_sender.get(), nullptr, "t", "0.1.0.0"},
      {"no recipients", no_rcpts.get(), path.c_str(), nullptr, "0.0.1.0"},
      {"no content", good.get(), nullptr, nullptr, "0.0.0.1"},
      {"file and text", good.get(), path.c_str(), "t", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CaptureLog log;
    EXPECT_EQ(mailsend(c.e, c.file, 0, c.text, c.text ? 1 : 0, &mailer_), 0);
    ASSERT_EQ(log.texts().size(), 1u);
    if (c.line.empty()) {
      EXPECT_EQ(log.texts()[0], "mailsend: you cannot send file and text in one call");
    } else {
      EXPECT_THAT(log.texts()[0],
                  MatchesRegex("mailsend: send message bad parameters \\(" + c.line +
                               "\\) were passed \\(zv_mailsend:[0-9]+\\)"));
    }
  }
  // A message file that cannot be read is not submitted empty.
  CaptureLog log(ZV_LOG_DEBUG);
  EXPECT_EQ(mailsend(good.get(), dir.file("absent").c_str(), 0, nullptr, 0, &mailer_), 0);
  EXPECT_TRUE(log.has("mailsend: cannot write message from file " + dir.file("absent") +
                      " to submitter " + kSubmitter));
  EXPECT_FALSE(log.contains("starter:"));
  EXPECT_EQ(started.wait_all(), 0);
  EXPECT_TRUE(wait_for_records(records_.path(), 0).empty());
}

TEST_F(Mailsend, SubmitterThatCannotRunFailsTheWriteNotTheProcess) {
  std::string plain = records_.write("plain", "#!/bin/sh\n");  // not executable
  mailer_.sendmail = plain.data();
  // More than a pipe holds, so the write must meet the submitter's end; SIGPIPE keeps its
  // default action, which would kill the test if the write raised it unguarded.
  std::string text(1 << 20, 'x');
  CaptureLog log(ZV_LOG_VERBOSE);
  auto e = envelope("s@example.org", {"r@example.org"});
  EXPECT_EQ(mailsend(e.get(), nullptr, 0, text.data(), text.size(), &mailer_), 0);
  EXPECT_TRUE(log.has("starter: cannot execv() for " + plain + " - (13) Permission denied"));
  EXPECT_FALSE(log.contains("mailsend: cannot run submitter"));
  EXPECT_TRUE(log.has("mailsend: cannot write message to submitter " + plain));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// A submitter that takes the whole message and then fails (sendmail that cannot enter
// its queue) is logged with its exit status and the queue id the submission was given.
TEST_F(Mailsend, SubmitterFailingAfterTheMessageIsLoggedWithTheQueueId) {
  std::string failing = records_.write("submitter", "#!/bin/sh\ncat >/dev/null\nexit 75\n");
  ASSERT_EQ(chmod(failing.c_str(), 0755), 0);
  mailer_.sendmail = failing.data();
  CaptureLog log(ZV_LOG_ERRORS);
  {
    StarterWatch watch;
    zvtest::StartedProcesses started;
    auto e = envelope("s@example.org", {"r@example.org"});
    EXPECT_EQ(mailsend(e.get(), nullptr, 0, "Subject: x\r\n\r\n", 14, &mailer_, "4AbCdEf"), 1);
    started.wait_all();
  }
  ASSERT_EQ(log.texts().size(), 1u) << ::testing::PrintToString(log.texts());
  EXPECT_THAT(log.texts()[0], MatchesRegex("\\[4AbCdEf\\]: starter: submitter " + failing +
                                           "\\[[0-9]+\\] with error code 75"));
}

TEST_F(Mailsend, WithoutMailerSettingsTheMessageGoesToStandardError) {
  TempDir dir;
  std::string out = dir.file("stderr");
  int saved = fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 10);
  int file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(saved, 0);
  ASSERT_GE(file, 0);
  dup2(file, STDERR_FILENO);
  close(file);
  int result;
  {
    CaptureLog log;
    auto e = envelope("s@example.org", {"r@example.org"});
    result = mailsend(e.get(), nullptr, 0, "Subject: x\r\n\r\n", 14, nullptr);
  }
  dup2(saved, STDERR_FILENO);
  close(saved);
  EXPECT_EQ(result, 1);
  EXPECT_EQ(zvtest::read_file(out), "Subject: x\r\n\r\n");
}

TEST_F(Mailsend, ConcurrentSubmissionsLeaveNoProcessOrDescriptor) {
  constexpr int kThreads = 4;
  constexpr int kEach = 8;
  int fds_before = zvtest::open_fd_count();
  CaptureLog log(ZV_LOG_ERRORS);
  std::vector<int> ok(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto e = envelope("s@example.org", {"r@example.org"});
      for (int i = 0; i < kEach; ++i) {
        std::string text = "message " + std::to_string(t) + "-" + std::to_string(i) + "\n";
        ok[t] += mailsend(e.get(), nullptr, 0, text.data(), text.size(), &mailer_);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(ok[t], kEach) << "thread " << t;
  auto got = wait_for_records(records_.path(), kThreads * kEach);
  std::set<std::string> inputs;
  for (const auto& r : got) inputs.insert(r.input);
  std::set<std::string> expected;
  for (int t = 0; t < kThreads; ++t)
    for (int i = 0; i < kEach; ++i)
      expected.insert("message " + std::to_string(t) + "-" + std::to_string(i) + "\n");
  EXPECT_EQ(inputs, expected);
  EXPECT_TRUE(log.texts().empty());
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  EXPECT_EQ(zvtest::open_fd_count(), fds_before);
}

// A submitter that never reads its standard input (a stuck sendmail) is given the
// deadline and then killed: the call fails instead of holding the thread, and the
// process does not live on to deliver a truncated message.
TEST_F(Mailsend, SubmitterThatStopsReadingIsStoppedAtTheDeadline) {
  TempDir dir;
  std::string pidfile = dir.file("stuck.pid");
  std::string stuck = dir.write("stuck.sh", "#!/bin/sh\necho $$ > " + pidfile + ".tmp\nmv " +
                                                pidfile + ".tmp " + pidfile + "\nexec sleep 300\n");
  ASSERT_EQ(chmod(stuck.c_str(), 0755), 0);
  MailerConfig mailer{};
  mailer.sendmail = stuck.data();
  // Far more than a pipe holds, so the writer must wait for a reader.
  std::string text(4 * 1024 * 1024, 'x');
  std::string file = dir.write("message", text);
  MailEnvelopePtr e = envelope("<s@example.org>", {"<r@example.org>"});
  for (bool from_file : {false, true}) {
    SCOPED_TRACE(from_file ? "file" : "text");
    ::unlink(pidfile.c_str());
    zvtest::StartedProcesses started;
    CaptureLog log(ZV_LOG_ERRORS);
    int result = from_file ? zv_mailsend_detail::mailsend_within(e.get(), file.c_str(), 0, nullptr,
                                                                 0, &mailer, 300)
                           : zv_mailsend_detail::mailsend_within(e.get(), nullptr, 0, text.data(),
                                                                 text.size(), &mailer, 300);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"mailsend: submitter " + stuck +
                                                    " did not read the message within 300 ms - "
                                                    "submission stopped"});
    // It wrote its pid, so it was running; wait_all() fails the test unless it ended,
    // and it would have slept for five minutes.
    EXPECT_TRUE(zvtest::exists(pidfile));
    EXPECT_EQ(started.wait_all(), 1);
  }
}

// The deadline covers the whole message, not one write: a submitter that reads slowly
// but steadily gets the message when it reads it in time.
TEST_F(Mailsend, SlowButSteadyReaderGetsTheWholeMessage) {
  TempDir dir;
  std::string slow = dir.write("slow.sh", "#!/bin/sh\nsleep 0.3\nexec " + kSubmitter + " \"$@\"\n");
  ASSERT_EQ(chmod(slow.c_str(), 0755), 0);
  MailerConfig mailer{};
  mailer.sendmail = slow.data();
  std::string text(1024 * 1024, 'y');
  MailEnvelopePtr e = envelope("<s@example.org>", {"<r@example.org>"});
  EXPECT_EQ(zv_mailsend_detail::mailsend_within(e.get(), nullptr, 0, text.data(), text.size(),
                                                &mailer, 30000),
            1);
  auto got = wait_for_records(records_.path(), 1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].input, text);
}

}  // namespace
