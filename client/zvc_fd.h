// Descriptor operations shared by the Unix and TCP channels (module "fd").
//
// Each call waits with poll() for the socket to become ready within a limit in
// milliseconds (-1: no limit, no wait) and then moves bytes once; the channel layer
// loops until the whole count has moved. Interrupted system calls are retried. Owns no
// state and takes no lock.
#pragma once

#include <sys/socket.h>

#include <cstddef>

namespace fdio {

// Waits until `fd` is writable. 0, -13 when the limit expires, -11 on failure.
int wait_send(int fd, int wait_ms);
// Sends at most *count bytes once; *count becomes what was sent (0 on failure).
// 0, -13 or -11.
int send(int fd, const void* bytes, size_t* count, int wait_ms);
// Receives at most *count bytes once; *count becomes what was received (0 on failure).
// 0, -13, -14 (closed by the peer) or -11.
int recv(int fd, void* buffer, size_t* count, int wait_ms);
// Connects the blocking socket `fd` to `address`, waiting at most `wait_ms` for the
// connection to complete. The socket stays in blocking mode. 0, -13 or -11.
int connect(int fd, const sockaddr* address, socklen_t length, int wait_ms);
// Connects the blocking Unix socket `fd` to `address`. While the listener's queue is
// full the connect waits, at most `wait_ms` (-1: no limit), for the daemon to accept.
// The socket stays in blocking mode with no send time-out. 0, -13 or -11.
int connect_local(int fd, const sockaddr* address, socklen_t length, int wait_ms);

}  // namespace fdio
