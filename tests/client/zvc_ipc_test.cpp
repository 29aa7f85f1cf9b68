// Transport: address parsing, channel life cycle, exact transfers and time-out budgets.
#include "zvc_ipc.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/zvc_fake_peer.h"
#include "support/zv_test_support.h"
#include "zvc_fd.h"

namespace {

using zvtest::CaptureLog;

class IpcTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(ipc::init(), kIpcOk); }
  void TearDown() override { (void)ipc::deinit(); }
  CaptureLog log_{ZV_LOG_DEBUG};
};

// A connected pair: a channel on one end, the raw descriptor of the other.
struct Pair {
  IpcChannelPtr channel;
  int peer = -1;
  explicit Pair(int seconds) {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) == 0) {
      channel.reset(ipc::adopt(sv[0], kIpcUnix, seconds));
      peer = sv[1];
    }
  }
  ~Pair() {
    if (peer >= 0) close(peer);
  }
};

TEST_F(IpcTest, ParsesAddressForms) {
  struct Row {
    const char* spec;
    int family;
    const char* text;
    int port;
  };
  const Row rows[] = {
      {"default", kIpcTcp, "localhost", 3000},
      {"DEFAULT", kIpcTcp, "localhost", 3000},
      {"inet:3000@localhost", kIpcTcp, "localhost", 3000},
      {"INET:25@mx.example.org", kIpcTcp, "mx.example.org", 25},
      {"inet:70000@host", kIpcTcp, "host", 70000 & 0xFFFF},
      {"local:/var/run/zarvikd.sock", kIpcUnix, "/var/run/zarvikd.sock", 0},
      {"Local:/tmp/x", kIpcUnix, "/tmp/x", 0},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.spec);
    int family = -1;
    IpcAddressPtr a(ipc::parse_address(r.spec, 0, &family));
    ASSERT_TRUE(a);
    EXPECT_EQ(family, r.family);
    EXPECT_STREQ(a->text, r.text);
    EXPECT_EQ(a->text_length, static_cast<int>(strlen(r.text)) + 1);
    EXPECT_EQ(a->resolved, 0);
    if (r.family == kIpcTcp) {
      EXPECT_EQ(a->inet.sin_family, AF_INET);
      EXPECT_EQ(ntohs(a->inet.sin_port), r.port);
    } else {
      EXPECT_EQ(a->local.sun_family, AF_UNIX);
      EXPECT_STREQ(ipc::unix::filename(a.get()), r.text);
    }
  }
  EXPECT_TRUE(log_.has("zvlib: ipc: address inet:3000@localhost added"));
}

TEST_F(IpcTest, RefusesBadAddressesWithTheirMessages) {
  struct Row {
    const char* spec;
    int resolve;
    const char* message;
  };
  const Row rows[] = {
      {"inet:3000", 0, "zvlib: ipc: not a tcp-socket address string <inet:3000>"},
      {"inet:abc@host", 0, "zvlib: tcp: invalid port specified"},
      {"inet:@host", 0, "zvlib: tcp: invalid port specified"},
      {"inet:4294967295@host", 0, "zvlib: tcp: invalid port specified"},
      {"inet:12@", 1, "zvlib: tcp: empty name passed to resolver"},
      {"local:relative/path", 0, "zvlib: ipc: not a unix-socket path <relative/path>"},
      {"ftp:something", 0, "zvlib: ipc: invalid family specified ftp:something"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.spec);
    log_.clear();
    int family = -1;
    EXPECT_EQ(ipc::parse_address(r.spec, r.resolve, &family), nullptr);
    EXPECT_EQ(family, 0);
    EXPECT_TRUE(log_.has(r.message));
    EXPECT_TRUE(log_.has(std::string("zvlib: ipc: cannot parse address from specification <") +
                         r.spec + ">"));
  }
  int family = -1;
  EXPECT_EQ(ipc::parse_address("inet:3000@", 1, &family), nullptr);
  EXPECT_TRUE(log_.has("zvlib: tcp: cannot resolve  hostname"));
  EXPECT_TRUE(log_.has("zvlib: ipc: wrong tcp-socket address <inet:3000@>"));

  log_.clear();
  EXPECT_EQ(ipc::parse_address("pid:/run/zarvikd.pid", 0, &family), nullptr);
  EXPECT_TRUE(log_.has("zvlib: ipc: using recursive pid: format is invalid"));
  EXPECT_EQ(ipc::parse_address("nocolon", 0, &family), nullptr);
  EXPECT_TRUE(log_.has("zvlib: ipc: format separator : not found in nocolon"));
  EXPECT_EQ(ipc::parse_address(nullptr, 0, &family), nullptr);
  EXPECT_EQ(ipc::parse_address("default", 0, nullptr), nullptr);
  EXPECT_TRUE(log_.contains("zvlib: ipc: bad parameters (1.0) were passed (zvc_ipc:"));
  EXPECT_TRUE(log_.contains("zvlib: ipc: bad parameters (0.1) were passed (zvc_ipc:"));
}

TEST_F(IpcTest, DottedQuadNeedsNoResolverAndLongPathsAreCut) {
  int family = 0;
  IpcAddressPtr a(ipc::parse_address("inet:3310@127.0.0.1", 1, &family));
  ASSERT_TRUE(a);
  EXPECT_EQ(a->resolved, 1);
  EXPECT_EQ(a->inet.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
  EXPECT_FALSE(log_.contains("zvlib: tcp: call resolver for"));

  std::string path = "/" + std::string(149, 'p');
  IpcAddressPtr u(ipc::parse_address(("local:" + path).c_str(), 0, &family));
  ASSERT_TRUE(u);
  EXPECT_EQ(std::string(u->text), path);
  EXPECT_EQ(u->text_length, 151);
  EXPECT_EQ(std::string(u->local.sun_path), path.substr(0, kIpcUnixPathMax));
}

TEST_F(IpcTest, InitAndDeinitTrackTheirState) {
  EXPECT_EQ(ipc::init(), kIpcAlreadyInit);
  EXPECT_TRUE(log_.has("zvlib: ipc: system has already been initialized"));
  EXPECT_EQ(ipc::deinit(), kIpcOk);
  EXPECT_EQ(ipc::deinit(), kIpcNotInit);
  EXPECT_TRUE(log_.has("zvlib: ipc: subsystem is not initialized"));
  EXPECT_EQ(ipc::init(), kIpcOk);
}

TEST_F(IpcTest, SetTimeoutBounds) {
  Pair p(0);
  ASSERT_TRUE(p.channel);
  EXPECT_EQ(p.channel->budget_ms, kIpcBudgetUnlimited);
  EXPECT_EQ(ipc::set_timeout(p.channel.get(), 14400), 1);
  EXPECT_EQ(p.channel->budget_ms, 14400000);
  EXPECT_EQ(ipc::set_timeout(p.channel.get(), -5), 1);
  EXPECT_EQ(p.channel->budget_ms, kIpcBudgetUnlimited);
  EXPECT_EQ(ipc::set_timeout(p.channel.get(), 14401), 0);
  EXPECT_TRUE(
      log_.has("zvlib: ipc::set_timeout invalid timeout 14401 specified (should be in 0 "
               "(infinite) .. 4 hours in seconds)"));
  // The invalid budget stays: transfers now fail at once.
  char buf[4] = {1, 2, 3, 4};
  size_t n = 4;
  EXPECT_EQ(ipc::send(p.channel.get(), buf, &n), kIpcTimeout);
  EXPECT_EQ(n, 0u);
  EXPECT_EQ(ipc::set_timeout(nullptr, 1), 0);
  EXPECT_TRUE(log_.has("zvlib: ipc::set_timeout null pointer"));
}

TEST_F(IpcTest, ShortStreamEndsWithClosedByPeer) {
  Pair p(10);
  ASSERT_TRUE(p.channel);
  ASSERT_TRUE(zvtest::write_all(p.peer, std::string(40, 'x')));
  close(p.peer);
  p.peer = -1;
  char buf[100];
  size_t n = sizeof(buf);
  EXPECT_EQ(ipc::recv(p.channel.get(), buf, &n), kIpcClosedByPeer);
  EXPECT_EQ(n, 40u);
  EXPECT_TRUE(log_.contains("- connection closed by remote side"));
  EXPECT_TRUE(log_.has("zvlib: ipc: recv 40 bytes (need 100 bytes) - errorcode[-14]"));
}

// Socket reads made through a channel's receive operation, counted.
int counted_reads = 0;
int counting_recv(int fd, void* buffer, size_t* count, int wait_ms) {
  ++counted_reads;
  return fdio::recv(fd, buffer, count, wait_ms);
}

TEST_F(IpcTest, SmallReceivesAreServedFromOneReadAhead) {
  Pair p(10);
  ASSERT_TRUE(p.channel);
  p.channel->recv_op = counting_recv;
  counted_reads = 0;
  const std::string packet = "abcdefghij" + std::string(5000, 'z');
  ASSERT_TRUE(zvtest::write_all(p.peer, packet));
  // Ten bytes one by one, then an item longer than the read-ahead that starts inside it.
  std::string got;
  for (int i = 0; i < 10; ++i) {
    char c = 0;
    size_t n = 1;
    ASSERT_EQ(ipc::recv(p.channel.get(), &c, &n), kIpcOk);
    ASSERT_EQ(n, 1u);
    got.push_back(c);
  }
  EXPECT_EQ(counted_reads, 1);
  std::string rest(5000, '\0');
  size_t n = rest.size();
  ASSERT_EQ(ipc::recv(p.channel.get(), rest.data(), &n), kIpcOk);
  EXPECT_EQ(got + rest, packet);
  // A spent budget refuses what is left of the read-ahead too.
  ASSERT_TRUE(zvtest::write_all(p.peer, "1234"));
  char c = 0;
  n = 1;
  ASSERT_EQ(ipc::recv(p.channel.get(), &c, &n), kIpcOk);
  p.channel->budget_ms = kIpcBudgetUsedUp;
  n = 1;
  EXPECT_EQ(ipc::recv(p.channel.get(), &c, &n), kIpcFailed);
  EXPECT_EQ(n, 0u);
}

int counted_sends = 0;
int counting_send(int fd, const void* bytes, size_t* count, int wait_ms) {
  ++counted_sends;
  return fdio::send(fd, bytes, count, wait_ms);
}

TEST_F(IpcTest, HeldSendsLeaveTogetherAtTheFlush) {
  Pair p(10);
  ASSERT_TRUE(p.channel);
  p.channel->send_op = counting_send;
  counted_sends = 0;
  ipc::hold(p.channel.get());
  std::string sent;
  for (int i = 0; i < 10; ++i) {
    std::string item = "item" + std::to_string(i) + ";";
    size_t n = item.size();
    ASSERT_EQ(ipc::send(p.channel.get(), item.data(), &n), kIpcOk);
    EXPECT_EQ(n, item.size());
    sent += item;
  }
  EXPECT_EQ(counted_sends, 0);
  // More than the hold takes: what is held goes first, then the long item.
  const std::string item(5000, 'L');
  size_t n = item.size();
  ASSERT_EQ(ipc::send(p.channel.get(), item.data(), &n), kIpcOk);
  EXPECT_EQ(counted_sends, 2);
  sent += item;
  n = 3;
  ASSERT_EQ(ipc::send(p.channel.get(), "end", &n), kIpcOk);
  EXPECT_EQ(ipc::flush(p.channel.get()), kIpcOk);
  EXPECT_EQ(counted_sends, 3);
  sent += "end";
  // After the flush sends go out at once.
  n = 1;
  ASSERT_EQ(ipc::send(p.channel.get(), "!", &n), kIpcOk);
  EXPECT_EQ(counted_sends, 4);
  sent += "!";
  std::string got;
  ASSERT_TRUE(zvtest::read_exact(p.peer, &got, sent.size()));
  EXPECT_EQ(got, sent);
}

TEST_F(IpcTest, SilentPeerExhaustsTheBudgetAndPoisonsTheChannel) {
  Pair p(1);
  ASSERT_TRUE(p.channel);
  char buf[4];
  size_t n = sizeof(buf);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ipc::recv(p.channel.get(), buf, &n), kIpcTimeout);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_TRUE(log_.has("zvlib: fd: wait for recv failed - timeout expired"));
  EXPECT_EQ(p.channel->budget_ms, kIpcBudgetUsedUp);
  // The stream position is unknown now: a later transfer fails at once.
  n = sizeof(buf);
  EXPECT_EQ(ipc::send(p.channel.get(), "abcd", &n), kIpcFailed);
  EXPECT_EQ(n, 0u);
  n = sizeof(buf);
  EXPECT_EQ(ipc::recv(p.channel.get(), buf, &n), kIpcFailed);
}

TEST_F(IpcTest, OneBudgetCoversTheWholeConversation) {
  Pair p(4);
  ASSERT_TRUE(p.channel);
  int peer = p.peer;
  std::thread slow([peer] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    zvtest::write_all(peer, "ab");
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    zvtest::write_all(peer, "cd");
  });
  char buf[2];
  size_t n = 2;
  // The wait is measured here: the peer's sleep may have begun before the receive did,
  // so the wait can be a little shorter than the sleep.
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ipc::recv(p.channel.get(), buf, &n), kIpcOk);
  long long waited = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - start)
                         .count();
  EXPECT_GE(waited, 2000);
  // The wait was spent from the budget: at least the part the peer surely slept, and no
  // more than the test saw go by (give or take the rounding of the clocks). A busy machine
  // may stretch the test's own measure, so that is only an upper bound.
  const long long spent = 4000 - p.channel->budget_ms;
  EXPECT_GE(spent, 2000);
  EXPECT_LE(spent, waited + 5);
  // Alone each wait fits in 4 s; together they do not.
  n = 2;
  EXPECT_EQ(ipc::recv(p.channel.get(), buf, &n), kIpcTimeout);
  slow.join();
}

TEST_F(IpcTest, ZeroCountAndBadArguments) {
  Pair p(5);
  size_t n = 0;
  EXPECT_EQ(ipc::send(p.channel.get(), "", &n), kIpcOk);
  n = 1;
  EXPECT_EQ(ipc::send(nullptr, "x", &n), kIpcFailed);
  EXPECT_EQ(ipc::recv(p.channel.get(), nullptr, &n), kIpcFailed);
  EXPECT_TRUE(log_.contains("zvlib: ipc: bad parameters (1.0.0.0) were passed (zvc_ipc:"));
  EXPECT_TRUE(log_.contains("zvlib: ipc: bad parameters (0.1.0.0) were passed (zvc_ipc:"));
  IpcChannel* none = nullptr;
  EXPECT_EQ(ipc::close(nullptr), kIpcFailed);
  EXPECT_EQ(ipc::close(&none), kIpcBadFamily);
  EXPECT_EQ(ipc::destroy(nullptr), 0);
  EXPECT_TRUE(log_.has("zvlib: ipc::delete null control socket passed"));
  EXPECT_EQ(ipc::tag(nullptr), 0);
}

TEST_F(IpcTest, OpenRefusesBadArguments) {
  int family = 0;
  IpcAddressPtr a(ipc::parse_address("local:/nowhere", 0, &family));
  IpcChannel* c = nullptr;
  EXPECT_EQ(ipc::open(3, a.get(), 1, 0, &c), kIpcFailed);
  EXPECT_TRUE(log_.contains("zvlib: ipc: bad parameters (0.1.0) were passed (zvc_ipc:"));
  EXPECT_EQ(ipc::open(kIpcUnix, a.get(), 14400001, 0, &c), kIpcFailed);
  EXPECT_EQ(ipc::open(kIpcUnix, a.get(), 1, 0, nullptr), kIpcFailed);
  EXPECT_EQ(c, nullptr);
  // Within the accepted range of seconds but beyond 4 hours of budget.
  EXPECT_EQ(ipc::open(kIpcUnix, a.get(), 20000, 0, &c), kIpcBadTimeout);
  EXPECT_EQ(c, nullptr);
}

TEST_F(IpcTest, ConnectsOverUnixAndTcpAndKeepsTheBudget) {
  zvtest::TempDir dir;
  int before = zvtest::open_fd_count();
  zvtest::Recorder rec;
  for (int tcp = 0; tcp < 2; ++tcp) {
    SCOPED_TRACE(tcp ? "tcp" : "unix");
    auto peer = tcp ? zvtest::FakePeer::on_tcp(rec.handler(4, "pong"))
                    : zvtest::FakePeer::on_unix(dir.file("s"), rec.handler(4, "pong"));
    ASSERT_TRUE(peer);
    int family = 0;
    IpcAddressPtr a(ipc::parse_address(peer->address().c_str(), 0, &family));
    ASSERT_TRUE(a);
    IpcChannel* c = nullptr;
    ASSERT_EQ(ipc::open(family, a.get(), 5, 7, &c), kIpcOk);
    ASSERT_NE(c, nullptr);
    EXPECT_TRUE(c->owned);
    EXPECT_EQ(ipc::tag(c), 7);
    ASSERT_EQ(ipc::connect(c), kIpcOk);
    EXPECT_TRUE(c->connected);
    EXPECT_EQ(c->budget_ms, 5000);  // the connect spends nothing
    EXPECT_EQ(ipc::set_nodelay(c, 1), 1);
    size_t n = 4;
    EXPECT_EQ(ipc::send(c, "ping", &n), kIpcOk);
    char buf[4];
    n = 4;
    EXPECT_EQ(ipc::recv(c, buf, &n), kIpcOk);
    EXPECT_EQ(std::string(buf, 4), "pong");
    EXPECT_EQ(ipc::close(&c), kIpcOk);
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(log_.contains("zvlib: ipc: lifetime = "));
    peer.reset();
  }
  EXPECT_EQ(rec.request(0), "ping");
  EXPECT_EQ(rec.request(1), "ping");
  EXPECT_TRUE(log_.has("zvlib: ipc::set_nodelay for non-tcp socket ignored"));
  EXPECT_TRUE(log_.contains("zvlib: tcp: connecting to 127.0.0.1:"));
  EXPECT_EQ(zvtest::open_fd_count(), before);
}

TEST_F(IpcTest, ConnectFailuresAreReported) {
  zvtest::TempDir dir;
  int before = zvtest::open_fd_count();
  std::string path = dir.file("nobody");
  IpcChannel* c = ipc::create(("local:" + path).c_str(), 2, 0);
  EXPECT_EQ(c, nullptr);
  EXPECT_TRUE(log_.has("zvlib: unix: connect() to " + path + " failed"));
  EXPECT_TRUE(log_.contains("zvlib: fd: connect() failed - "));

  // A TCP port that was free a moment ago refuses the connection.
  auto peer = zvtest::FakePeer::on_tcp([](int) {});
  ASSERT_TRUE(peer);
  std::string address = peer->address();
  peer.reset();
  log_.clear();
  EXPECT_EQ(ipc::create(address.c_str(), 2, 1), nullptr);
  std::string port = address.substr(5, address.find('@') - 5);
  EXPECT_TRUE(log_.has("zvlib: tcp: connecting to 127.0.0.1:" + port + " - failed"));
  EXPECT_EQ(ipc::create(nullptr, 2, 0), nullptr);
  EXPECT_TRUE(log_.has("zvlib: ipc::create null address for control ipc passed"));
  EXPECT_EQ(zvtest::open_fd_count(), before);
}

TEST_F(IpcTest, TcpIsRefusedBeforeInit) {
  ASSERT_EQ(ipc::deinit(), kIpcOk);
  int family = 0;
  IpcAddressPtr a(ipc::parse_address("inet:1@127.0.0.1", 1, &family));
  IpcChannel* c = nullptr;
  EXPECT_EQ(ipc::open(family, a.get(), 1, 0, &c), kIpcBadFamily);
  EXPECT_TRUE(log_.has("zvlib: ipc: tcp sockets not allowed"));
  EXPECT_EQ(c, nullptr);
  ASSERT_EQ(ipc::init(), kIpcOk);
}

}  // namespace
