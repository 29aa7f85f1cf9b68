// The recording stand-in mail submitter of the library tests.
//
// tests/support/record_submitter.sh records its arguments and its standard input in
// the directory named by ZV_RECORD_DIR, as "msg.<pid>.args" and "msg.<pid>.input"; a
// record appears under those names only once both are complete. RecordingSubmitterTest
// points the submitter at a fresh directory for each test.
#pragma once

#include <dirent.h>
#include <errno.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/zv_test_support.h"

namespace zvtest {

inline const std::string kRecordingSubmitter = ZV_SOURCE_DIR "/tests/support/record_submitter.sh";

// One call of the submitter.
struct SubmitterRecord {
  std::string args;   // one "[arg]" line per argument, the program first
  std::string input;  // what the submitter read from its standard input
};

// Base names ("<dir>/msg.<pid>") of the complete records in `dir`, waiting up to a
// minute for `count` of them: the submitter runs detached, so only its output tells
// that it has finished.
inline std::vector<std::string> wait_for_record_names(const std::string& dir, size_t count) {
  std::vector<std::string> found;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (;;) {
    found.clear();
    if (DIR* d = opendir(dir.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.rfind("msg.", 0) == 0 && n.substr(n.size() - 5) == ".args") {
          found.push_back(dir + "/" + n.substr(0, n.size() - 5));
        }
      }
      closedir(d);
    }
    if (found.size() >= count || std::chrono::steady_clock::now() > deadline) return found;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// The same records with their contents.
inline std::vector<SubmitterRecord> wait_for_records(const std::string& dir, size_t count) {
  std::vector<SubmitterRecord> found;
  for (const std::string& base : wait_for_record_names(dir, count))
    found.push_back({read_file(base + ".args"), read_file(base + ".input")});
  return found;
}

// Counts the processes started while it lives, including a submitter detached by a
// double fork: this process becomes the child subreaper, so such a submitter is re-parented
// to it rather than to init. wait_all() waits for every one of them to end, so a record
// written by a wrongly started submitter is on disk once it returns. The test must have no
// child process of its own while a watch lives.
class StartedProcesses {
 public:
  StartedProcesses() {
    errno = 0;
    if (waitpid(-1, nullptr, WNOHANG) != -1 || errno != ECHILD)
      ADD_FAILURE() << "the test already has child processes";
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) ADD_FAILURE() << "cannot become a subreaper";
  }
  ~StartedProcesses() {
    if (!waited_) wait_all();
    prctl(PR_SET_CHILD_SUBREAPER, 0);
  }
  StartedProcesses(const StartedProcesses&) = delete;
  StartedProcesses& operator=(const StartedProcesses&) = delete;

  // Waits (up to a minute) for every process started since construction to end; how many
  // there were.
  int wait_all() {
    waited_ = true;
    int count = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      pid_t r = waitpid(-1, nullptr, WNOHANG);
      if (r > 0) {
        ++count;
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) return count;  // ECHILD: none left
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "a started process is still running";
        return count + 1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

 private:
  bool waited_ = false;
};

// Waits for the submitters started while it lives when the test also runs peers of its
// own (a stand-in daemon) as children, which StartedProcesses cannot tell apart: this
// process becomes the child subreaper, and wait_all() waits for every child but the
// `peers` given, read from /proc/self/task/*/children, to end and reaps it.
class SubmitterReaper {
 public:
  SubmitterReaper() {
    if (prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) ADD_FAILURE() << "cannot become a subreaper";
  }
  ~SubmitterReaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
  SubmitterReaper(const SubmitterReaper&) = delete;
  SubmitterReaper& operator=(const SubmitterReaper&) = delete;

  // Waits (up to a minute) until no child but `peers` is left; how many were reaped.
  int wait_all(const std::vector<pid_t>& peers) {
    int count = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
      std::vector<pid_t> others;
      for (pid_t pid : children())
        if (std::find(peers.begin(), peers.end(), pid) == peers.end()) others.push_back(pid);
      if (others.empty()) return count;
      for (pid_t pid : others)
        if (waitpid(pid, nullptr, WNOHANG) == pid) ++count;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "a started process is still running";
        return count;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  static std::vector<pid_t> children() {
    std::vector<pid_t> out;
    DIR* tasks = opendir("/proc/self/task");
    if (tasks == nullptr) {
      ADD_FAILURE() << "cannot list /proc/self/task";
      return out;
    }
    while (dirent* e = readdir(tasks)) {
      if (e->d_name[0] == '.') continue;
      std::istringstream in(read_file(std::string("/proc/self/task/") + e->d_name + "/children"));
      for (pid_t pid; in >> pid;) out.push_back(pid);
    }
    closedir(tasks);
    return out;
  }
};

// A test whose submitter records into records_.
class RecordingSubmitterTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("ZV_RECORD_DIR", records_.path().c_str(), 1); }
  void TearDown() override { unsetenv("ZV_RECORD_DIR"); }
  TempDir records_;
};

}  // namespace zvtest
