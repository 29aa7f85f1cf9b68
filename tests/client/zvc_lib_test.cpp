// Scan and version requests against an in-process daemon on a Unix socket and on TCP.
#include "zvc_lib.h"

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/zvc_fake_peer.h"
#include "support/zv_refusing.h"
#include "support/zv_test_support.h"

namespace {

using zvtest::be32;
using zvtest::blist;
using zvtest::bstr;
using zvtest::CaptureLog;
using zvtest::FakePeer;
using zvtest::Recorder;
using zvtest::TempDir;

constexpr uint32_t kFilterFlags = 0x80000000u | kScanAlways;

// The bytes of a scan request as the client must send them.
std::string scan_request(uint32_t flags, uint32_t extended, const std::string& sender,
                         const std::vector<std::string>& rcpts, const std::string& path,
                         const std::string& content) {
  std::string r = be32(1) + be32(flags | kScanMail);
  if (flags & kScanExtended) r += be32(extended);
  r += bstr(sender) + be32(static_cast<uint32_t>(rcpts.size()));
  for (const auto& x : rcpts) r += bstr(x);
  return r + bstr(path) + be32(static_cast<uint32_t>(content.size())) + content;
}

class LibTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rcpts_.reset(strings::create(0));
    ASSERT_EQ(strings::add(rcpts_.get(), "bob@example.org"), 1);
    ASSERT_EQ(strings::add(rcpts_.get(), "carol@example.org"), 1);
  }
  void TearDown() override {
    if (started()) {
      EXPECT_EQ(cleanup(), 0);
    }
  }
  int scan(const std::string& path, int local, uint32_t flags, ScanResult** result,
           uint32_t limit = 0) {
    return scanmail(path.c_str(), path.size(), local, flags, 0x12, result, limit,
                    "alice@example.com", rcpts_.get());
  }
  std::unique_ptr<FakePeer> peer(bool tcp, FakePeer::Handler h) {
    return tcp ? FakePeer::on_tcp(std::move(h)) : FakePeer::on_unix(dir_.file("d.sock"), h);
  }
  const std::vector<std::string> rcpt_names_{"bob@example.org", "carol@example.org"};
  CaptureLog log_{ZV_LOG_DEBUG};
  TempDir dir_;
  StringListPtr rcpts_;
};

TEST_F(LibTest, StartupChecksVersionAndState) {
  EXPECT_EQ(startup(0x0507, "local:/x", 5, 0), kZvcBadParameters);
  EXPECT_TRUE(log_.has("zvlib: startup: library major version (4) and requested (5) is different"));
  EXPECT_EQ(startup(0x0407, nullptr, 5, 0), kZvcBadParameters);
  EXPECT_TRUE(log_.has("zvlib: startup: daemon address not specified"));
  EXPECT_EQ(startup(0x0407, "local:relative", 5, 0), kZvcExchangeFailed);
  EXPECT_TRUE(log_.has("zvlib: startup: cannot create IPC with specification <local:relative>"));
  EXPECT_FALSE(started());
  EXPECT_FALSE(ipc::initialised());

  EXPECT_EQ(startup(0x0408, "local:/x", 5, 0), kZvcOk);
  EXPECT_TRUE(log_.has("zvlib: startup: library minor version (7) and requested (8) is different"));
  EXPECT_EQ(startup(0x0407, "local:/x", 5, 0), kZvcWrongState);
  EXPECT_TRUE(log_.has("zvlib: startup: library already initialized"));
  EXPECT_EQ(add_address("local:relative", 5, 0), kZvcExchangeFailed);
  EXPECT_EQ(cleanup(), kZvcOk);
  EXPECT_EQ(cleanup(), kZvcWrongState);
  EXPECT_TRUE(log_.has("zvlib: cleanup: library has not been initialized"));
  EXPECT_EQ(add_address("local:/y", 5, 0), kZvcExchangeFailed);

  ScanResult* result = reinterpret_cast<ScanResult*>(0x1);
  EXPECT_EQ(scan("/tmp/f", 0, 0, &result), kZvcNotStarted);
  EXPECT_EQ(result, nullptr);
  EXPECT_TRUE(log_.has("zvlib: scanmail: library is not initialized"));
  int major = 0, minor = 0;
  EXPECT_EQ(get_version(&major, &minor), kZvcNotStarted);
}

TEST_F(LibTest, ScanRequestIsByteExactOverUnixAndTcp) {
  std::string content(300, 'm');
  std::string path = dir_.write("msg.1", content);
  for (int tcp = 0; tcp < 2; ++tcp) {
    for (int local = 0; local < 2; ++local) {
      SCOPED_TRACE(std::string(tcp ? "tcp" : "unix") + (local ? " local" : " streamed"));
      std::string want = scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, path,
                                      local ? "" : content);
      Recorder rec;
      auto p = peer(tcp, rec.handler(want.size(), be32(0)));
      ASSERT_TRUE(p);
      ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
      ScanResult* result = nullptr;
      EXPECT_EQ(scan(path, local, kFilterFlags, &result), kZvcOk);
      ScanResultPtr owned(result);
      ASSERT_TRUE(owned);
      EXPECT_EQ(scanresult_status(result), 0u);
      EXPECT_TRUE(p->wait_handled(1));
      EXPECT_EQ(rec.request(0), want);
      EXPECT_EQ(cleanup(), kZvcOk);
    }
  }
}

// The daemon's name of the file travels in the request; the content streamed comes from
// the file under this process's name, which a local scan never opens.
TEST_F(LibTest, ScanOfAFileTheDaemonKnowsByAnotherName) {
  std::string content(300, 'n');
  std::string file = dir_.write("msg.2", content);
  const std::string daemon_name = "/chroot" + file;
  struct Case {
    const char* name;
    int local;
    std::string opened;  // this process's name of the file
    std::string sent;    // the content the daemon gets
  };
  const Case cases[] = {
      {"streamed", 0, file, content},
      {"local scan", 1, dir_.file("never-opened"), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string want =
        scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, daemon_name, c.sent);
    Recorder rec;
    auto p = peer(false, rec.handler(want.size(), be32(0)));
    ASSERT_TRUE(p);
    ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
    ScanResult* result = nullptr;
    EXPECT_EQ(scanmail_file(c.opened.c_str(), daemon_name.c_str(), daemon_name.size(), c.local,
                            kFilterFlags, 0x12, &result, 0, "alice@example.com", rcpts_.get()),
              kZvcOk);
    ScanResultPtr owned(result);
    EXPECT_TRUE(p->wait_handled(1));
    EXPECT_EQ(rec.request(0), want);
    EXPECT_EQ(cleanup(), kZvcOk);
  }
}

TEST_F(LibTest, ReadsEveryOptionalItemOfTheAnswer) {
  std::string path = dir_.write("msg.2", "infected body");
  const uint32_t flags = kScanReport | kScanStatistics | kScanVirusLists | kScanRuleName;
  std::string stats = be32(2) + be32(0x20) + be32(2) + be32(0x100) + be32(1);
  std::string items = blist({"EICAR-Test-File,K", "Trojan.X,K", "Mod.Y,M", "Ad.Z,A"}) +
                      bstr("block-exe") + blist({path + " infected\n", "summary\n"}) + stats;
  for (int local = 0; local < 2; ++local) {
    SCOPED_TRACE(local ? "local" : "streamed");
    std::string want = scan_request(flags, 0, "alice@example.com", rcpt_names_, path,
                                    local ? "" : "infected body");
    // Only a streamed request gets the cured copy back.
    std::string answer = be32(0x120) + items + (local ? "" : bstr("cured body"));
    Recorder rec;
    auto p = peer(false, rec.handler(want.size(), answer));
    ASSERT_TRUE(p);
    ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
    ScanResult* result = nullptr;
    ASSERT_EQ(scan(path, local, flags, &result), kZvcOk);
    ScanResultPtr r(result);
    EXPECT_EQ(rec.request(0), want);
    EXPECT_EQ(r->status, 0x120u);
    VirusLists* v = scanresult_viruses(result);
    ASSERT_NE(v->get(kVirusKnown), nullptr);
    EXPECT_EQ(v->get(kVirusKnown)->items, (std::deque<std::string>{"EICAR-Test-File", "Trojan.X"}));
    EXPECT_EQ(v->get(kVirusModification)->items.front(), "Mod.Y");
    EXPECT_EQ(v->get(kVirusAdware)->items.front(), "Ad.Z");
    EXPECT_EQ(v->get(kVirusSuspicious), nullptr);
    EXPECT_STREQ(scanresult_rule(result), "block-exe");
    EXPECT_STREQ(scanresult_report(result), "msg.2 infected\nsummary\n");
    EXPECT_EQ(scanresult_stats(result)->known, 2);
    EXPECT_EQ(scanresult_stats(result)->cured, 1);
    EXPECT_EQ(scanresult_stats(result)->scanned, 1);
    if (local) {
      EXPECT_EQ(scanresult_cured(result), nullptr);
    } else {
      ASSERT_NE(scanresult_cured(result), nullptr);
      EXPECT_EQ(std::string(scanresult_cured(result), scanresult_cured_length(result)),
                "cured body");
      EXPECT_TRUE(log_.has("zvlib: scan::daemon_answer cured file length 10"));
    }
    EXPECT_EQ(cleanup(), kZvcOk);
  }
}

// Every item of an answer has a cap by its kind. At the cap the scan succeeds; one byte
// (or one line) more fails the exchange with -2 and no record, whatever the daemon sends.
TEST_F(LibTest, AnswerItemsBeyondTheirCapsFailTheExchange) {
  const std::string body = "body";
  std::string path = dir_.write("msg.caps", body);
  auto lines = [](uint32_t count, const std::string& line) {
    return blist(std::vector<std::string>(count, line));
  };
  const uint32_t cured_cap = max_cured_length(static_cast<uint32_t>(body.size()));
  struct Row {
    const char* name;
    uint32_t flags;
    std::function<std::string(uint32_t extra)> answer;  // extra: 0 at the cap, 1 beyond it
  };
  const Row rows[] = {
      {"report line", kScanReport,
       [](uint32_t x) {
         // The line travels with its terminator, which counts on the wire.
         return be32(0) + blist({std::string(kMaxReportLineLength - 1 + x, 'r')});
       }},
      {"report lines", kScanReport,
       [&](uint32_t x) { return be32(0) + lines(kMaxAnswerListCount + x, "x\n"); }},
      {"virus name", kScanVirusLists,
       [](uint32_t x) {
         return be32(0x20) + blist({std::string(kMaxVirusLineLength - 3 + x, 'v') + ",K"});
       }},
      {"virus lines", kScanVirusLists,
       [&](uint32_t x) { return be32(0x20) + lines(kMaxAnswerListCount + x, "v,K"); }},
      {"rule name", kScanRuleName,
       [](uint32_t x) { return be32(0x20000) + bstr(std::string(kMaxRuleNameLength + x, 'n')); }},
      {"cured copy", 0,
       [&](uint32_t x) { return be32(0x100) + bstr(std::string(cured_cap + x, 'c')); }},
  };
  for (const Row& r : rows) {
    for (uint32_t extra = 0; extra < 2; ++extra) {
      SCOPED_TRACE(std::string(r.name) + (extra ? " beyond the cap" : " at the cap"));
      uint32_t flags = kFilterFlags | r.flags;
      std::string want = scan_request(flags, 0x12, "alice@example.com", rcpt_names_, path, body);
      Recorder rec;
      auto p = peer(false, rec.handler(want.size(), r.answer(extra)));
      ASSERT_TRUE(p);
      ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
      ScanResult* result = nullptr;
      int rc = scan(path, 0, flags, &result);
      ScanResultPtr owned(result);
      EXPECT_EQ(rc, extra ? kZvcExchangeFailed : kZvcOk);
      EXPECT_EQ(result != nullptr, extra == 0);
      EXPECT_EQ(rec.request(0), want);
      EXPECT_EQ(cleanup(), kZvcOk);
    }
  }
}

TEST_F(LibTest, StreamsContentInPiecesOf4096) {
  std::string content;
  for (int i = 0; i < 10000; ++i) content += static_cast<char>('a' + i % 26);
  std::string path = dir_.write("big", content);
  std::string want =
      scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, path, content);
  Recorder rec;
  auto p = peer(true, rec.handler(want.size(), be32(0)));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
  ScanResult* result = nullptr;
  ASSERT_EQ(scan(path, 0, kFilterFlags, &result), kZvcOk);
  scanresult_delete(result);
  EXPECT_EQ(rec.request(0), want);
  std::vector<std::string> pieces;
  for (const auto& t : log_.texts()) {
    if (t.rfind("zvlib: ipc: sent ", 0) == 0 && t.find("need 4096") != std::string::npos)
      pieces.push_back(t);
    if (t.rfind("zvlib: ipc: sent ", 0) == 0 && t.find("need 1808") != std::string::npos)
      pieces.push_back(t);
  }
  EXPECT_EQ(pieces, (std::vector<std::string>{
                        "zvlib: ipc: sent 4096 bytes (need 4096 bytes) - errorcode[0]",
                        "zvlib: ipc: sent 4096 bytes (need 4096 bytes) - errorcode[0]",
                        "zvlib: ipc: sent 1808 bytes (need 1808 bytes) - errorcode[0]"}));
  // The request's items up to the size int leave in one send, ahead of the pieces.
  const std::string header = std::to_string(want.size() - 10000);
  EXPECT_TRUE(
      log_.has("zvlib: ipc: sent " + header + " bytes (need " + header + " bytes) - errorcode[0]"));
}

TEST_F(LibTest, EmptyFileIsAnsweredWithoutTheDaemon) {
  std::string path = dir_.write("empty", "");
  Recorder rec;
  auto p = peer(false, rec.handler(1, ""));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
  const std::string text = path + " - the size of the file is equal to zero, skipped\n";
  struct Row {
    uint32_t flags;
    uint32_t limit;
    std::string report;  // empty: none
  };
  const Row rows[] = {
      {kFilterFlags, 0, ""},
      {kFilterFlags | kScanReport, 0, text},
      {kFilterFlags | kScanReport, static_cast<uint32_t>(text.size() + 3), text},
      {kFilterFlags | kScanReport, static_cast<uint32_t>(text.size() + 2),
       text.substr(0, text.size())},
      {kFilterFlags | kScanReport, 12, text.substr(0, 10)},
  };
  int n = 0;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.limit);
    ScanResult* result = nullptr;
    ASSERT_EQ(scan(path, 0, r.flags, &result, r.limit), kZvcOk);
    ScanResultPtr owned(result);
    EXPECT_EQ(scanresult_status(result), 0x100000u);
    if (r.report.empty())
      EXPECT_FALSE(result->report);
    else
      EXPECT_EQ(scanresult_report(result), r.report);
    ++n;
    EXPECT_TRUE(p->wait_handled(n));
    EXPECT_EQ(rec.request(static_cast<size_t>(n - 1)), "");  // not one byte sent
  }
}

TEST_F(LibTest, FailureCodes) {
  std::string path = dir_.write("msg", "body");
  // A daemon that takes the request and hangs up before the status.
  Recorder rec;
  std::string want =
      scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, path, "body");
  auto p = peer(false, rec.handler(want.size(), "", true));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
  ScanResult* result = nullptr;
  EXPECT_EQ(scan(path, 0, kFilterFlags, &result), kZvcExchangeFailed);
  EXPECT_EQ(result, nullptr);
  EXPECT_TRUE(log_.has("zvlib: scanfile failed"));

  // A daemon that hangs up at once: streaming a large file fails, and no record is made.
  auto quitter = peer(true, [](int) {});
  ASSERT_TRUE(quitter);
  std::string big = dir_.write("big", std::string(4 << 20, 'b'));
  ASSERT_EQ(cleanup(), kZvcOk);
  ASSERT_EQ(startup(kZvcVersion, quitter->address().c_str(), 10, 0), kZvcOk);
  EXPECT_EQ(scan(big, 0, kFilterFlags, &result), kZvcExchangeFailed);
  EXPECT_EQ(result, nullptr);
  ASSERT_EQ(cleanup(), kZvcOk);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);

  // Bad paths never reach the daemon.
  int before = p->connections();
  EXPECT_EQ(scanmail(path.c_str(), 0, 0, 0, 0, &result, 0, nullptr, nullptr), kZvcBadParameters);
  std::string long_path(1025, 'p');
  EXPECT_EQ(scanmail(long_path.c_str(), 1025, 0, 0, 0, &result, 0, nullptr, nullptr),
            kZvcBadParameters);
  EXPECT_EQ(scanmail(path.c_str(), path.size() + 1, 0, 0, 0, &result, 0, nullptr, nullptr),
            kZvcBadParameters);
  EXPECT_TRUE(log_.has("zvlib: scanmail: bad parameters"));
  EXPECT_EQ(scanmail(path.c_str(), path.size(), 0, 0, 0, nullptr, 0, nullptr, nullptr),
            kZvcBadParameters);
  EXPECT_TRUE(log_.contains("zvlib: scanmail (zvc_lib:"));
  EXPECT_EQ(p->connections(), before);
  // The peer accepts in its own thread, so a stray connection may not be counted yet.
  // Once a real scan has been taken in, every earlier connection has been accepted too.
  EXPECT_EQ(scan(path, 0, kFilterFlags, &result), kZvcExchangeFailed);
  EXPECT_EQ(p->connections(), before + 1);

  // A spool file that is gone.
  std::string gone = dir_.file("gone");
  EXPECT_EQ(scan(gone, 0, kFilterFlags, &result), kZvcFileError);
  EXPECT_TRUE(
      log_.has("zvlib: scanmail: cannot open file <" + gone + "> : No such file or directory"));
  EXPECT_EQ(result, nullptr);
  EXPECT_EQ(cleanup(), kZvcOk);

  // Nobody listens.
  ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("nobody")).c_str(), 2, 0), kZvcOk);
  EXPECT_EQ(scan(path, 0, kFilterFlags, &result), kZvcNoDaemon);
  EXPECT_TRUE(log_.has("zvlib: cannot create connection with a Zarvik daemon"));
  EXPECT_TRUE(log_.has("zvlib: scanmail: cannot open scan session with zarvikd"));
  int major = 0, minor = 0;
  EXPECT_EQ(get_version(&major, &minor), kZvcNoDaemon);
}

// The first send of a request, its header, fails (the kernel answers EPIPE): the scan
// fails as an exchange (-2) without a record, and not one byte reaches the daemon.
TEST_F(LibTest, FailedSendOfTheRequestHeaderFailsTheExchange) {
  std::string path = dir_.write("msg", "body");
  Recorder rec;
  auto p = peer(false, rec.handler(1, ""));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 10, 0), kZvcOk);
  EXPECT_CHILD_OK(zvtest::run_refusing({{SYS_sendto, EPIPE}, {SYS_sendmsg, EPIPE}}, [&] {
    std::string failures;
    CaptureLog log(ZV_LOG_DEBUG);
    ScanResult* result = reinterpret_cast<ScanResult*>(0x1);
    int rc = scan(path, 0, kFilterFlags, &result);
    CHILD_CHECK(rc == kZvcExchangeFailed);
    CHILD_CHECK(result == nullptr);
    CHILD_CHECK(log.has("zvlib: scanfile failed"));
    // The exchange ends at the first failed send: nothing further is tried.
    int failed_sends = 0;
    for (const std::string& t : log.texts())
      if (t.rfind("zvlib: fd: send(", 0) == 0 && t.find(") failed - Broken pipe") != t.npos)
        ++failed_sends;
    CHILD_CHECK(failed_sends == 1);
    return failures;
  }));
  EXPECT_TRUE(p->wait_handled(1));
  EXPECT_EQ(rec.request(0), "");
}

TEST_F(LibTest, SilentDaemonTimesOutWithinTheSessionBudget) {
  std::string path = dir_.write("msg", "body");
  std::string want =
      scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, path, "body");
  Recorder rec;
  // Takes the request, then answers nothing until the client gives up.
  auto p = peer(true, rec.handler(want.size(), ""));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 1, 0), kZvcOk);
  int before = zvtest::open_fd_count();
  ScanResult* result = nullptr;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(scan(path, 0, kFilterFlags, &result), kIpcTimeout);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  EXPECT_EQ(result, nullptr);
  int major = 0, minor = 0;
  EXPECT_EQ(get_version(&major, &minor), kIpcTimeout);
  EXPECT_TRUE(p->wait_handled(2));
  EXPECT_EQ(zvtest::open_fd_count(), before);
}

TEST_F(LibTest, FailsOverToTheBackupAndSendsTheContent) {
  std::string content = "message for the backup";
  std::string path = dir_.write("msg", content);
  std::string want =
      scan_request(kFilterFlags, 0x12, "alice@example.com", rcpt_names_, path, content);
  Recorder rec;
  auto p = peer(true, rec.handler(want.size(), be32(0x20)));
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, ("local:" + dir_.file("down.sock")).c_str(), 5, 0), kZvcOk);
  ASSERT_EQ(add_address(p->address().c_str(), 5, 0), kZvcOk);
  ScanResult* result = nullptr;
  ASSERT_EQ(scan(path, 1, kFilterFlags, &result), kZvcOk);
  ScanResultPtr owned(result);
  EXPECT_EQ(scanresult_status(result), 0x20u);
  EXPECT_EQ(rec.request(0), want);
  EXPECT_TRUE(log_.has("zvlib: scanmail: cannot use <localscan> mode on backup zarvikd"));
}

TEST_F(LibTest, PidFileAddressReachesTheDaemon) {
  Recorder rec;
  auto p = FakePeer::on_unix(dir_.file("pid.sock"), rec.handler(4, be32(433)));
  ASSERT_TRUE(p);
  std::string pid = dir_.write("d.pid", "77\n" + dir_.file("pid.sock") + "\n");
  ASSERT_EQ(startup(kZvcVersion, ("pid:" + pid).c_str(), 5, 1), kZvcOk);
  int major = 0, minor = 0;
  EXPECT_EQ(get_version(&major, &minor), kZvcOk);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 33);
  EXPECT_TRUE(p->wait_handled(1));
  EXPECT_EQ(rec.request(0), be32(2));
  EXPECT_EQ(get_version(nullptr, &minor), kZvcBadParameters);
}

// A small daemon: parses each scan request and flags content that holds "VIRUS".
void serve_scans(int fd) {
  uint32_t command = 0;
  zvtest::ScanRequest req;
  if (!zvtest::read_u32(fd, &command) || command != 1 || !zvtest::read_scan_request(fd, &req))
    return;
  bool infected = req.content.find("VIRUS") != std::string::npos;
  std::string answer = be32(infected ? 0x20 : 0);
  answer += infected ? blist({"Test.Virus." + req.recipients.at(0) + ",K"}) : blist({});
  zvtest::write_all(fd, answer);
  zvtest::read_to_eof(fd);
}

TEST_F(LibTest, ManyThreadsScanAtOnce) {
  auto p = peer(false, serve_scans);
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 30, 0), kZvcOk);
  constexpr int kThreads = 12;
  constexpr int kScans = 8;
  std::vector<std::string> paths;
  for (int t = 0; t < kThreads; ++t)
    paths.push_back(dir_.write("m" + std::to_string(t), t % 2 ? "clean text" : "has a VIRUS"));
  int before = zvtest::open_fd_count();
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      StringListPtr rcpts(strings::create(0));
      if (strings::add(rcpts.get(), "user" + std::to_string(t)) != 1) return;
      for (int i = 0; i < kScans; ++i) {
        ScanResult* result = nullptr;
        int rc = scanmail(paths[t].c_str(), paths[t].size(), 0, kFilterFlags | kScanVirusLists, 0,
                          &result, 0, "s@x", rcpts.get());
        ScanResultPtr r(result);
        bool ok = rc == 0 && r && r->status == (t % 2 ? 0u : 0x20u);
        if (ok && t % 2 == 0) {
          StringList* known = r->viruses.get(kVirusKnown);
          ok = known != nullptr && known->items.front() == "Test.Virus.user" + std::to_string(t);
        }
        if (!ok) wrong.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_TRUE(p->wait_handled(kThreads * kScans));
  EXPECT_EQ(zvtest::open_fd_count(), before);
}

// A daemon whose listen queue holds one connection and which takes each one late:
// connects beyond the queue must wait for their turn within the session's budget
// instead of failing with "no daemon reachable".
TEST_F(LibTest, ConnectsWaitForAFullListenQueue) {
  auto p = FakePeer::on_unix(dir_.file("busy.sock"), serve_scans, 1, 20);
  ASSERT_TRUE(p);
  ASSERT_EQ(startup(kZvcVersion, p->address().c_str(), 30, 0), kZvcOk);
  constexpr int kScans = 24;
  std::vector<std::string> paths;
  for (int t = 0; t < kScans; ++t)
    paths.push_back(dir_.write("q" + std::to_string(t), t % 2 ? "clean text" : "has a VIRUS"));
  std::vector<int> codes(kScans, 1);
  std::vector<uint32_t> statuses(kScans, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < kScans; ++t) {
    threads.emplace_back([&, t] {
      StringListPtr rcpts(strings::create(0));
      if (strings::add(rcpts.get(), "user") != 1) return;
      ScanResult* result = nullptr;
      codes[t] = scanmail(paths[t].c_str(), paths[t].size(), 0, kFilterFlags | kScanVirusLists, 0,
                          &result, 0, "s@x", rcpts.get());
      ScanResultPtr r(result);
      if (r) statuses[t] = r->status;
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kScans; ++t) {
    SCOPED_TRACE(t);
    EXPECT_EQ(codes[t], kZvcOk);
    EXPECT_EQ(statuses[t], t % 2 ? 0u : 0x20u);
  }
  EXPECT_TRUE(p->wait_handled(kScans));
}

}  // namespace
