// TCP_NODELAY on accepted Milter connections; see smf_nodelay.h.
#include "smf_nodelay.h"

#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <mutex>

namespace smf_nodelay {
namespace {

using AcceptFn = int (*)(int, sockaddr*, socklen_t*);

std::once_flag real_accept_once;
AcceptFn real_accept = nullptr;  // written once under real_accept_once

AcceptFn libc_accept() {
  std::call_once(real_accept_once,
                 [] { real_accept = reinterpret_cast<AcceptFn>(::dlsym(RTLD_NEXT, "accept")); });
  return real_accept;
}

}  // namespace

int set_nodelay(int fd) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  int type = 0;
  socklen_t type_length = sizeof type;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      (local.ss_family != AF_INET && local.ss_family != AF_INET6) ||
      ::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &type_length) != 0 || type != SOCK_STREAM)
    return 0;
  int one = 1;
  return ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0 ? 1 : -1;
}

}  // namespace smf_nodelay

// The executable's accept(): the C library's, then Nagle off on TCP connections. errno
// is that of the C library's call.
extern "C" int accept(int fd, sockaddr* address, socklen_t* length) {
  smf_nodelay::AcceptFn real = smf_nodelay::libc_accept();
  if (real == nullptr) {
    errno = ENOSYS;
    return -1;
  }
  int connection = real(fd, address, length);
  if (connection >= 0) {
    int saved = errno;
    (void)smf_nodelay::set_nodelay(connection);
    errno = saved;
  }
  return connection;
}
