// The client library and zvscan against our stand-in scanning daemon, zvscand.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zvc_lib.h"

namespace {

using zvtest::TempDir;

const char* const kZvscand = ZV_BINARY_DIR "/tools/zvscand/zvscand";
const char* const kZvscan = ZV_BINARY_DIR "/tools/zvscan/zvscan";

std::string eicar() {
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE!$H+H*";
}

// One zvscand in the foreground, listening on a Unix socket and on a TCP port, with
// its pid file in the test's directory; ready once the pid file lists both addresses,
// stopped when the object goes.
class Standin : public zvtest::Peer {
 public:
  Standin(const TempDir& dir, const std::vector<std::string>& extra)
      : Peer(kZvscand, arguments(dir, extra), dir, "zvscand", 2) {}
  std::string address() const { return "pid:" + pidfile(); }

 private:
  static std::vector<std::string> arguments(const TempDir& dir,
                                            const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"--listen=local:" + dir.file("d.sock"),
                                     "--listen=inet:0@127.0.0.1"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

class StandinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kZvscand, X_OK) != 0) GTEST_SKIP() << "zvscand is not built";
    rcpts_.reset(strings::create(0));
    ASSERT_EQ(strings::add(rcpts_.get(), "bob@example.org"), 1);
  }
  void TearDown() override {
    if (started()) {
      EXPECT_EQ(cleanup(), 0);
    }
  }
  int scan(const std::string& path, int local, uint32_t flags, ScanResult** r) {
    return scanmail(path.c_str(), path.size(), local, flags, 0, r, 4096, "alice@example.com",
                    rcpts_.get());
  }
  TempDir dir_;
  StringListPtr rcpts_;
};

constexpr uint32_t kFlags = 0x80000000u | kScanAlways | kScanVirusLists | kScanStatistics;

TEST_F(StandinTest, ScansThroughThePidFileAddresses) {
  Standin daemon(dir_, {});
  ASSERT_TRUE(daemon.ready());
  ASSERT_EQ(startup(kZvcVersion, daemon.address().c_str(), 30, 1), kZvcOk);
  int major = 0, minor = 0;
  ASSERT_EQ(get_version(&major, &minor), kZvcOk);
  EXPECT_EQ(major, 4);
  EXPECT_EQ(minor, 33);

  std::string clean = dir_.write("clean.eml", "From: a@b\nSubject: hi\n\nhello\n");
  std::string infected = dir_.write("bad.eml", "From: a@b\nSubject: hi\n\n" + eicar() + "\n");
  for (int local = 0; local < 2; ++local) {
    SCOPED_TRACE(local ? "local" : "streamed");
    ScanResult* r = nullptr;
    ASSERT_EQ(scan(clean, local, kFlags, &r), kZvcOk);
    ScanResultPtr owned(r);
    EXPECT_EQ(scanresult_status(r) & ~kStatusCompositeClean, 0u);
    ASSERT_EQ(scan(infected, local, kFlags, &r), kZvcOk);
    owned.reset(r);
    EXPECT_NE(scanresult_status(r) & kStatusKnownVirus, 0u);
    StringList* known = r->viruses.get(kVirusKnown);
    ASSERT_NE(known, nullptr);
    EXPECT_EQ(known->items.front(), "EICAR-Test-File");
    EXPECT_GE(r->statistics.known, 1);
  }
}

TEST_F(StandinTest, SlowAndDroppingDaemons) {
  std::string file = dir_.write("m.eml", "Subject: x\n\nbody\n");
  {
    Standin slow(dir_, {"--delay-ms=4000"});
    ASSERT_TRUE(slow.ready());
    ASSERT_EQ(startup(kZvcVersion, slow.address().c_str(), 1, 1), kZvcOk);
    ScanResult* r = nullptr;
    EXPECT_EQ(scan(file, 0, kFlags, &r), kIpcTimeout);
    EXPECT_EQ(r, nullptr);
    ASSERT_EQ(cleanup(), kZvcOk);
  }
  Standin dropping(dir_, {"--drop"});
  ASSERT_TRUE(dropping.ready());
  ASSERT_EQ(startup(kZvcVersion, dropping.address().c_str(), 10, 1), kZvcOk);
  ScanResult* r = nullptr;
  EXPECT_EQ(scan(file, 0, kFlags, &r), kZvcExchangeFailed);
  EXPECT_EQ(r, nullptr);
}

TEST_F(StandinTest, ZvscanReportsTheFinding) {
  Standin daemon(dir_, {});
  ASSERT_TRUE(daemon.ready());
  std::string infected = dir_.write("bad.eml", "Subject: hi\n\n" + eicar() + "\n");
  std::string out = dir_.file("out");
  std::string cmd = std::string(kZvscan) + " --daemon=" + daemon.address() + " " + infected + " >" +
                    out + " 2>&1";
  int ws = system(cmd.c_str());
  ASSERT_TRUE(WIFEXITED(ws));
  EXPECT_EQ(WEXITSTATUS(ws), 1) << zvtest::read_file(out);
  std::string text = zvtest::read_file(out);
  EXPECT_EQ(text.rfind(infected + ": 0x", 0), 0u) << text;
  EXPECT_NE(text.find("known virus is found"), std::string::npos) << text;
  EXPECT_NE(text.find("\n  K: EICAR-Test-File\n"), std::string::npos) << text;
}

}  // namespace
