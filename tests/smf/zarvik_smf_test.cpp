// The zarvik-smf program as a whole: its command line, and its start-up and shutdown
// against the stand-in scanning daemon and statistics agent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "smf_fixture.h"

namespace {

using smftest::can_use_mount_namespaces;
using smftest::FilterTest;
using smftest::kAgent;
using smftest::kDaemon;
using smftest::kName;
using smftest::kProgram;
using smftest::replace_all;
using smftest::spawn;
using smftest::wait_status;
using zvtest::TempDir;
using zvtest::wait_for;

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

std::string totals_line(const std::string& totals, const std::string& name) {
  std::string text = zvtest::read_file(totals);
  size_t at = text.find(name + " ");
  return at == std::string::npos ? "" : text.substr(at, text.find('\n', at) - at);
}

// The program with the stand-in daemon and agent, an agent in the configuration.
class ProgramTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    set("Agent", "Address", "local:" + dir_.file("zvagent.sock"));
  }
  int finish() {
    int status = wait_status(pid_);
    pid_ = -1;
    return status;
  }
  // Starts the program without waiting for it to listen.
  void launch() {
    conf_ = dir_.write("zarvik_smf.conf", conf_text_);
    std::string scratch = dir_.path(), log = dir_.file("log");
    pid_ = spawn({kProgram, "--conf=" + conf_}, dir_.file("smf.out"), dir_.file("smf.err"),
                 [scratch, log] { smftest::private_dev_log(scratch, log); });
  }
};

// Leaves a socket file at `path`, as a filter that was killed does.
void leave_socket(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  close(fd);
}

TEST_F(ProgramTest, StartsAgainstTheDaemonAndTheAgentAndStopsOnSigterm) {
  std::string totals = dir_.file("totals");
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock"), "--totals=" + totals},
                     dir_, "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  leave_socket(socket());
  set("Logging", "Level", "Info");

  ASSERT_TRUE(start_filter()) << capture_.dump() << zvtest::read_file(dir_.file("smf.err"));
  EXPECT_EQ(totals_line(totals, "registrations"), "registrations 1");

  EXPECT_EQ(stop_filter(SIGTERM), 0);
  EXPECT_EQ(totals_line(totals, "deregistrations"), "deregistrations 1");
  const std::vector<std::string> expected = {
      "conf: configuration will be loaded from " + conf_,
      "init_stat: connection(local:" + dir_.file("zvagent.sock") +
          ") with agent has been established",
      "set SIGHUP handler",
      "set milter backlog = 128",
      "set milter timeout = 7210",
      "set milter loglevel = 0",
      "stalled socket " + socket() + " detected - try remove",
      "set milter connection local:" + socket(),
      kName + " started ...",
      kName + " shutdown in progress...",
      "init_stat: connection(local:" + dir_.file("zvagent.sock") + ") with agent has been closed",
      kName + " shutdown - OK.",
  };
  EXPECT_EQ(seen_in_order(expected), expected) << capture_.dump();
}

TEST_F(ProgramTest, RefusedAgentRegistrationStopsTheStartWith70) {
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock"), "--reply=1"}, dir_,
                     "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  launch();
  EXPECT_EQ(finish(), 70);
  EXPECT_TRUE(capture_.has("init_stat: cannot register agent"));
  for (const auto& m : capture_.messages()) EXPECT_EQ(m.find("set milter"), std::string::npos);
}

TEST_F(ProgramTest, UnusableMilterAddressStopsWith70AfterTheShutdownSequence) {
  std::string not_a_directory = dir_.write("plain", "");
  // A mistyped address that names a file of value: the file must survive the start.
  std::string precious = dir_.write("precious.conf", "keep me\n");
  struct Case {
    const char* name;
    std::string address;
    std::string message;
  };
  const Case cases[] = {
      {"malformed", "unix:" + socket(), "malformed parameter MilterAddress = unix:" + socket()},
      {"cannot be examined", "local:" + not_a_directory + "/milter.sock",
       "stat(" + not_a_directory + "/milter.sock) failed - Not a directory"},
      {"not a socket", "local:" + precious,
       "MilterAddress " + precious + " names an existing file that is not a socket - not removed"},
      {"a directory", "local:" + dir_.file("spool"),
       "MilterAddress " + dir_.file("spool") +
           " names an existing file that is not a socket - not removed"},
  };
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock")}, dir_, "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    set("Mailer", "MilterAddress", c.address);
    capture_.clear();
    launch();
    EXPECT_EQ(finish(), 70);
    EXPECT_TRUE(capture_.has(c.message)) << capture_.dump();
    EXPECT_FALSE(capture_.has(kName + " started ..."));
    EXPECT_TRUE(capture_.has(kName + " shutdown - OK."));
  }
  EXPECT_EQ(zvtest::read_file(precious), "keep me\n");
  struct stat st {};
  EXPECT_TRUE(stat(dir_.file("spool").c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

TEST_F(ProgramTest, SecondInstanceLeavesTheLiveSocketAloneAndStopsWith70) {
  zvtest::Peer daemon(kDaemon, {"--listen=local:" + dir_.file("zvscand.sock")}, dir_, "zvscand");
  zvtest::Peer agent(kAgent, {"--listen=local:" + dir_.file("zvagent.sock")}, dir_, "zvagent");
  ASSERT_TRUE(daemon.ready() && agent.ready());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  struct stat before {};
  ASSERT_EQ(stat(socket().c_str(), &before), 0);
  TempDir second;
  pid_t other = spawn({kProgram, "--conf=" + conf_}, second.file("out"), second.file("err"),
                      [scratch = dir_.path(), log = dir_.file("log")] {
                        smftest::private_dev_log(scratch, log);
                      });
  // The second one must end by itself; one that took the socket over would serve on.
  int status = -1;
  bool ended = wait_for([&] {
    int raw = 0;
    if (waitpid(other, &raw, WNOHANG) != other) return false;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return true;
  });
  if (!ended) {
    kill(other, SIGKILL);
    wait_status(other);
  }
  EXPECT_TRUE(ended) << "the second instance kept running";
  EXPECT_EQ(status, 70);
  EXPECT_TRUE(capture_.has("MilterAddress " + socket() +
                           " is the socket of a running filter - not removed, the start stops"))
      << capture_.dump();
  EXPECT_FALSE(capture_.has("stalled socket " + socket() + " detected - try remove"));
  // The first filter's socket is still there, and it still answers.
  struct stat after {};
  ASSERT_EQ(stat(socket().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  smftest::ScriptResult r = miltertest("plain.lua", {{"REPLY", "a"}});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(stop_filter(SIGTERM), 0);
}

// The value in the "Max open files" line of /proc/PID/limits: soft, then hard.
std::pair<std::string, std::string> open_files_limits(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Max open files", 0) != 0) continue;
    char soft[32] = {}, hard[32] = {};
    if (sscanf(line.c_str() + strlen("Max open files"), "%31s %31s", soft, hard) == 2)
      return {soft, hard};
  }
  return {};
}

TEST_F(FilterTest, StartRaisesTheSoftLimitOfOpenFilesToTheHardOne) {
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter([] {
    struct rlimit limit {64, 4096};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(125);
  })) << capture_.dump();
  EXPECT_EQ(open_files_limits(pid_), std::make_pair(std::string("4096"), std::string("4096")));
  EXPECT_TRUE(capture_.has("limit of open files raised to 4096")) << capture_.dump();
  EXPECT_EQ(stop_filter(SIGTERM), 0);
}

TEST_F(FilterTest, MilterSocketIsForOwnerAndGroupOnlyWhateverTheUmask) {
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter([] { umask(0); })) << capture_.dump();
  struct stat st {};
  ASSERT_EQ(stat(socket().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0007, 0u) << std::oct << st.st_mode;
  EXPECT_EQ(st.st_mode & 0770, 0770u) << std::oct << st.st_mode;
  EXPECT_EQ(stop_filter(SIGTERM), 0);
}

TEST_F(FilterTest, StartWarnsWhenNoDaemonAnswersAndGoesOn) {
  const std::string warning = "WARNING: no scanning daemon answers at local:" +
                              dir_.file("zvscand.sock") +
                              " - mail cannot be scanned until one does";
  for (bool daemon_up : {true, false}) {
    SCOPED_TRACE(daemon_up ? "daemon up" : "daemon down");
    capture_.clear();
    if (daemon_up) {
      ASSERT_TRUE(start_daemon());
    }
    ASSERT_TRUE(start_filter()) << capture_.dump();
    EXPECT_EQ(capture_.has(warning), !daemon_up) << capture_.dump();
    EXPECT_EQ(stop_filter(SIGTERM), 0);
    daemon_.reset();
  }
}

const std::vector<std::string> kReloadLines = {
    kName + " receive SIGHUP, going to reloading ...",
    kName + " DenyList reloaded ...",
    kName + " NonNotifiedVirusesList reloaded ...",
    kName + " NonNotifiedAddressesList reloaded ...",
};

// The three list files, valid.
class ReloadTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    deny_ = dir_.write("deny.list", "[version=2]\ndeny from exact skip-sender@example.com\n");
    viruses_ = dir_.write("viruses.list", "[version=2]\ndeny deny allow allow ^Worm\\.\n");
    addresses_ = dir_.write("addresses.list", "any \"^nobody@\"\n");
    set("Scanning", "DenyList", deny_);
    set("Actions", "UnnotificableVirusesList", viruses_);
    set("Actions", "UnnotificableAddressesList", addresses_);
    ASSERT_TRUE(start_daemon());
  }
  std::string deny_, viruses_, addresses_;
};

TEST_F(ReloadTest, SighupWithGoodListsKeepsServingAndFinishesConnectionsInFlight) {
  ASSERT_TRUE(start_filter()) << capture_.dump();
  // A message that waits after its headers while the lists are reloaded.
  std::string out = dir_.file("inflight.out");
  pid_t inflight =
      spawn({"/usr/bin/miltertest", "-D", "SOCK=unix:" + socket(), "-D",
             "LIB=" + smftest::kLuaDir + "/smf_lib.lua", "-s", smftest::kLuaDir + "/inflight.lua"},
            out, out);
  ASSERT_TRUE(wait_for([&] { return capture_.has("[QINFLIGHT]: end of headers"); }))
      << capture_.dump();
  // The deny list gains the recipient entry that deny.lua counts on.
  dir_.write("deny.list",
             "[version=2]\ndeny from exact skip-sender@example.com\n"
             "deny to exact skip@example.net\n");
  kill(pid_, SIGHUP);
  ASSERT_TRUE(wait_for([&] { return capture_.has(kName + " reloading - OK"); })) << capture_.dump();
  EXPECT_EQ(wait_status(inflight), 0) << zvtest::read_file(out);
  EXPECT_TRUE(capture_.has("[QINFLIGHT]: processing message from sender@example.com is over"));

  std::vector<std::string> expected = kReloadLines;
  expected.push_back(kName + " reloading - OK");
  EXPECT_EQ(seen_in_order(expected), expected) << capture_.dump();
  // Still serving, with the new list: the message from and to uncheckable addresses only
  // goes unchecked.
  smftest::ScriptResult r = miltertest("deny.lua", {{"MODE", "byAll"}});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_EQ(stop_filter(SIGTERM), 0);
  EXPECT_TRUE(capture_.has(kName + " shutdown - OK."));
}

TEST_F(FilterTest, SigtermLetsTheMessageInItsScanGetItsAnswerBeforeTheShutdown) {
  // The daemon answers after six seconds: libmilter's loop ends well before that.
  set("Scanning", "AddXHeaders", "yes");
  ASSERT_TRUE(start_daemon({"--delay-ms=6000"}));
  ASSERT_TRUE(start_filter()) << capture_.dump();
  std::string out = dir_.file("one.out");
  pid_t message = spawn_miltertest("one.lua", {{"REPLY", "a"}, {"CODE", "0"}}, out);
  ASSERT_TRUE(wait_for([&] { return capture_.has("[QONE]: start scanning message from "
                                                 "sender@example.com ..."); }))
      << capture_.dump();
  EXPECT_EQ(stop_filter(SIGTERM), 0);
  EXPECT_EQ(wait_status(message), 0) << zvtest::read_file(out);
  const std::vector<std::string> expected = {
      kName + " waits for 1 message(s) in progress ...",
      "[QONE]: processing message from sender@example.com is over",
      kName + " shutdown in progress...", kName + " shutdown - OK."};
  EXPECT_EQ(seen_in_order(expected), expected) << capture_.dump();
}

TEST_F(ReloadTest, ListThatFailsToReloadStopsTheFilterWith70) {
  ASSERT_TRUE(start_filter()) << capture_.dump();
  dir_.write("deny.list", "[version=3]\ndeny from exact a@example.com\n");
  // Were it reloaded after the failure, this list would be refused too.
  dir_.write("viruses.list", "[version=9]\nX\n");
  kill(pid_, SIGHUP);
  int status = wait_status(pid_);
  pid_ = -1;
  // A failure status, so that a service manager restarts the filter.
  EXPECT_EQ(status, 70);
  std::vector<std::string> expected = kReloadLines;
  expected.insert(expected.end(),
                  {kName + " reloading failed ...",
                   kName + " cannot reload the list " + deny_ + " - the filter stops",
                   kName + " stopped because the lists could not be reloaded",
                   kName + " shutdown in progress...", kName + " shutdown - OK."});
  EXPECT_EQ(seen_in_order(expected), expected) << capture_.dump();
  EXPECT_TRUE(capture_.has("users: wrong 3 version of file")) << capture_.dump();
  EXPECT_FALSE(capture_.contains("virus: wrong")) << capture_.dump();
}

}  // namespace
