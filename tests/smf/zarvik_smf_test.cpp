// The zarvik-smf program as a whole: its command line, and its start-up and shutdown
// against the stand-in scanning daemon and statistics agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"

namespace {

using zvtest::exists;
using zvtest::TempDir;
using zvtest::wait_for;

const std::string kProgram = ZV_BINARY_DIR "/smf/zarvik-smf";
const std::string kAgent = ZV_BINARY_DIR "/tools/zvagent/zvagent";
const std::string kDaemon = ZV_BINARY_DIR "/tools/zvscand/zvscand";

pid_t spawn(std::vector<std::string> args, const std::string& out, const std::string& err,
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

int wait_status(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// True where a child can make a private mount namespace and mount in it (root).
bool can_use_mount_namespaces() {
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

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult run(std::vector<std::string> args, const std::function<void()>& prepare = nullptr) {
  TempDir dir;
  args.insert(args.begin(), kProgram);
  pid_t pid = spawn(args, dir.file("out"), dir.file("err"), prepare);
  int status = wait_status(pid);
  return {status, zvtest::read_file(dir.file("out")), zvtest::read_file(dir.file("err"))};
}

std::string usage() {
  return "\nUsage : " + kProgram +
         " [options]\n"
         "Zarvik(R) Filter for sendmail - scans mail for viruses\n\n"
         "Options:\n"
         "\t-?, -h, --help - show this help and exit\n"
         "\t--version - show filter version and exit\n"
         "\t--check_user=<username> - user account used for check (works only with "
         "--check_only option)\n"
         "\t  (FilterAccount parameter from configuration file will been ignored\n"
         "\t--check_only - perform configuration check and exit\n"
         "\t--debug - set very verbose output in check mode\n"
         "\t--conf=<pathname> - specify full pathname to configuration file\n"
         "\nIf full pathname to conf file are not specified, then there is searched in:\n"
         " /etc/zarvik/zarvik_smf.conf\n"
         " /usr/local/etc/zarvik/zarvik_smf.conf\n"
         "\n\n"
         "\n\nATTENTION:\n THIS VERSION IS NOT COMPATIBLE WITH Zarvik DAEMON VERSIONS LESS THAT "
         "4.30 !!!\n";
}

TEST(CommandLine, OptionsEndTheProgramWithTheirStatusAndTexts) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out;
    std::string err;
  };
  const Case cases[] = {
      {{"-hx"}, 64, usage(), ""},
      {{"-?"}, 64, usage(), ""},
      {{"--help", "--bogus"}, 64, usage(), ""},
      {{"--versions"}, 0, "\n" + kProgram + " - Zarvik(R) Filter for sendmail 4.33\n\n", ""},
      {{"--conf="}, 64, "", "conf: misformatted --conf=<filename> option\n"},
      {{"--check_user=", "--help"}, 64, "", "conf: misformatted --check_user=<username> option\n"},
      {{"--bogus", "--help"}, 64, "", "conf: unknown option --bogus\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.front());
    RunResult r = run(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, c.err);
  }
}

TEST(CommandLine, MissingDefaultConfigurationFile) {
  // A host with an installed configuration runs the program with empty directories
  // mounted over the default places, in a mount namespace of its own.
  static const char* const kDefaultDirs[] = {"/etc/zarvik", "/usr/local/etc/zarvik"};
  bool installed = false;
  for (const char* d : kDefaultDirs)
    installed = installed || access((std::string(d) + "/zarvik_smf.conf").c_str(), F_OK) == 0;
  std::function<void()> hide;
  if (installed) {
    ASSERT_TRUE(can_use_mount_namespaces())
        << "a default configuration file exists on this host, and hiding it needs root and "
           "mount namespaces";
    hide = [] {
      if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr))
        _exit(126);
      for (const char* d : kDefaultDirs)
        if (access(d, F_OK) == 0 && mount("tmpfs", d, "tmpfs", 0, "mode=0755") != 0) _exit(126);
    };
  }
  RunResult r = run({}, hide);
  EXPECT_EQ(r.status, 64);
  EXPECT_EQ(r.out, kProgram +
                       ": configuration file not found\nTry run with --help for more "
                       "information.\n");
  EXPECT_EQ(r.err, "");
}

TEST(CommandLine, CheckModeWithAnUnknownAccountEndsWith70) {
  RunResult r = run({"--check_only", "--check_user=zv-no-such-account",
                     "--conf=" ZV_SOURCE_DIR "/etc/zarvik_smf.conf"});
  EXPECT_EQ(r.status, 70);
  EXPECT_EQ(r.out, "");
  // Check mode keeps the console: the loading and the refusal are on standard error.
  EXPECT_NE(
      r.err.find("conf: configuration will be loaded from " ZV_SOURCE_DIR "/etc/zarvik_smf.conf\n"),
      std::string::npos);
  EXPECT_NE(r.err.find("\nconf: non-existing user account zv-no-such-account specified\n"),
            std::string::npos)
      << r.err;
}

// Receives what the program sends to syslog: a datagram socket that a private mount
// namespace of the program shows at /dev/log.
class SyslogCapture {
 public:
  explicit SyslogCapture(const std::string& path) : path_(path) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~SyslogCapture() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  // The message texts received so far, without priority, time and ident.
  const std::vector<std::string>& messages() {
    char buffer[4096];
    ssize_t n;
    while ((n = recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0) {
      std::string text(buffer, static_cast<size_t>(n));
      size_t at = text.find("]: ");
      messages_.push_back(at == std::string::npos ? text : text.substr(at + 3));
    }
    return messages_;
  }
  void clear() {
    messages();
    messages_.clear();
  }
  bool has(const std::string& text) {
    for (const auto& m : messages())
      if (m == text) return true;
    return false;
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool ok_ = false;
  std::vector<std::string> messages_;
};

// Runs in the forked child before exec: a private /dev whose log is `log_socket`.
void private_dev_log(const std::string& scratch, const std::string& log_socket) {
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

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

std::string totals_line(const std::string& totals, const std::string& name) {
  std::string text = zvtest::read_file(totals);
  size_t at = text.find(name + " ");
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

class ProgramTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(can_use_mount_namespaces())
        << "reading the program's syslog needs root and mount namespaces (CI runs as root)";
    ASSERT_TRUE(capture_.ok());
    mkdir(dir_.file("spool").c_str(), 0700);
    mkdir(dir_.file("quarantine").c_str(), 0700);
    // The sample configuration, with its run-time files in this test's directory.
    conf_ = dir_.write("zarvik_smf.conf",
                       replace_all(zvtest::read_file(ZV_SOURCE_DIR "/etc/zarvik_smf.conf"),
                                   "/tmp/zarvik", dir_.path()));
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      wait_status(pid_);
    }
  }
  void start() {
    std::string scratch = dir_.path(), log = dir_.file("log");
    pid_ = spawn({kProgram, "--conf=" + conf_}, dir_.file("smf.out"), dir_.file("smf.err"),
                 [scratch, log] { private_dev_log(scratch, log); });
  }
  int finish() {
    int status = wait_status(pid_);
    pid_ = -1;
    return status;
  }

  TempDir dir_;
  SyslogCapture capture_{dir_.file("log")};
  std::string conf_;
  pid_t pid_ = -1;
};

const std::string kName = "Zarvik (R) Filter for sendmail ver.4.33";

TEST_F(ProgramTest, StartsAgainstTheDaemonAndTheAgentAndStopsOnSigterm) {
  std::string totals = dir_.file("totals");
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock"), "--totals=" + totals},
                     dir_, "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  std::string milter = dir_.file("milter.sock");
  close(open(milter.c_str(), O_WRONLY | O_CREAT, 0600));  // left by an earlier run

  start();
  ASSERT_TRUE(wait_for([&] { return capture_.has(kName + " started ..."); }))
      << testing::PrintToString(capture_.messages()) << zvtest::read_file(dir_.file("smf.err"));
  ASSERT_TRUE(wait_for([&] {
    struct stat st {};
    return stat(milter.c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
  }));
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 1");

  kill(pid_, SIGTERM);
  EXPECT_EQ(finish(), 0);
  EXPECT_EQ(totals_line(totals, "deregistrations"), "deregistrations 1");
  const std::vector<std::string> expected = {
      "conf: configuration will be loaded from " + conf_,
      "init_stat: connection(local:" + dir_.file("zvagent.sock") +
          ") with agent has been established",
      "set milter backlog = 128",
      "set milter timeout = 7210",
      "set milter loglevel = 0",
      "stalled socket " + milter + " detected - try remove",
      "set milter connection local:" + milter,
      kName + " started ...",
      kName + " shutdown in progress...",
      "init_stat: connection(local:" + dir_.file("zvagent.sock") + ") with agent has been closed",
      kName + " shutdown - OK.",
  };
  std::vector<std::string> seen;  // the expected lines, in the order they came
  for (const auto& m : capture_.messages())
    if (std::find(expected.begin(), expected.end(), m) != expected.end()) seen.push_back(m);
  EXPECT_EQ(seen, expected) << testing::PrintToString(capture_.messages());
}

TEST_F(ProgramTest, RefusedAgentRegistrationStopsTheStartWith70) {
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock"), "--reply=1"}, dir_,
                     "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  start();
  EXPECT_EQ(finish(), 70);
  EXPECT_TRUE(capture_.has("init_stat: cannot register agent"));
  for (const auto& m : capture_.messages()) EXPECT_EQ(m.find("set milter"), std::string::npos);
}

TEST_F(ProgramTest, UnusableMilterAddressStopsWith70AfterTheShutdownSequence) {
  std::string sample = zvtest::read_file(conf_);
  std::string not_a_directory = dir_.write("plain", "");
  struct Case {
    const char* name;
    std::string address;
    std::string message;
  };
  const Case cases[] = {
      {"malformed", "unix:" + dir_.file("milter.sock"),
       "malformed parameter MilterAddress = unix:" + dir_.file("milter.sock")},
      {"cannot be examined", "local:" + not_a_directory + "/milter.sock",
       "stat(" + not_a_directory + "/milter.sock) failed - Not a directory"},
  };
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock")}, dir_, "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    conf_ = dir_.write("bad.conf",
                       replace_all(sample, "MilterAddress = local:" + dir_.file("milter.sock"),
                                   "MilterAddress = " + c.address));
    capture_.clear();
    start();
    EXPECT_EQ(finish(), 70);
    EXPECT_TRUE(capture_.has(c.message)) << testing::PrintToString(capture_.messages());
    EXPECT_FALSE(capture_.has(kName + " started ..."));
    EXPECT_TRUE(capture_.has(kName + " shutdown - OK."));
  }
}

}  // namespace
