// Detached start of the submitter: the program reads the pipe as its standard input, is
// not left as our child, and its failures reach the log through the parent; starter_wait
// judges every way a process can end.
#include "zv_dfork.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/recording_submitter.h"
#include "support/zv_test_support.h"

namespace {

using ::testing::MatchesRegex;
using zvtest::CaptureLog;
using zvtest::TempDir;

const std::string& kSubmitter = zvtest::kRecordingSubmitter;

// No child of this process is left, running or zombie.
bool no_children() {
  errno = 0;
  return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

class StarterRun : public zvtest::RecordingSubmitterTest {};

TEST_F(StarterRun, ProgramReadsThePipeAndIsNotOurChild) {
  CaptureLog log;
  std::string arg = "two words";
  char* argv[] = {const_cast<char*>(kSubmitter.c_str()), arg.data(), nullptr};
  int fds[2] = {7, 7};
  pid_t pid = starter_run(kSubmitter.c_str(), argv, fds);
  ASSERT_GT(pid, 0);
  ASSERT_GE(fds[0], 0);
  EXPECT_EQ(fds[1], -1);
  EXPECT_EQ(fcntl(fds[0], F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
  ASSERT_EQ(write(fds[0], "hello\n", 6), 6);
  close(fds[0]);
  auto records = zvtest::wait_for_record_names(records_.path(), 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(zvtest::read_file(records[0] + ".args"), "[" + kSubmitter + "]\n[two words]\n");
  EXPECT_EQ(zvtest::read_file(records[0] + ".input"), "hello\n");
  EXPECT_TRUE(no_children());
  EXPECT_TRUE(log.has("starter: submitter[" + std::to_string(pid) + "] exited normally"));
}

TEST_F(StarterRun, WorksWhenStandardInputIsClosed) {
  // The pipe then gets descriptor 0 itself, which the program must keep as its input.
  int saved = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 10);
  ASSERT_GE(saved, 0);
  close(STDIN_FILENO);
  char* argv[] = {const_cast<char*>(kSubmitter.c_str()), nullptr};
  int fds[2];
  pid_t pid = starter_run(kSubmitter.c_str(), argv, fds);
  int written = pid > 0 ? static_cast<int>(write(fds[0], "via fd 0", 8)) : -1;
  if (pid > 0) close(fds[0]);
  dup2(saved, STDIN_FILENO);
  close(saved);
  ASSERT_GT(pid, 0);
  EXPECT_EQ(written, 8);
  auto records = zvtest::wait_for_record_names(records_.path(), 1);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(zvtest::read_file(records[0] + ".input"), "via fd 0");
}

TEST_F(StarterRun, ProgramThatCannotRunIsReportedButTheStartSucceeds) {
  std::string not_executable = records_.write("plain", "#!/bin/sh\nexit 0\n");
  struct Case {
    std::string path;
    std::string error;
  } cases[] = {
      {not_executable, "(13) Permission denied"},
      {records_.file("absent"), "(2) No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    CaptureLog log(ZV_LOG_VERBOSE);
    char* argv[] = {const_cast<char*>(c.path.c_str()), nullptr};
    int fds[2];
    pid_t pid = starter_run(c.path.c_str(), argv, fds);
    EXPECT_GT(pid, 0);
    if (pid > 0) close(fds[0]);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"starter: cannot execv() for " + c.path + " - " + c.error});
    EXPECT_TRUE(no_children());
  }
}

TEST_F(StarterRun, BadArguments) {
  CaptureLog log;
  char* argv[] = {nullptr};
  int fds[2] = {5, 5};
  EXPECT_EQ(starter_run(nullptr, argv, fds), -1);
  EXPECT_EQ(fds[0], -1);
  EXPECT_EQ(fds[1], -1);
  EXPECT_EQ(starter_run("/bin/true", nullptr, fds), -1);
  ASSERT_EQ(log.texts().size(), 2u);
  EXPECT_THAT(
      log.texts()[0],
      MatchesRegex("starter: bad parameters \\(1\\.0\\) were passed \\(zv_dfork:[0-9]+\\)"));
  EXPECT_THAT(
      log.texts()[1],
      MatchesRegex("starter: bad parameters \\(0\\.1\\) were passed \\(zv_dfork:[0-9]+\\)"));
}

// With the watch running, a submitter that fails after it was started is logged with its
// end and the message it belonged to; one that succeeds is not. The watchers leave no
// process and the watch no descriptor behind.
TEST_F(StarterRun, WatchLogsEachFailedSubmitterWithItsQueueId) {
  struct Case {
    const char* label;
    std::string script;
    std::string line;  // regex of the one line logged, empty: none
  } cases[] = {
      {"exit 0", "cat >/dev/null\nexit 0\n", ""},
      {"exit 75", "cat >/dev/null\nexit 75\n",
       "\\[4AbCdEf\\]: starter: submitter .*/submitter\\[[0-9]+\\] with error code 75"},
      {"killed", "cat >/dev/null\nkill -9 $$\n",
       "\\[4AbCdEf\\]: starter: submitter .*/submitter\\[[0-9]+\\] exited on signal 9"},
  };
  const int fds_before = zvtest::open_fd_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    std::string path = dir.write("submitter", "#!/bin/sh\n" + c.script);
    ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    CaptureLog log(ZV_LOG_ERRORS);
    {
      StarterWatch watch;
      ASSERT_TRUE(watch.running());
      zvtest::StartedProcesses started;
      char* argv[] = {path.data(), nullptr};
      int fds[2];
      pid_t program = 0;
      ASSERT_GT(starter_run(path.c_str(), argv, fds, &program, "4AbCdEf"), 0);
      EXPECT_GT(program, 0);
      ASSERT_EQ(write(fds[0], "message\n", 8), 8);
      close(fds[0]);
      // The watcher reports before it ends, and the watch logs every report before it stops.
      EXPECT_EQ(started.wait_all(), 1);  // the watcher; it reaps the submitter itself
    }
    if (c.line.empty()) {
      EXPECT_TRUE(log.texts().empty()) << ::testing::PrintToString(log.texts());
    } else {
      ASSERT_EQ(log.texts().size(), 1u) << ::testing::PrintToString(log.texts());
      EXPECT_THAT(log.texts()[0], MatchesRegex(c.line));
    }
    EXPECT_TRUE(no_children());
  }
  EXPECT_EQ(zvtest::open_fd_count(), fds_before);
}

// The watcher outlives the start for as long as the submitter runs: it must not keep the
// descriptors of the filter (other sessions' sockets, spool files) open all that time.
TEST_F(StarterRun, WatcherHoldsNoDescriptorOfTheFilter) {
  StarterWatch watch;
  ASSERT_TRUE(watch.running());
  int probe[2];
  ASSERT_EQ(pipe2(probe, O_CLOEXEC), 0);
  char* argv[] = {const_cast<char*>(kSubmitter.c_str()), nullptr};
  int fds[2];
  pid_t pid = starter_run(kSubmitter.c_str(), argv, fds);
  close(probe[1]);
  ASSERT_GT(pid, 0);
  // The submitter still waits for its input, so its watcher is alive; only a copy of
  // probe[1] held by the watcher would keep the probe from ending now.
  struct pollfd p {
    probe[0], POLLIN, 0
  };
  EXPECT_EQ(poll(&p, 1, 0), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  close(probe[0]);
  close(fds[0]);
  EXPECT_EQ(zvtest::wait_for_record_names(records_.path(), 1).size(), 1u);
}

TEST(StarterWait, JudgesEachEnd) {
  struct Case {
    const char* label;
    int how;  // exit code, or -signal
    int expected;
    std::vector<std::string> lines;  // "%d" stands for the pid
  } cases[] = {
      {"exit 0", 0, 0, {"starter: child[%d] exited normally"}},
      {"exit 3", 3, -1, {"starter: child[%d] with error code 3"}},
      {"killed",
       -SIGKILL,
       -1,
       {"starter: child[%d] exited on signal 9",
        "starter: child[%d] terminates abnormally with status 0"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    pid_t pid = fork();
    if (pid == 0) {
      if (c.how < 0) raise(-c.how);
      _exit(c.how);
    }
    ASSERT_GT(pid, 0);
    CaptureLog log;
    EXPECT_EQ(starter_wait(pid, 1, "child"), c.expected);
    std::vector<std::string> expected;
    for (std::string line : c.lines) {
      line.replace(line.find("%d"), 2, std::to_string(pid));
      expected.push_back(line);
    }
    EXPECT_EQ(log.texts(), expected);
  }
}

TEST(StarterWait, RunningUnknownAndUnnamedProcesses) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  pid_t pid = fork();
  if (pid == 0) {
    close(p[1]);
    char c;
    (void)!read(p[0], &c, 1);  // runs until the parent closes its end
    _exit(0);
  }
  ASSERT_GT(pid, 0);
  close(p[0]);
  CaptureLog log;
  EXPECT_EQ(starter_wait(pid, 0, "child"), -1);  // not ended yet
  close(p[1]);
  EXPECT_EQ(starter_wait(pid, 1, "child"), 0);
  log.clear();
  EXPECT_EQ(starter_wait(pid, 1, "child"), -1);  // already reaped: not our child any more
  EXPECT_TRUE(
      log.has("starter: wait for child[" + std::to_string(pid) + "] failed - No child processes"));
  log.clear();
  EXPECT_EQ(starter_wait(pid, 1, nullptr), -1);
  ASSERT_EQ(log.texts().size(), 1u);
  EXPECT_THAT(log.texts()[0],
              MatchesRegex("starter: wait  \\(zv_dfork:[0-9]+\\) bad parameter was passed"));
}

}  // namespace
