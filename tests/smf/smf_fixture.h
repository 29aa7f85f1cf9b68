// Runs the real zarvik-smf program for a test: its configuration (the sample one, with
// every run-time file in the test's directory), the stand-in scanning daemon, a private
// /dev/log that collects what the program logs, and miltertest scripts that play
// sendmail's side of the Milter conversation.
//
// The program runs in a private mount namespace of its own (root only), where /dev/log is
// a datagram socket of the test; a thread of the test drains that socket all the time, so
// the program never blocks on a full log queue.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"

namespace smftest {

using zvtest::TempDir;

inline const std::string kProgram = ZV_BINARY_DIR "/smf/zarvik-smf";
inline const std::string kDaemon = ZV_BINARY_DIR "/tools/zvscand/zvscand";
inline const std::string kAgent = ZV_BINARY_DIR "/tools/zvagent/zvagent";
inline const std::string kLuaDir = ZV_SOURCE_DIR "/tests/smf/lua";
inline const std::string kName = "Zarvik (R) Filter for sendmail ver.4.33";
// The standard anti-virus test string, which the stand-in daemon knows as a virus.
inline const std::string kEicar =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

// Starts a program with its output and error in files; `prepare` runs in the child first.
inline pid_t spawn(std::vector<std::string> args, const std::string& out, const std::string& err,
                   const std::function<void()>& prepare = nullptr) {
  pid_t pid = fork();
  if (pid == 0) {
    if (prepare) prepare();
    int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(o, 1);
    dup2(e, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

// Exit status, or 128 + the signal that ended the process.
inline int wait_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

inline std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Receives what the program sends to syslog, continuously, on a thread of its own.
class SyslogCapture {
 public:
  explicit SyslogCapture(const std::string& path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (ok_) reader_ = std::thread([this] { drain(); });
  }
  ~SyslogCapture() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  // The message texts received so far, without priority, time and ident. Whatever the
  // socket holds is read first, so everything logged before the call is included.
  std::vector<std::string> messages() const {
    std::lock_guard<std::mutex> lock(mu_);
    receive_pending();
    return messages_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mu_);
    receive_pending();
    messages_.clear();
  }
  bool has(const std::string& text) const {
    for (const auto& m : messages())
      if (m == text) return true;
    return false;
  }
  bool contains(const std::string& fragment) const {
    for (const auto& m : messages())
      if (m.find(fragment) != std::string::npos) return true;
    return false;
  }
  // All messages, one a line, for failure output.
  std::string dump() const {
    std::string all;
    for (const auto& m : messages()) all += m + "\n";
    return all;
  }

 private:
  void drain() {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      std::lock_guard<std::mutex> lock(mu_);
      receive_pending();
    }
  }
  // Reads every datagram waiting in the socket; the caller holds mu_.
  void receive_pending() const {
    char buffer[8192];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      std::string text(buffer, static_cast<size_t>(n));
      size_t at = text.find("]: ");
      messages_.push_back(at == std::string::npos ? text : text.substr(at + 3));
    }
  }
  int fd_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex mu_;
  mutable std::vector<std::string> messages_;  // guarded by mu_
};

// Runs in the forked child before exec: a private /dev whose log is `log_socket`.
inline void private_dev_log(const std::string& scratch, const std::string& log_socket) {
  std::string old_dev = scratch + "/olddev";
  if (unshare(CLONE_NEWNS) != 0 ||
      mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
      (mkdir(old_dev.c_str(), 0700) != 0 && errno != EEXIST) ||
      mount("/dev", old_dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      mount("tmpfs", "/dev", "tmpfs", 0, "mode=0755") != 0)
    _exit(126);
  for (const char* name : {"null", "zero", "random", "urandom"}) {
    std::string target = std::string("/dev/") + name;
    close(open(target.c_str(), O_WRONLY | O_CREAT, 0666));
    if (mount((old_dev + "/" + name).c_str(), target.c_str(), nullptr, MS_BIND, nullptr) != 0)
      _exit(126);
  }
  close(open("/dev/log", O_WRONLY | O_CREAT, 0666));
  if (mount(log_socket.c_str(), "/dev/log", nullptr, MS_BIND, nullptr) != 0) _exit(126);
}

// Whether this process may make mount namespaces (root on Linux).
inline bool can_use_mount_namespaces() {
  if (geteuid() != 0) return false;
  pid_t pid = fork();
  if (pid == 0)
    _exit(unshare(CLONE_NEWNS) == 0 &&
                  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
                  mount("tmpfs", "/mnt", "tmpfs", 0, nullptr) == 0
              ? 0
              : 1);
  return wait_status(pid) == 0;
}

// Sets `key` to `value` in `section` of a configuration text: the key's line is
// replaced, or added after the section's header. An empty value removes the key.
inline std::string set_key(const std::string& conf, const std::string& section,
                           const std::string& key, const std::string& value) {
  std::string header = "[" + section + "]\n";
  size_t start = conf.find(header);
  if (start == std::string::npos) return conf + "\n" + header + key + " = " + value + "\n";
  start += header.size();
  size_t end = conf.find("\n[", start);
  if (end == std::string::npos) end = conf.size();
  std::string line = value.empty() ? "" : key + " = " + value + "\n";
  for (size_t at = start; at < end;) {
    size_t eol = conf.find('\n', at);
    if (eol == std::string::npos) eol = conf.size();
    if (conf.compare(at, key.size() + 1, key + " ") == 0 ||
        conf.compare(at, key.size() + 1, key + "=") == 0)
      return conf.substr(0, at) + line + conf.substr(eol + 1);
    at = eol + 1;
  }
  return conf.substr(0, start) + line + conf.substr(start);
}

// What a miltertest run gave.
struct ScriptResult {
  int status;
  std::string output;
};

// A test that runs the real program against the stand-in daemon. Needs root (the private
// /dev/log); without it the test fails and says why.
class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(can_use_mount_namespaces())
        << "this test runs the filter in a private mount namespace: run it as root";
    ASSERT_TRUE(capture_.ok());
    mkdir(dir_.file("spool").c_str(), 0700);
    mkdir(dir_.file("quarantine").c_str(), 0700);
    mkdir(dir_.file("records").c_str(), 0700);
    conf_text_ = replace_all(zvtest::read_file(ZV_SOURCE_DIR "/etc/zarvik_smf.conf"), "/tmp/zarvik",
                             dir_.path());
    conf_text_ = replace_all(conf_text_, "= etc/templates/", "= " ZV_SOURCE_DIR "/etc/templates/");
    // No agent unless a test asks for one; mail goes to the recording submitter.
    set("Agent", "Address", "");
    set("Mailer", "Sendmail", ZV_SOURCE_DIR "/tests/support/record_submitter.sh");
    set("Logging", "Level", "Verbose");
    gethostname(host_, sizeof host_ - 1);
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait_status(pid_);
    }
  }

  void set(const std::string& section, const std::string& key, const std::string& value) {
    conf_text_ = set_key(conf_text_, section, key, value);
  }
  // Starts the stand-in daemon with extra options; false when it did not come up.
  bool start_daemon(std::vector<std::string> args = {}) {
    args.insert(args.begin(), "--listen=local:" + dir_.file("zvscand.sock"));
    daemon_ = std::make_unique<zvtest::Peer>(kDaemon, args, dir_, "zvscand");
    return daemon_->ready();
  }
  // Writes the configuration and starts the program; `prepare` runs in its child, inside
  // the program's private mount namespace. Waits
  // until it listens; false when it ended or did not come up.
  bool start_filter(const std::function<void()>& prepare = nullptr) {
    conf_ = dir_.write("zarvik_smf.conf", conf_text_);
    std::string scratch = dir_.path(), log = dir_.file("log");
    std::string records = dir_.file("records");
    pid_ = spawn({kProgram, "--conf=" + conf_}, dir_.file("smf.out"), dir_.file("smf.err"),
                 [scratch, log, records, prepare] {
                   setenv("ZV_RECORD_DIR", records.c_str(), 1);
                   private_dev_log(scratch, log);
                   if (prepare) prepare();
                 });
    return zvtest::wait_for([&] {
             int status = 0;
             if (waitpid(pid_, &status, WNOHANG) == pid_) {
               pid_ = -1;
               return true;
             }
             struct stat st {};
             return capture_.has(kName + " started ...") && stat(socket().c_str(), &st) == 0 &&
                    S_ISSOCK(st.st_mode);
           }) &&
           pid_ > 0;
  }
  // Sends `sig` and waits for the program's end; its exit status.
  int stop_filter(int sig = SIGTERM) {
    if (pid_ <= 0) return -1;
    kill(pid_, sig);
    int status = wait_status(pid_);
    pid_ = -1;
    return status;
  }
  // The lines of `expected` that were logged, in the order they came.
  std::vector<std::string> seen_in_order(const std::vector<std::string>& expected) const {
    std::vector<std::string> lines;
    for (const auto& m : capture_.messages())
      if (std::find(expected.begin(), expected.end(), m) != expected.end()) lines.push_back(m);
    return lines;
  }
  std::string socket() const { return dir_.file("milter.sock"); }
  // Starts tests/smf/lua/<script> with SOCK, LIB, HOST and `vars` defined, its output in
  // `out`; the pid.
  pid_t spawn_miltertest(const std::string& script, const std::map<std::string, std::string>& vars,
                         const std::string& out) const {
    std::vector<std::string> args = {"/usr/bin/miltertest",
                                     "-D",
                                     "SOCK=unix:" + socket(),
                                     "-D",
                                     "LIB=" + kLuaDir + "/smf_lib.lua",
                                     "-D",
                                     std::string("HOST=") + host_};
    for (const auto& [k, v] : vars) {
      args.push_back("-D");
      args.push_back(k + "=" + v);
    }
    args.push_back("-s");
    args.push_back(kLuaDir + "/" + script);
    return spawn(args, out, out);
  }
  // Runs the script to its end.
  ScriptResult miltertest(const std::string& script,
                          const std::map<std::string, std::string>& vars = {}) {
    std::string out = dir_.file("mt." + std::to_string(++scripts_) + ".out");
    int status = wait_status(spawn_miltertest(script, vars, out));
    ScriptResult result{status, zvtest::read_file(out)};
    if (status != 0) result.output += filter_state();
    return result;
  }
  // What a failed script leaves to go on: whether the program still runs (or how it
  // ended), what it wrote to stderr, and its log once the lines in flight have arrived.
  std::string filter_state() {
    std::string state = "\n--- the filter: ";
    int status = 0;
    if (pid_ <= 0) {
      state += "not running";
    } else if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      state += WIFSIGNALED(status) ? "ended on signal " + std::to_string(WTERMSIG(status))
                                   : "exited with " + std::to_string(WEXITSTATUS(status));
    } else {
      state += "still running";
    }
    usleep(300 * 1000);
    return state + "\n--- its stderr:\n" + zvtest::read_file(dir_.file("smf.err")) +
           "--- its log:\n" + capture_.dump();
  }
  // The names of the files in a directory of the test, sorted.
  std::vector<std::string> files(const std::string& name) const {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir_.file(name).c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir dir_;
  SyslogCapture capture_{dir_.file("log")};
  std::string conf_text_;
  std::string conf_;
  char host_[256] = {};
  std::unique_ptr<zvtest::Peer> daemon_;
  pid_t pid_ = -1;
  int scripts_ = 0;
};

}  // namespace smftest
