// The accept() interposer: connections accepted through it on TCP send without delay,
// others pass unchanged, and failures come back as the C library gave them.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "smf_nodelay.h"
#include "support/zv_test_support.h"
#include "zv_owned.h"

namespace {

int nodelay_of(int fd) {
  int value = -1;
  socklen_t length = sizeof value;
  EXPECT_EQ(::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &value, &length), 0);
  return value;
}

TEST(SmfNodelay, AcceptedTcpConnectionsSendWithoutDelay) {
  zv::UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof sin;
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  ASSERT_EQ(::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&sin), &length), 0);
  zv::UniqueFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  EXPECT_EQ(nodelay_of(client.get()), 0);  // a socket's default, which accept() changes

  sockaddr_in peer{};
  socklen_t peer_length = sizeof peer;
  zv::UniqueFd accepted(::accept(listener.get(), reinterpret_cast<sockaddr*>(&peer), &peer_length));
  ASSERT_GE(accepted.get(), 0);
  EXPECT_NE(nodelay_of(accepted.get()), 0);
  EXPECT_EQ(peer.sin_family, AF_INET);  // the caller's address is filled in as usual
  EXPECT_EQ(smf_nodelay::set_nodelay(client.get()), 1);
  EXPECT_NE(nodelay_of(client.get()), 0);
}

TEST(SmfNodelay, UnixConnectionsAndFailuresPassUnchanged) {
  zvtest::TempDir dir;
  std::string path = dir.file("s");
  zv::UniqueFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  path.copy(sun.sun_path, sizeof sun.sun_path - 1);
  ASSERT_EQ(::bind(listener.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  zv::UniqueFd client(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  ASSERT_EQ(::connect(client.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun), 0);
  zv::UniqueFd accepted(::accept(listener.get(), nullptr, nullptr));
  ASSERT_GE(accepted.get(), 0);
  EXPECT_EQ(smf_nodelay::set_nodelay(accepted.get()), 0);
  EXPECT_EQ(::write(client.get(), "x", 1), 1);  // the connection works as before
  char c = 0;
  EXPECT_EQ(::read(accepted.get(), &c, 1), 1);

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  zv::UniqueFd r(pipe_fds[0]), w(pipe_fds[1]);
  errno = 0;
  EXPECT_EQ(::accept(r.get(), nullptr, nullptr), -1);
  EXPECT_EQ(errno, ENOTSOCK);
  EXPECT_EQ(smf_nodelay::set_nodelay(r.get()), 0);
}

}  // namespace
