// The file tests of the configuration check against the stand-in scanning daemon: the
// test message as it lands in the spool, the daemon's verdict, and that every failure
// (and every passed spool or quarantine test) leaves nothing behind.
#include "zv_checkfiles.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zv_options.h"
#include "zvc_lib.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(dir, ec))
    out.push_back(e.path().filename());
  return out;
}

bool has_line_like(const CaptureLog& log, const std::string& head, const std::string& tail) {
  for (const std::string& t : log.texts())
    if (t.size() >= head.size() + tail.size() && t.rfind(head, 0) == 0 &&
        t.compare(t.size() - tail.size(), tail.size(), tail) == 0)
      return true;
  return false;
}

struct FreeName {
  void operator()(char* p) const { std::free(p); }
};
using Name = std::unique_ptr<char, FreeName>;

TEST(CheckMessage, IsTheMimeTestMessageWithATerminatingZero) {
  // Built from two halves so that this test program does not hold the string whole.
  const std::string eicar =
      std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-") + "STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
  const std::vector<std::string> lines = {
      "Subject: Standard antivirus test file",
      "Mime-Version: 1.0",
      "Content-Type: multipart/mixed; boundary=\"test\"",
      "Content-Disposition: inline",
      "",
      "--test",
      "Content-Type: text/plain; charset=us-ascii",
      "Content-Disposition: inline",
      "",
      "Attachment to this message contains standard antivirus test file.",
      "--test",
      "Content-Type: application/x-msdos-program",
      "Content-Disposition: attachment; filename=\"eicar.com\"",
      "",
      eicar,
      "--test--",
  };
  std::string expected;
  for (const std::string& l : lines) expected += l + "\r\n";
  expected.push_back('\0');
  ASSERT_EQ(expected.size(), kCheckMessageLength);
  CheckMessage message = check_message();
  EXPECT_EQ(std::string(message.data(), message.size()), expected);
  // The first piece ends after the seventh character of the test string.
  EXPECT_EQ(expected.substr(kCheckMessageFirstPiece - 7, 7), eicar.substr(0, 7));
}

// A spool and a quarantine directory, and the client library started against a stand-in
// daemon run with the given options.
class CheckFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(spool_dir_.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(quarantine_dir_.c_str(), 0700), 0);
  }
  void TearDown() override { stop_library(); }

  void start_daemon(std::vector<std::string> options = {}) {
    stop_library();
    daemon_.reset();
    options.push_back("--listen=local:" + dir_.file("zvscand.sock"));
    daemon_.emplace(zvtest::zvscand_program(), options, dir_, "zvscand");
    ASSERT_TRUE(daemon_->ready()) << daemon_->log();
    ASSERT_EQ(startup(kZvcVersion, daemon_->address().c_str(), 10, 0), kZvcOk);
    started_ = true;
  }
  void stop_library() {
    if (started_) {
      EXPECT_EQ(cleanup(), kZvcOk);
    }
    started_ = false;
  }
  static SpoolFileSpec spec(std::string& directory, std::string& prefix) {
    return SpoolFileSpec{directory.data(), prefix.data(), NAMING_STD, 0600};
  }
  void expect_empty() {
    EXPECT_EQ(entries(spool_dir_), std::vector<std::string>{});
    EXPECT_EQ(entries(quarantine_dir_), std::vector<std::string>{});
  }

  TempDir dir_;
  std::string spool_dir_ = dir_.file("spool");
  std::string quarantine_dir_ = dir_.file("quarantine");
  std::string spool_prefix_ = "zarvik.tmp.";
  std::string quarantine_prefix_ = "zarvik.quarantine.";
  SpoolFileSpec spool_ = spec(spool_dir_, spool_prefix_);
  SpoolFileSpec quarantine_ = spec(quarantine_dir_, quarantine_prefix_);
  std::optional<zvtest::Peer> daemon_;
  bool started_ = false;
};

TEST_F(CheckFiles, DaemonFindsTheTestFileWhicheverWayItReadsIt) {
  struct Row {
    const char* name;
    int local_scan;
    const char* prefix;
    int strip;
  };
  // Stripping the leading "/" and putting it back as the prefix names the same file.
  const Row rows[] = {
      {"by path", 1, nullptr, 0},
      {"content streamed", 0, nullptr, 0},
      {"normalised name", 1, "/", 1},
      // The daemon's name leads nowhere here: the streamed content is read by ours.
      {"content streamed under the daemon's name", 0, "/chroot", 0},
  };
  start_daemon();
  const CheckMessage message = check_message();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    CaptureLog log(ZV_LOG_INFO);
    char* raw = nullptr;
    ASSERT_EQ(check_scan(&spool_, row.local_scan, row.prefix, row.strip, &raw), 1);
    Name name(raw);
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(std::filesystem::path(name.get()).parent_path(), spool_dir_);
    EXPECT_EQ(zvtest::read_file(name.get()), std::string(message.data(), message.size()));
    EXPECT_EQ(log.texts(), std::vector<std::string>{
                               "check_scan: daemon return 0x20 code (known virus is found)"});
    ASSERT_EQ(unlink(name.get()), 0);
  }
}

TEST_F(CheckFiles, FailedScanRemovesTheTestFile) {
  struct Row {
    const char* name;
    std::vector<std::string> daemon;  // options of the stand-in daemon
    bool stop_daemon;                 // stopped before the scan
    int local_scan;
    const char* prefix;
    int strip;
    std::string head;  // the last error line begins and ends so
    std::string tail;
  };
  const Row rows[] = {
      {"test virus not reported",
       {"--status=0x40"},
       false,
       1,
       nullptr,
       0,
       "check_scan: daemon cannot detect standard test file (EICAR) - (0x40) possible unknown "
       "virus is found",
       ""},
      {"name cannot be normalised",
       {},
       false,
       0,
       nullptr,
       99,
       "check_scan: cannot normalize path ",
       " with expand=0, prefix=null, shift=99"},
      {"daemon gets a name it cannot open",
       {},
       false,
       1,
       "/nonexistent",
       0,
       "check_scan: daemon cannot detect standard test file (EICAR) - ",
       ""},
      {"no daemon", {}, true, 1, nullptr, 0, "check_scan: cannot scan spool file (-12)", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    start_daemon(row.daemon);
    if (row.stop_daemon) {
      ASSERT_EQ(daemon_->stop(), 0);
    }
    CaptureLog log(ZV_LOG_INFO);
    char* raw = reinterpret_cast<char*>(1);
    EXPECT_EQ(check_scan(&spool_, row.local_scan, row.prefix, row.strip, &raw), 0);
    EXPECT_EQ(raw, nullptr);
    EXPECT_TRUE(has_line_like(log, row.head, row.tail)) << testing::PrintToString(log.texts());
    expect_empty();
  }
}

// A real EFBIG from the kernel: the file size limit stops the test message half way.
TEST_F(CheckFiles, WriteFailureRemovesTheTestFile) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CaptureLog log(ZV_LOG_INFO);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{100, 100};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    char* name = nullptr;
    if (check_scan(&spool_, 1, nullptr, 0, &name) != 0 || name != nullptr) _exit(11);
    if (!log.has("check_scan: cannot write to spool file - (27) File too large")) _exit(12);
    _exit(entries(spool_dir_).empty() ? 0 : 13);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setrlimit, 11 result, 12 log line, 13 file left";
}

TEST_F(CheckFiles, SpoolAndQuarantineTestsLeaveNothingBehind) {
  start_daemon();
  {
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(check_spool(&spool_, 1, nullptr, 0), 0);
    EXPECT_EQ(check_move(&spool_, &quarantine_, 1, nullptr, 0), 0);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>(2,
                                       "check_scan: daemon return 0x20 code (known virus is "
                                       "found)"));
    expect_empty();
  }
  {
    SCOPED_TRACE("quarantine directory missing");
    std::string missing = dir_.file("missing");
    SpoolFileSpec nowhere = spec(missing, quarantine_prefix_);
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(check_move(&spool_, &nowhere, 1, nullptr, 0), -1);
    EXPECT_TRUE(log.has("check_move: cannot create archive file null"));
    expect_empty();
  }
  {
    SCOPED_TRACE("test file not found");
    start_daemon({"--status=0x0"});
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(check_spool(&spool_, 1, nullptr, 0), -1);
    EXPECT_EQ(check_move(&spool_, &quarantine_, 1, nullptr, 0), -1);
    EXPECT_TRUE(log.has("check_spool: cannot test spool file"));
    EXPECT_TRUE(log.has("check_move: cannot test spool-file"));
    expect_empty();
  }
}

TEST(CheckFile, TemplateMustOpenAndHoldTenBytes) {
  TempDir dir;
  struct Row {
    const char* name;
    std::optional<std::string> content;  // none: no such file
    bool null_path;
    int result;
    std::vector<std::string> lines;  // $F stands for the path
  };
  const Row rows[] = {
      {"ten bytes", "1234567890", false, 0, {}},
      {"longer", "12345678901234567890", false, 0, {}},
      {"nine bytes", "123456789", false, -1, {"check_file: error reading $F - (0) Success"}},
      {"empty", "", false, -1, {"check_file: error reading $F - (0) Success"}},
      {"missing",
       std::nullopt,
       false,
       -1,
       {"check_file: cannot open $F - (2) No such file or directory"}},
      {"no path", std::nullopt, true, -1, {"check_file: no files specify to check"}},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    std::string path = dir.file("template" + std::to_string(n++));
    if (row.content) dir.write(path.substr(dir.path().size() + 1), *row.content);
    CaptureLog log(ZV_LOG_INFO);
    EXPECT_EQ(check_file(row.null_path ? nullptr : path.c_str()), row.result);
    std::vector<std::string> expected;
    for (const std::string& l : row.lines) {
      std::string e = l;
      size_t at = e.find("$F");
      if (at != std::string::npos) e.replace(at, 2, path);
      expected.push_back(e);
    }
    EXPECT_EQ(log.texts(), expected);
  }
}

}  // namespace
