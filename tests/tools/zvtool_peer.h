// Runs a stand-in peer (zvscand, zvagent) as a real process for a test.
//
// The peer is started in the foreground with a pid file and its standard error in a
// log file, both in the test's temporary directory; the constructor returns once the
// pid file lists the bound addresses (so port-0 listeners are usable at once), and the
// destructor stops the process (SIGTERM, then SIGKILL after a grace time) and reaps
// it, whatever the test did. A peer that does not exit 0 on SIGTERM (a crash, a hang, a
// sanitizer report) fails the test, with the peer's log: the test either lets the
// destructor check that, or stops the peer itself and checks stop()'s result, or says
// with allow_unclean_exit() that it breaks the peer on purpose.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/zv_test_support.h"

extern char** environ;

namespace zvtest {

inline std::string zvscand_program() {
  return ZV_BINARY_DIR "/tools/zvscand/zvscand";
}
inline std::string zvagent_program() {
  return ZV_BINARY_DIR "/tools/zvagent/zvagent";
}

// Starts `program` with `args`; its standard output and error go to `log`. 0 on failure.
inline pid_t spawn_program(const std::string& program, const std::vector<std::string>& args,
                           const std::string& log) {
  std::vector<std::string> all{program};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  // GLib's slice allocator (read from the environment before main) hands memory between
  // threads behind the sanitizers' back; plain malloc keeps sanitizer runs of the peers
  // meaningful.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e)
    if (std::strncmp(*e, "G_SLICE=", 8) != 0) env_strings.emplace_back(*e);
  env_strings.emplace_back("G_SLICE=always-malloc");
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  int rc = posix_spawn(&pid, program.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  return rc == 0 ? pid : 0;
}

// Runs `program` to its end; its exit status (or -1), output in *output.
inline int run_program(const std::string& program, const std::vector<std::string>& args,
                       const TempDir& dir, std::string* output) {
  std::string log = dir.file("run.log");
  ::unlink(log.c_str());
  pid_t pid = spawn_program(program, args, log);
  if (pid <= 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  *output = read_file(log);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class Peer {
 public:
  // `listens` is the number of --listen options in `args`; the pid file must list that
  // many addresses before the peer counts as ready.
  Peer(const std::string& program, std::vector<std::string> args, const TempDir& dir,
       const std::string& name, size_t listens = 1)
      : pidfile_(dir.file(name + ".pid")), log_(dir.file(name + ".log")) {
    args.push_back("--foreground");
    args.push_back("--pidfile=" + pidfile_);
    pid_ = spawn_program(program, args, log_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (pid_ > 0 && std::chrono::steady_clock::now() < deadline) {
      lines_ = pidfile_lines();
      if (lines_.size() >= listens + 1) {
        ready_ = true;
        break;
      }
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = 0;  // died during start-up
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  ~Peer() {
    if (pid_ <= 0) return;  // never started, died during start-up, or stopped by the test
    if (stop() != 0 && !allow_unclean_)
      ADD_FAILURE() << "peer " << log_ << " did not exit cleanly on SIGTERM (" << how_
                    << "); its log:\n"
                    << log();
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  const std::string& pidfile() const { return pidfile_; }
  std::string log() const { return read_file(log_); }
  // The address lines of the pid file as read at start-up.
  std::vector<std::string> addresses() const {
    return lines_.empty() ? lines_ : std::vector<std::string>(lines_.begin() + 1, lines_.end());
  }
  // The i-th listening address in the client's syntax.
  std::string address(size_t i = 0) const {
    std::vector<std::string> a = addresses();
    if (i >= a.size()) return "";
    if (!a[i].empty() && a[i][0] == '/') return "local:" + a[i];
    size_t colon = a[i].rfind(':');
    return "inet:" + a[i].substr(colon + 1) + "@" + a[i].substr(0, colon);
  }
  void signal(int sig) const {
    if (pid_ > 0) ::kill(pid_, sig);
  }
  // For a test that kills or breaks the peer on purpose: the destructor does not count
  // an unclean end as a failure.
  void allow_unclean_exit() { allow_unclean_ = true; }
  // Stops the peer; its exit status, or -1 when it had to be killed, ended on a signal or
  // was not running. The caller checks it.
  [[nodiscard]] int stop() {
    if (pid_ <= 0) return exit_status_;
    ::kill(pid_, SIGTERM);
    int status = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        how_ = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                 : "signal " + std::to_string(WTERMSIG(status));
        break;
      }
      if (r < 0 || std::chrono::steady_clock::now() > deadline) {
        ::kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        exit_status_ = -1;
        how_ = "killed after not ending in time";
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = 0;
    return exit_status_;
  }

 private:
  std::vector<std::string> pidfile_lines() const {
    std::vector<std::string> out;
    std::istringstream in(read_file(pidfile_));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::string pidfile_;
  std::string log_;
  pid_t pid_ = 0;
  bool ready_ = false;
  bool allow_unclean_ = false;
  int exit_status_ = -1;
  std::string how_;  // how the peer ended, for the failure message
  std::vector<std::string> lines_;
};

}  // namespace zvtest
