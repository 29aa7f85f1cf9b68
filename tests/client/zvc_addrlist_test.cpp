// The daemon address list: order, pid-file addresses and their failures.
#include "zvc_addrlist.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/zv_test_support.h"

namespace {

using zvtest::CaptureLog;
using zvtest::TempDir;

class AddrListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(ipc::init(), kIpcOk);
    list_ = addrlist_create();
    ASSERT_NE(list_, nullptr);
  }
  void TearDown() override {
    addrlist_destroy(list_);
    (void)ipc::deinit();
  }
  // Each entry as "family:text:port:timeout".
  std::vector<std::string> entries() {
    std::vector<std::string> out;
    for (DaemonAddress* e = addrlist_next(list_, nullptr); e; e = addrlist_next(list_, e)) {
      int port = e->family == kIpcTcp ? ntohs(e->address->inet.sin_port) : 0;
      out.push_back(std::to_string(e->family) + ":" + e->address->text + ":" +
                    std::to_string(port) + ":" + std::to_string(e->timeout));
    }
    return out;
  }
  CaptureLog log_{ZV_LOG_DEBUG};
  TempDir dir_;
  DaemonAddressList* list_ = nullptr;
};

TEST_F(AddrListTest, KeepsTheOrderOfAdding) {
  EXPECT_EQ(addrlist_add(list_, "inet:3000@localhost", 30, 0), 1);
  EXPECT_EQ(addrlist_add(list_, "local:/run/zarvikd.sock", 60, 0), 1);
  EXPECT_EQ(entries(),
            (std::vector<std::string>{"1:localhost:3000:30", "2:/run/zarvikd.sock:0:60"}));
  EXPECT_TRUE(log_.has(
      "zvlib: set timeout for each scanning session with inet:3000@localhost to 30 seconds"));
  EXPECT_TRUE(log_.has("zvlib: address local:/run/zarvikd.sock added to list"));
}

TEST_F(AddrListTest, ReadsAddressesFromThePidFile) {
  std::string pid = dir_.write("d.pid", "4242\n/var/run/d.sock\n127.0.0.1 : 3000\n\n");
  EXPECT_EQ(addrlist_add(list_, ("PID:" + pid).c_str(), 15, 1), 1);
  EXPECT_EQ(entries(), (std::vector<std::string>{"2:/var/run/d.sock:0:15", "1:127.0.0.1:3000:15"}));
  EXPECT_TRUE(log_.has("zvlib: daemon pid = 4242"));
  EXPECT_TRUE(log_.has("zvlib: address inet:3000@127.0.0.1 added to list"));
}

TEST_F(AddrListTest, RefusesBrokenPidFiles) {
  struct Row {
    const char* name;
    const char* content;
    std::string message;  // %s is the path
    int cache = 0;
  };
  const Row rows[] = {
      {"only-pid", "4242\n", "zvlib: cannot read line 2 from daemon pidfile %s"},
      {"empty", "", "zvlib: cannot read line 1 from daemon pidfile %s"},
      {"no-pid", "daemon\n/x.sock\n", "zvlib: cannot read PID from daemon pidfile %s"},
      {"no-colon", "1\nlocalhost\n",
       "zvlib: read pidfile: cannot parse inet-address in %s from pidfile"},
      {"ipv6", "1\n::1:3000\n",
       "zvlib: ipc: cannot parse address from specification <inet:3000@::1>", 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    log_.clear();
    std::string path = dir_.write(r.name, r.content);
    EXPECT_EQ(addrlist_add(list_, ("pid:" + path).c_str(), 5, r.cache), 0);
    std::string message = r.message;
    size_t at = message.find("%s");
    if (at != std::string::npos) message.replace(at, 2, path);
    EXPECT_TRUE(log_.has(message)) << ::testing::PrintToString(log_.texts());
  }
  EXPECT_TRUE(entries().empty());
}

TEST_F(AddrListTest, MissingPidFileDependsOnTheCacheFlag) {
  std::string path = dir_.file("absent.pid");
  EXPECT_EQ(addrlist_add(list_, ("pid:" + path).c_str(), 5, 1), 0);
  EXPECT_TRUE(
      log_.has("zvlib: cannot open daemon pidfile " + path + " - No such file or directory"));
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(addrlist_add(list_, ("pid:" + path).c_str(), 5, 0), 1);
  EXPECT_TRUE(log_.has("zvlib: cannot open daemon pidfile " + path +
                       " - no such file, set ipc address to /nonexisten"));
  EXPECT_EQ(entries(), (std::vector<std::string>{"2:/nonexisten:0:5"}));
}

TEST_F(AddrListTest, BadArgumentsAndUnparsableAddresses) {
  EXPECT_EQ(addrlist_add(nullptr, "default", 5, 0), 0);
  EXPECT_EQ(addrlist_add(list_, nullptr, 5, 0), 0);
  EXPECT_TRUE(log_.has("zvlib: null args passed to addrlist_add routine"));
  EXPECT_EQ(addrlist_add(list_, "local:relative", 5, 0), 0);
  EXPECT_TRUE(entries().empty());
  EXPECT_EQ(addrlist_next(nullptr, nullptr), nullptr);
  addrlist_destroy(nullptr);
}

}  // namespace
