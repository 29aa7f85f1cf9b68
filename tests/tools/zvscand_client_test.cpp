// The stand-in daemon driven through the client library, as the filter drives it: pid
// file addresses, every kind of finding, cure and remove in both modes, time-outs,
// dropped sessions and many concurrent scans.
#include <gmime/gmime.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvscand_signatures.h"
#include "tools/zvtool_peer.h"
#include "zvc_lib.h"
#include "zvscand_engine.h"
#include "zvscand_mime.h"

namespace {

const std::string kEicar = zvscand::eicar_string();
// The option word of a message scan with report and rule filtering.
constexpr uint32_t kFilterFlags = 0x81480004 | kScanReport | kScanRuleFilter | kScanRuleName;

std::string message_with(const std::string& body, const std::string& encoding = "",
                         const std::string& headers = "") {
  return "From: a@example.org\r\nTo: b@example.org\r\nSubject: t\r\n" + headers +
         "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"zz\"\r\n\r\n--zz\r\n"
         "Content-Type: text/plain\r\n\r\nkeep me\r\n--zz\r\nContent-Type: "
         "application/octet-stream\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n" +
         (encoding.empty() ? "" : "Content-Transfer-Encoding: " + encoding + "\r\n") + "\r\n" +
         body + "\r\n--zz--\r\n";
}

std::string base64(const std::string& in) {
  GMimeStream* mem = g_mime_stream_mem_new();
  GMimeStream* filtered = g_mime_stream_filter_new(mem);
  GMimeFilter* f = g_mime_filter_basic_new(GMIME_CONTENT_ENCODING_BASE64, TRUE);
  g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered), f);
  g_mime_stream_write(filtered, in.data(), in.size());
  g_mime_stream_flush(filtered);
  GByteArray* b = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem));
  std::string out(reinterpret_cast<const char*>(b->data), b->len);
  g_object_unref(f);
  g_object_unref(filtered);
  g_object_unref(mem);
  return out;
}

// Every character as =XX, with a soft line break in the middle: nothing of the raw
// text is left in the encoded form.
std::string quoted_printable(const std::string& in) {
  std::string out;
  char hex[4];
  for (size_t i = 0; i < in.size(); ++i) {
    if (i == in.size() / 2) out += "=\r\n";
    snprintf(hex, sizeof hex, "=%02X", static_cast<unsigned char>(in[i]));
    out += hex;
  }
  return out;
}

std::string names(const ScanResult* r, int kind) {
  std::string out;
  if (StringList* l = r->viruses.get(kind))
    for (const auto& s : l->items) out += (out.empty() ? "" : ",") + s;
  return out;
}

const std::string kSignatures = std::string(zvtest::kFindingKindSignatures) +
                                "H:Test-Hacktool:\"HACK-SIG\"\n"
                                "K:Test-Incurable:\"INCUR-SIG\":incurable\n"
                                "status=0x1000:Test-Skipped:\"SKIP-SIG\"\n"
                                "status=0x4000:Test-Ratio:\"RATIO-SIG\"\n"
                                "status=0x10:Test-Socket:\"SOCK-SIG\"\n"
                                "rule:Spam-Rule:\"X-Spam-Flag: YES\"\n";

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { zvscand::mime_init(); }
  void TearDown() override {
    if (started()) cleanup();
    // A clean exit also means no sanitizer report from the daemon in sanitizer builds.
    if (daemon_ != nullptr) {
      EXPECT_EQ(daemon_->stop(), 0) << daemon_->log();
    }
  }
  // Starts the daemon on a Unix socket and a TCP port and the library on its pid file.
  void start(std::vector<std::string> extra = {}, int seconds = 30) {
    extra.push_back("--listen=local:" + dir_.file("d.sock"));
    extra.push_back("--listen=inet:0@127.0.0.1");
    extra.push_back("--signatures=" + dir_.write("sigs", kSignatures));
    daemon_ = std::make_unique<zvtest::Peer>(zvtest::zvscand_program(), extra, dir_, "zvscand", 2);
    ASSERT_TRUE(daemon_->ready()) << daemon_->log();
    ASSERT_EQ(startup(kZvcVersion, ("pid:" + daemon_->pidfile()).c_str(), seconds, 1), 0);
  }
  int scan(const std::string& path, bool local, uint32_t flags, ScanResultPtr* out,
           uint32_t extended = 0) {
    StringListPtr rcpts(strings::create(0));
    EXPECT_EQ(strings::add(rcpts.get(), "b@example.org"), 1);
    ScanResult* r = nullptr;
    int rc = scanmail(path.c_str(), path.size(), local, flags, extended, &r, 0, "a@example.org",
                      rcpts.get());
    out->reset(r);
    return rc;
  }
  zvtest::CaptureLog log_{ZV_LOG_ERRORS};
  zvtest::TempDir dir_;
  std::unique_ptr<zvtest::Peer> daemon_;
};

}  // namespace

TEST_F(ClientTest, PidFileAddressesReachTheDaemon) {
  start({"--daemon-version=433"});
  int major = 0, minor = 0;
  ASSERT_EQ(get_version(&major, &minor), 0);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 33);
  // The pid file gave two addresses; the TCP one answers as well once the first is gone.
  ASSERT_EQ(::unlink(dir_.file("d.sock").c_str()), 0);
  ASSERT_EQ(get_version(&major, &minor), 0);
  EXPECT_EQ(minor, 33);
}

TEST_F(ClientTest, EveryFindingReachesTheFilterAsItsStatusListAndCounter) {
  start();
  struct Row {
    const char* label;
    std::string message;
    uint32_t status;
    int kind;  // virus list expected to hold `name`, or -1
    const char* name;
    int32_t ScanStatistics::*counter;
  };
  const Row rows[] = {
      {"clean", message_with("nothing here"), 0, -1, "", nullptr},
      {"eicar plain", message_with(kEicar), 0x20, kVirusKnown, "EICAR-Test-File",
       &ScanStatistics::known},
      {"eicar base64", message_with(base64(kEicar), "base64"), 0x20, kVirusKnown, "EICAR-Test-File",
       &ScanStatistics::known},
      {"eicar quoted-printable", message_with(quoted_printable(kEicar), "quoted-printable"), 0x20,
       kVirusKnown, "EICAR-Test-File", &ScanStatistics::known},
      {"known", message_with("KNOWN-SIG"), 0x20, kVirusKnown, "Test-Known", &ScanStatistics::known},
      {"suspicious", message_with("SUSP-SIG"), 0x40, kVirusSuspicious, "Test-Suspicious",
       &ScanStatistics::suspicious},
      {"modification", message_with("MOD-SIG"), 0x80, kVirusModification, "Test-Modification",
       &ScanStatistics::modifications},
      {"adware", message_with("ADW-SIG"), 0x400000, kVirusAdware, "Test-Adware",
       &ScanStatistics::adware},
      {"dialer", message_with("DIAL-SIG"), 0x800000, kVirusDialer, "Test-Dialer",
       &ScanStatistics::dialers},
      {"joke", message_with("JOKE-SIG"), 0x1000000, kVirusJoke, "Test-Joke",
       &ScanStatistics::jokes},
      {"riskware", message_with("RISK-SIG"), 0x2000000, kVirusRiskware, "Test-Riskware",
       &ScanStatistics::riskware},
      {"hacktool", message_with("HACK-SIG"), 0x4000000, kVirusHacktool, "Test-Hacktool",
       &ScanStatistics::hacktools},
      {"skipped", message_with("SKIP-SIG"), 0x1000, -1, "", &ScanStatistics::skipped},
      {"archive restriction", message_with("RATIO-SIG"), 0x4000, -1, "",
       &ScanStatistics::archive_restrictions},
      {"scanning error", message_with("SOCK-SIG"), 0x10, -1, "", &ScanStatistics::errors},
      {"header rule", message_with("x", "", "X-Spam-Flag: YES\r\n"), 0x20000, -1, "",
       &ScanStatistics::rule_rejects},
  };
  for (bool local : {true, false}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(std::string(r.label) + (local ? " local" : " streamed"));
      std::string path = dir_.write("msg", r.message);
      ScanResultPtr result;
      ASSERT_EQ(scan(path, local, kFilterFlags | kScanHeuristic, &result), 0);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(scanresult_status(result.get()), r.status);
      if (r.kind >= 0) {
        EXPECT_EQ(names(result.get(), r.kind), r.name);
      }
      EXPECT_EQ(result->statistics.scanned, 1);
      if (r.counter != nullptr) {
        EXPECT_EQ(result->statistics.*(r.counter), 1);
      }
      EXPECT_STREQ(scanresult_rule(result.get()), r.status == 0x20000 ? "Spam-Rule" : "");
      // The report names the file by its base name only.
      std::string report = scanresult_report(result.get());
      EXPECT_EQ(report.rfind("msg", 0), 0u) << report;
      EXPECT_EQ(report.find(dir_.path()), std::string::npos) << report;
      EXPECT_EQ(scanresult_cured(result.get()), nullptr);
    }
  }
}

TEST_F(ClientTest, CureAndRemoveInBothModesLeaveAParsableMessageWithoutThePart) {
  start();
  struct Row {
    const char* label;
    std::string body;
    uint32_t flags;
    uint32_t status;
    int32_t cured, deleted;
  };
  const Row rows[] = {
      {"cure eicar", base64(kEicar), kScanCure, 0x120, 1, 0},
      {"remove known", "KNOWN-SIG", kScanRemoveInfected, 0x80020, 1, 1},
      {"remove incurable", "INCUR-SIG", kScanCure | kScanRemoveIncurable, 0x80020, 1, 1},
      {"incurable stays", "INCUR-SIG", kScanCure, 0x20, 0, 0},
  };
  for (bool local : {true, false}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(std::string(r.label) + (local ? " local" : " streamed"));
      std::string original =
          message_with(r.body, r.body == "KNOWN-SIG" || r.body == "INCUR-SIG" ? "" : "base64");
      std::string path = dir_.write("msg", original);
      ScanResultPtr result;
      ASSERT_EQ(scan(path, local, kFilterFlags | r.flags, &result), 0);
      ASSERT_NE(result, nullptr);
      EXPECT_EQ(scanresult_status(result.get()), r.status);
      EXPECT_EQ(result->statistics.cured, r.cured);
      EXPECT_EQ(result->statistics.deleted, r.deleted);
      std::string treated = zvtest::read_file(path);
      if (!local && r.cured > 0) {
        ASSERT_NE(scanresult_cured(result.get()), nullptr);
        EXPECT_EQ(treated, original);
        treated.assign(scanresult_cured(result.get()), scanresult_cured_length(result.get()));
      } else {
        EXPECT_EQ(scanresult_cured(result.get()), nullptr);
      }
      if (r.cured == 0) {
        EXPECT_EQ(treated, original);
        continue;
      }
      // What the filter gets back scans clean and still carries the untouched part.
      std::string again = dir_.write("again", treated);
      ScanResultPtr rescan;
      ASSERT_EQ(scan(again, true, kFilterFlags, &rescan), 0);
      EXPECT_EQ(scanresult_status(rescan.get()), 0u);
      EXPECT_NE(treated.find("keep me"), std::string::npos);
      EXPECT_NE(treated.find("Content-Type: text/plain"), std::string::npos);
    }
  }
}

TEST_F(ClientTest, SlowDaemonExhaustsTheBudgetAndADroppedSessionFailsTheExchange) {
  std::string path = dir_.write("msg", message_with("x"));
  start({"--delay-ms=3000"}, 1);
  ScanResultPtr result;
  for (bool local : {true, false}) {
    SCOPED_TRACE(local ? "local" : "streamed");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(scan(path, local, kFilterFlags, &result), kIpcTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2900));
    EXPECT_EQ(result, nullptr);
  }
  // The same at the transport.
  IpcChannel* channel = open_session(0, 0);
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(proto::write_int(channel, kZvcCommandVersion), 1);
  char answer[4];
  size_t count = sizeof answer;
  EXPECT_EQ(ipc::recv(channel, answer, &count), kIpcTimeout);
  (void)close_session(channel);
  cleanup();
  daemon_.reset();

  start({"--drop"});
  EXPECT_EQ(scan(path, false, kFilterFlags, &result), kZvcExchangeFailed);
  EXPECT_EQ(result, nullptr);
  int major = 0, minor = 0;
  EXPECT_EQ(get_version(&major, &minor), kZvcExchangeFailed);
  channel = open_session(0, 0);
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(proto::write_int(channel, kZvcCommandVersion), 1);
  count = sizeof answer;
  EXPECT_EQ(ipc::recv(channel, answer, &count), kIpcClosedByPeer);
  (void)close_session(channel);
}

TEST_F(ClientTest, TwoHundredConcurrentScansAreAllAnsweredCorrectly) {
  start();
  constexpr int kScans = 200;
  std::vector<std::string> paths;
  for (int i = 0; i < kScans; ++i)
    paths.push_back(
        dir_.write(std::string("m").append(std::to_string(i)),
                   message_with(i % 2 ? kEicar : std::string("clean ").append(std::to_string(i)))));
  std::atomic<int> ready{0}, right{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < kScans; ++i) {
    threads.emplace_back([&, i] {
      ++ready;
      while (ready.load() < kScans) std::this_thread::yield();
      ScanResultPtr result;
      int rc = scan(paths[i], i % 4 < 2, kFilterFlags, &result);
      uint32_t want = i % 2 ? 0x20u : 0u;
      if (rc == 0 && result != nullptr && scanresult_status(result.get()) == want &&
          names(result.get(), kVirusKnown) == (i % 2 ? "EICAR-Test-File" : ""))
        ++right;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(right.load(), kScans);
}

TEST_F(ClientTest, InstallationCheckMessageIsReportedAsKnownVirus) {
  start();
  // The filter's installation check scans this message, with its trailing zero byte, and
  // needs the known-virus bit back.
  std::string msg =
      "Subject: Standard antivirus test file\r\nMime-Version: 1.0\r\nContent-Type: "
      "multipart/mixed; boundary=\"test\"\r\nContent-Disposition: inline\r\n\r\n--test\r\n"
      "Content-Type: text/plain; charset=us-ascii\r\nContent-Disposition: inline\r\n\r\n"
      "Attachment to this message contains standard antivirus test file.\r\n--test\r\n"
      "Content-Type: application/x-msdos-program\r\nContent-Disposition: attachment; "
      "filename=\"eicar.com\"\r\n\r\n" +
      kEicar + "\r\n--test--\r\n";
  msg.push_back('\0');
  ASSERT_EQ(msg.size(), 476u);
  std::string path = dir_.write("check", msg);
  for (bool local : {true, false}) {
    SCOPED_TRACE(local);
    ScanResultPtr result;
    StringListPtr rcpts(strings::create(0));
    ASSERT_EQ(strings::add(rcpts.get(), "test@example.org"), 1);
    ScanResult* r = nullptr;
    ASSERT_EQ(scanmail(path.c_str(), path.size(), local, 0x81080000, 0, &r, 1024,
                       "test@example.org", rcpts.get()),
              0);
    result.reset(r);
    EXPECT_EQ(scanresult_status(result.get()), kStatusKnownVirus);
    EXPECT_EQ(status_text(scanresult_status(result.get())), "known virus is found");
  }
}
