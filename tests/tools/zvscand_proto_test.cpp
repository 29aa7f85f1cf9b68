// The stand-in daemon as a process, spoken to byte for byte: answer layout per request
// flags, local and streamed treatment, pid file, signals, fault injection and bad input.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zvc_lib.h"
#include "zvscand_engine.h"

namespace {

const std::string kEicar = zvscand::eicar_string();

std::string be32(uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}
std::string bs(const std::string& s) {
  return be32(static_cast<uint32_t>(s.size())) + s;
}

// A scan request as the client library sends it.
std::string scan_request(uint32_t flags, const std::string& path, const std::string& content,
                         uint32_t extended = 0) {
  std::string r = be32(1) + be32(flags | kScanExtended) + be32(extended) + bs("a@example.org") +
                  be32(2) + bs("b@example.org") + bs("c@example.org") + bs(path);
  return r + be32(static_cast<uint32_t>(content.size())) + content;
}

int connect_to(const std::string& address) {
  if (address.rfind("local:", 0) == 0) {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::strncpy(sun.sun_path, address.c_str() + 6, sizeof sun.sun_path - 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
  }
  size_t at = address.find('@');
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_port = htons(static_cast<uint16_t>(std::stoi(address.substr(5, at - 5))));
  ::inet_pton(AF_INET, address.c_str() + at + 1, &sin.sin_addr);
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Sends `request` and reads until the daemon closes (at most 30 s).
std::string exchange(const std::string& address, const std::string& request) {
  int fd = connect_to(address);
  EXPECT_GE(fd, 0) << address;
  if (fd < 0) return "";
  EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string out;
  char buf[65536];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 30000) <= 0) {
      ADD_FAILURE() << "no end of answer";
      break;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return out;
}

// Reads an answer item by item; every read past the end fails the test.
class Reader {
 public:
  explicit Reader(std::string data) : data_(std::move(data)) {}
  uint32_t u32() {
    if (pos_ + 4 > data_.size()) {
      ADD_FAILURE() << "answer ends early at " << pos_;
      pos_ = data_.size();
      return 0;
    }
    auto b = reinterpret_cast<const unsigned char*>(data_.data() + pos_);
    pos_ += 4;
    return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
  }
  std::string bytes() {
    uint32_t n = u32();
    if (pos_ + n > data_.size()) {
      ADD_FAILURE() << "byte string of " << n << " runs past the answer";
      pos_ = data_.size();
      return "";
    }
    std::string s = data_.substr(pos_, n);
    pos_ += n;
    return s;
  }
  std::vector<std::string> list() {
    std::vector<std::string> l;
    for (uint32_t n = u32(); n > 0 && pos_ < data_.size(); --n) l.push_back(bytes());
    return l;
  }
  bool at_end() const { return pos_ == data_.size(); }

 private:
  std::string data_;
  size_t pos_ = 0;
};

std::string message_with(const std::string& attachment_body, const std::string& encoding = "") {
  return "From: a@example.org\r\nTo: b@example.org\r\nSubject: t\r\nMIME-Version: 1.0\r\n"
         "Content-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n--zz\r\nContent-Type: "
         "text/plain\r\n\r\nkeep me\r\n--zz\r\nContent-Type: application/octet-stream\r\n"
         "Content-Disposition: attachment; filename=\"e.com\"\r\n" +
         (encoding.empty() ? "" : "Content-Transfer-Encoding: " + encoding + "\r\n") + "\r\n" +
         attachment_body + "\r\n--zz--\r\n";
}

class DaemonTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    extra.push_back("--listen=local:" + dir_.file("d.sock"));
    daemon_ = std::make_unique<zvtest::Peer>(zvtest::zvscand_program(), extra, dir_, "zvscand");
    ASSERT_TRUE(daemon_->ready()) << daemon_->log();
  }
  // A clean exit also means no sanitizer report from the daemon in sanitizer builds.
  void TearDown() override {
    if (daemon_ != nullptr) {
      EXPECT_EQ(daemon_->stop(), 0) << daemon_->log();
    }
  }
  std::string address() const { return daemon_->address(0); }
  zvtest::TempDir dir_;
  std::unique_ptr<zvtest::Peer> daemon_;
};

}  // namespace

TEST_F(DaemonTest, VersionRequestAnswersTheConfiguredNumber) {
  start();
  EXPECT_EQ(exchange(address(), be32(2)), be32(433));
  daemon_.reset();
  start({"--daemon-version=507"});
  EXPECT_EQ(exchange(address(), be32(2)), be32(507));
}

TEST_F(DaemonTest, AnswerHoldsExactlyTheItemsTheFlagsAskFor) {
  start();
  const std::string msg = message_with(kEicar);
  struct Row {
    uint32_t flags;
    bool streamed;
  };
  const Row rows[] = {
      {0, true},
      {kScanVirusLists, true},
      {kScanRuleName | kScanRuleFilter, true},
      {kScanReport, true},
      {kScanStatistics, true},
      {kScanCure, true},
      {kScanCure | kScanReport | kScanStatistics | kScanVirusLists | kScanRuleName, true},
      {kScanCure | kScanReport | kScanStatistics | kScanVirusLists | kScanRuleName, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(testing::Message()
                 << std::hex << r.flags << (r.streamed ? " streamed" : " local"));
    std::string path = dir_.write("msg", msg);
    Reader a(exchange(address(), scan_request(r.flags, path, r.streamed ? msg : "")));
    uint32_t status = a.u32();
    EXPECT_EQ(status, (r.flags & kScanCure) ? 0x120u : 0x20u);
    if (r.flags & kScanVirusLists) {
      EXPECT_EQ(a.list(), std::vector<std::string>{"EICAR-Test-File,K"});
    }
    if (r.flags & kScanRuleName) {
      EXPECT_EQ(a.bytes(), "");
    }
    if (r.flags & kScanReport) {
      std::string done = (r.flags & kScanCure) ? " - cured" : "";
      EXPECT_EQ(a.list(), std::vector<std::string>{path + "/e.com infected with EICAR-Test-File" +
                                                   done + "\n"});
    }
    if (r.flags & kScanStatistics) {
      ASSERT_EQ(a.u32(), 14u);
      std::vector<std::pair<uint32_t, uint32_t>> pairs;
      for (int i = 0; i < 14; ++i) {
        uint32_t mask = a.u32();
        pairs.emplace_back(mask, a.u32());
      }
      EXPECT_EQ(pairs[0], std::make_pair(0x20u, 1u));                                // known
      EXPECT_EQ(pairs[7], std::make_pair(0x100u, (r.flags & kScanCure) ? 1u : 0u));  // cured
      EXPECT_EQ(pairs[8], std::make_pair(0x80000u, 0u));                             // deleted
    }
    std::string on_disk = zvtest::read_file(path);
    if ((r.flags & kScanCure) && r.streamed) {
      std::string cured = a.bytes();
      EXPECT_EQ(cured.find(kEicar), std::string::npos);
      EXPECT_NE(cured.find("keep me"), std::string::npos);
      EXPECT_EQ(on_disk, msg);  // streamed mode never touches the file
    } else if (r.flags & kScanCure) {
      EXPECT_EQ(on_disk.find(kEicar), std::string::npos);
      EXPECT_NE(on_disk.find("was removed by the virus scanner"), std::string::npos);
    }
    EXPECT_TRUE(a.at_end());
  }
}

TEST_F(DaemonTest, LocalTreatmentReplacesTheFileKeepingItsModeAndLeavesNoTemporaryFile) {
  start();
  std::string path = dir_.write("msg", message_with(kEicar));
  ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
  // As root the owner can be someone else, and must stay so.
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(path.c_str(), 4242, 4343), 0);
  }
  struct stat before {};
  ASSERT_EQ(::stat(path.c_str(), &before), 0);
  Reader a(exchange(address(), scan_request(kScanRemoveInfected, path, "")));
  EXPECT_EQ(a.u32(), 0x80020u);
  EXPECT_TRUE(a.at_end());
  struct stat after {};
  ASSERT_EQ(::stat(path.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0640u);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_NE(after.st_ino, before.st_ino);  // replaced by a rename, not rewritten in place
  std::string text = zvtest::read_file(path);
  EXPECT_EQ(text.find(kEicar), std::string::npos);
  EXPECT_NE(text.find("keep me"), std::string::npos);
  EXPECT_NE(
      daemon_->log().find("zvscand: scan <" + path + "> local " + std::to_string(before.st_size) +
                          " bytes: status 0x80020, EICAR-Test-File,K, rewritten, "),
      std::string::npos)
      << daemon_->log();
  // Scanned again, the treated file is clean.
  EXPECT_EQ(exchange(address(), scan_request(0, path, "")), be32(0));
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 4);  // msg, the socket, the pid file, the log
}

TEST_F(DaemonTest, LocalFileThatCannotBeScannedGivesItsStatus) {
  start();
  std::string target = dir_.write("real", message_with(kEicar));
  ASSERT_EQ(::symlink(target.c_str(), dir_.file("link").c_str()), 0);
  ASSERT_EQ(::mkdir(dir_.file("dir").c_str(), 0700), 0);
  struct Row {
    std::string path;
    uint32_t status;
    std::string report;
  };
  const Row rows[] = {
      {dir_.file("missing"), kStatusReadError,
       dir_.file("missing") + " cannot be opened: No such file or directory\n"},
      {dir_.file("link"), kStatusSymlink, dir_.file("link") + " is a symbolic link, skipped\n"},
      {dir_.file("dir"), kStatusNotRegular, dir_.file("dir") + " is not a regular file, skipped\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.path);
    Reader a(exchange(address(), scan_request(kScanReport | kScanCure, r.path, "")));
    EXPECT_EQ(a.u32(), r.status);
    EXPECT_EQ(a.list(), std::vector<std::string>{r.report});
    EXPECT_TRUE(a.at_end());
  }
}

TEST_F(DaemonTest, FaultInjection) {
  std::string path = dir_.write("clean", "Subject: x\r\n\r\nhello\r\n");
  // A fixed status for every scan; a cured status in streamed mode still ends with a file.
  start({"--status=0x100"});
  Reader forced(exchange(address(), scan_request(0, path, "Subject: x\r\n\r\nhello\r\n")));
  EXPECT_EQ(forced.u32(), 0x100u);
  EXPECT_EQ(forced.bytes(), "Subject: x\r\n\r\nhello\r\n");
  EXPECT_TRUE(forced.at_end());
  daemon_.reset();
  // Dropped: the request is read and the session closed without a byte.
  start({"--drop"});
  EXPECT_EQ(exchange(address(), scan_request(0, path, "")), "");
  EXPECT_EQ(exchange(address(), be32(2)), "");
  daemon_.reset();
  // Delayed answers.
  start({"--delay-ms=400"});
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(exchange(address(), scan_request(0, path, "")), be32(0));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
}

// A client that gave up on a slow answer removes its file; the daemon's treatment must
// not bring the file back.
TEST_F(DaemonTest, LocalTreatmentOfAFileRemovedMeanwhileLeavesNothing) {
  start({"--delay-ms=1500"});
  std::string path = dir_.write("msg", message_with(kEicar));
  std::thread remover([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    ::unlink(path.c_str());
  });
  Reader a(exchange(address(), scan_request(kScanRemoveInfected, path, "")));
  remover.join();
  EXPECT_EQ(a.u32(), 0x22u);  // the virus, and the rewrite that failed
  EXPECT_TRUE(a.at_end());
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir_.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 3) << daemon_->log();  // the socket, the pid file, the log
  EXPECT_NE(daemon_->log().find("zvscand: scan <" + path + "> local "), std::string::npos)
      << daemon_->log();
  EXPECT_EQ(daemon_->log().find("rewritten"), std::string::npos) << daemon_->log();
}

TEST_F(DaemonTest, MalformedRequestsCloseTheSessionOnly) {
  start();
  const std::string requests[] = {
      be32(7),                                                             // unknown command
      be32(1) + be32(0) + be32(0x40000000),                                // sender of 1 GiB
      be32(1) + be32(0) + bs("") + be32(0xFFFFFFFF),                       // 4 billion recipients
      be32(1) + be32(0) + bs("") + be32(0) + bs("/x") + be32(0x7FFFFFFF),  // 2 GiB content
  };
  for (const auto& r : requests) EXPECT_EQ(exchange(address(), r), "");
  EXPECT_EQ(exchange(address(), be32(2)), be32(433));
  // Content announced within the cap but never sent: nothing is reserved for it.
  auto peak_kb = [&] {
    std::string status = zvtest::read_file("/proc/" + std::to_string(daemon_->pid()) + "/status");
    size_t at = status.find("VmHWM:");
    return at == std::string::npos ? -1L : std::stol(status.substr(at + 6));
  };
  const long before = peak_kb();
  const std::string request =
      be32(1) + be32(0) + bs("") + be32(0) + bs("/x") + be32(200u << 20) + "only these bytes";
  int fd = connect_to(address());
  ASSERT_GE(fd, 0);
  EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  ::shutdown(fd, SHUT_WR);  // and no more
  char byte = 0;
  EXPECT_EQ(::recv(fd, &byte, 1, 0), 0);  // the session ends without an answer
  ::close(fd);
  EXPECT_LT(peak_kb() - before, 32 * 1024) << "the daemon reserved the announced 200 MiB";
}

TEST_F(DaemonTest, PidFileListsEveryAddressAndStopRemovesItWithTheSockets) {
  std::string sock = dir_.file("d.sock");
  daemon_ = std::make_unique<zvtest::Peer>(
      zvtest::zvscand_program(),
      std::vector<std::string>{"--listen=local:" + sock, "--listen=inet:0@127.0.0.1"}, dir_,
      "zvscand", 2);
  ASSERT_TRUE(daemon_->ready()) << daemon_->log();
  std::string pid_text = zvtest::read_file(daemon_->pidfile());
  EXPECT_EQ(pid_text.substr(0, pid_text.find('\n')), std::to_string(daemon_->pid()));
  std::vector<std::string> lines = daemon_->addresses();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], sock);
  EXPECT_EQ(lines[1].rfind("127.0.0.1:", 0), 0u);
  EXPECT_NE(lines[1], "127.0.0.1:0");
  EXPECT_EQ(exchange(daemon_->address(1), be32(2)), be32(433));
  EXPECT_EQ(daemon_->stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(daemon_->pidfile()));
  EXPECT_FALSE(std::filesystem::exists(sock));
}

TEST_F(DaemonTest, SighupReloadsSignaturesAndKeepsThemWhenTheNewFileIsBad) {
  std::string sigs = dir_.write("sigs", "K:Old-Sig:\"OLD-SIG\"\n");
  start({"--signatures=" + sigs});
  std::string path = dir_.write("msg", "Subject: x\r\n\r\nNEW-SIG OLD-SIG\r\n");
  auto lines = [&] {
    Reader a(exchange(address(), scan_request(kScanVirusLists, path, "")));
    a.u32();
    return a.list();
  };
  EXPECT_EQ(lines(), std::vector<std::string>{"Old-Sig,K"});
  dir_.write("sigs", "K:New-Sig:\"NEW-SIG\"\n");
  daemon_->signal(SIGHUP);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (lines() != std::vector<std::string>{"New-Sig,K"} &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(lines(), std::vector<std::string>{"New-Sig,K"});
  dir_.write("sigs", "Q:Broken:41\n");
  daemon_->signal(SIGHUP);
  while (daemon_->log().find("reload failed") == std::string::npos &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_NE(daemon_->log().find("zvscand: reload failed, keeping the old signatures: " + sigs +
                                ":1: unknown kind 'Q'"),
            std::string::npos);
  EXPECT_EQ(lines(), std::vector<std::string>{"New-Sig,K"});
}

TEST_F(DaemonTest, CommandLineErrorsAndHelp) {
  std::string out;
  EXPECT_EQ(zvtest::run_program(zvtest::zvscand_program(), {"--help"}, dir_, &out), 0);
  for (const char* option :
       {"--listen=ADDRESS", "--foreground", "--pidfile=PATH", "--signatures=FILE",
        "--daemon-version=N", "--delay-ms=N", "--drop", "--status=0xHEX", "--help"})
    EXPECT_NE(out.find(std::string("  ") + option), std::string::npos) << option;
  struct Row {
    std::vector<std::string> args;
    int status;
    const char* text;
  };
  const Row rows[] = {
      {{}, 64, "zvscand: at least one --listen=ADDRESS is needed"},
      {{"--listen=local:/x", "--status=12"}, 64, "--status needs a hexadecimal word"},
      {{"--listen=local:/x", "--delay-ms=soon"}, 64, "--delay-ms needs a number"},
      {{"--listen=local:/x", "--bogus"}, 64, "unknown or incomplete option --bogus"},
      {{"--listen=local:/x", "--signatures=" + dir_.file("none")}, 78, "bad signatures file"},
      {{"--listen=tcp:1@localhost", "--foreground"}, 71, "expected local:PATH or inet:PORT@HOST"},
      {{"--listen=local:relative", "--foreground"}, 71, "socket path must be absolute"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(zvtest::run_program(zvtest::zvscand_program(), r.args, dir_, &out), r.status);
    EXPECT_NE(out.find(r.text), std::string::npos) << out;
  }
}

TEST_F(DaemonTest, DetachedDaemonIsReadyWhenTheCommandReturns) {
  // This process becomes the child subreaper, so the detached daemon is adopted by it
  // rather than by init: its pid stays ours until we reap it, so it is safe to signal,
  // and its exit status can be checked.
  ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct Adoption {
    ~Adoption() {
      while (waitpid(-1, nullptr, WNOHANG) > 0) {
      }  // the intermediate processes of the detaching
      prctl(PR_SET_CHILD_SUBREAPER, 0);
    }
  } adoption;
  std::string pidfile = dir_.file("bg.pid");
  std::string out;
  ASSERT_EQ(zvtest::run_program(zvtest::zvscand_program(),
                                {"--listen=local:" + dir_.file("bg.sock"), "--pidfile=" + pidfile},
                                dir_, &out),
            0)
      << out;
  pid_t pid = std::atoi(zvtest::read_file(pidfile).c_str());
  ASSERT_GT(pid, 1);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the pid file names no running child of ours";
  // Stopped, whatever happens below, while its pid cannot have been reused.
  struct Killer {
    pid_t pid;
    bool reaped = false;
    ~Killer() {
      if (reaped) return;
      ::kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  } killer{pid};
  EXPECT_EQ(out, "");  // nothing on the terminal once detached
  EXPECT_EQ(exchange("local:" + dir_.file("bg.sock"), be32(2)), be32(433));
  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!killer.reaped && std::chrono::steady_clock::now() < deadline) {
    killer.reaped = waitpid(pid, &status, WNOHANG) == pid;
    if (!killer.reaped) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(killer.reaped) << "the daemon did not end on SIGTERM";
  // A clean exit also means no sanitizer report from the daemon in sanitizer builds.
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "wait status " << status;
  EXPECT_FALSE(std::filesystem::exists(pidfile));
  EXPECT_FALSE(std::filesystem::exists(dir_.file("bg.sock")));
}
