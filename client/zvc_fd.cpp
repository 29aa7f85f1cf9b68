// Descriptor operations: see zvc_fd.h.
#include "zvc_fd.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "zvc_timo.h"

#include "zv_log.h"
#include "zvc_codes.h"

namespace fdio {

namespace {

// poll() treats every negative limit as "forever"; only -1 means that here.
int poll_limit(int wait_ms) {
  return wait_ms < 0 && wait_ms != -1 ? 0 : wait_ms;
}

// Waits for input. 0 when data (or the end of the stream) can be read, else a code.
int wait_recv(int fd, int wait_ms) {
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, poll_limit(wait_ms));
    if (n == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for recv failed - timeout expired");
      return kIpcTimeout;
    }
    if (n < 0) {
      if (errno == EINTR) {
        zv_log(ZV_LOG_VERBOSE, "zvlib: fd: wait for recv was interrupted - go again");
        continue;
      }
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for recv failed - %s", stdlib_errno_text());
      return kIpcFailed;
    }
    if (p.revents & POLLIN) return kIpcOk;
    if (p.revents == POLLHUP) {
      zv_log(ZV_LOG_VERBOSE, "zvlib: fd: wait for recv - connection closed by remote side");
      return kIpcClosedByPeer;
    }
    zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for recv failed - poll return %#x event mask",
           static_cast<unsigned>(p.revents));
    return kIpcFailed;
  }
}

}  // namespace

int wait_send(int fd, int wait_ms) {
  for (;;) {
    pollfd p{fd, POLLOUT, 0};
    int n = poll(&p, 1, poll_limit(wait_ms));
    if (n == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for send failed - timeout expired");
      return kIpcTimeout;
    }
    if (n < 0) {
      if (errno == EINTR) {
        zv_log(ZV_LOG_VERBOSE, "zvlib: fd: wait for send was interrupted - go again");
        continue;
      }
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for send failed - %s", stdlib_errno_text());
      return kIpcFailed;
    }
    if (!(p.revents & POLLOUT)) {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: wait for send failed - poll return %#x event mask",
             static_cast<unsigned>(p.revents));
      return kIpcFailed;
    }
    return kIpcOk;
  }
}

int send(int fd, const void* bytes, size_t* count, int wait_ms) {
  if (wait_ms != -1) {
    int rc = wait_send(fd, wait_ms);
    if (rc != kIpcOk) {
      *count = 0;
      return rc;
    }
  }
  for (;;) {
    // MSG_NOSIGNAL: a peer that went away must give EPIPE even where SIGPIPE is not
    // ignored (a server that uses the primitives without ipc::init).
    ssize_t n = ::send(fd, bytes, *count, MSG_NOSIGNAL);
    if (n >= 0) {
      *count = static_cast<size_t>(n);
      return kIpcOk;
    }
    if (errno == EINTR) {
      zv_log(ZV_LOG_VERBOSE, "zvlib: fd: send(%d) was interrupted - go again", fd);
      continue;
    }
    zv_log(ZV_LOG_ERRORS, "zvlib: fd: send(%d) failed - %s", fd, stdlib_errno_text());
    *count = 0;
    return kIpcFailed;
  }
}

int recv(int fd, void* buffer, size_t* count, int wait_ms) {
  zv_log(ZV_LOG_DEBUG, "zvlib: fd: recv(%d) called", fd);
  size_t wanted = *count;
  if (wait_ms != -1) {
    int rc = wait_recv(fd, wait_ms);
    if (rc != kIpcOk) {
      *count = 0;
      zv_log(ZV_LOG_DEBUG, "zvlib: fd: recv(%d), readed=%d - wait failed", fd, 0);
      return rc;
    }
  }
  for (;;) {
    ssize_t n = ::recv(fd, buffer, wanted, 0);
    if (n > 0) {
      *count = static_cast<size_t>(n);
      if (*count < wanted)
        zv_log(ZV_LOG_DEBUG, "zvlib: fd: recv(%d), readed=%d", fd, static_cast<int>(n));
      return kIpcOk;
    }
    if (n == 0) {
      zv_log(ZV_LOG_VERBOSE, "zvlib: fd: recv(%d) - connection closed by remote side", fd);
      *count = 0;
      return kIpcClosedByPeer;
    }
    if (errno == EINTR) {
      zv_log(ZV_LOG_VERBOSE, "zvlib: fd: recv(%d) was interrupted - go again", fd);
      continue;
    }
    zv_log(ZV_LOG_ERRORS, "zvlib: fd: recv(%d) failed - %s", fd, stdlib_errno_text());
    *count = 0;
    return kIpcFailed;
  }
}

int connect(int fd, const sockaddr* address, socklen_t length, int wait_ms) {
  // The socket is made non-blocking only for the connect, so that a host that does not
  // answer costs at most the channel's budget instead of the kernel's SYN time-out.
  int flags = fcntl(fd, F_GETFL);
  bool nonblocking = flags >= 0 && wait_ms != -1 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  int rc = kIpcOk;
  if (::connect(fd, address, length) != 0) {
    if (errno == EINPROGRESS || errno == EINTR) {
      rc = wait_send(fd, wait_ms);
      if (rc == kIpcOk) {
        int error = 0;
        socklen_t len = sizeof(error);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) error = errno;
        if (error != 0) {
          zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - %s", stdlib_error(error));
          rc = kIpcFailed;
        }
      } else {
        zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - %s",
               rc == kIpcTimeout ? "timeout expired" : "wait failed");
      }
    } else {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - %s", stdlib_errno_text());
      rc = kIpcFailed;
    }
  }
  if (nonblocking) (void)fcntl(fd, F_SETFL, flags);
  return rc;
}

namespace {

// Sets the send time-out that bounds a blocking Unix connect (0 ms: none). 1 or 0.
int set_send_timeout(int fd, int ms) {
  timeval tv{ms / 1000, static_cast<suseconds_t>(ms % 1000) * 1000};
  return setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv)) == 0 ? 1 : 0;
}

}  // namespace

int connect_local(int fd, const sockaddr* address, socklen_t length, int wait_ms) {
  // A non-blocking Unix connect to a listener whose queue is full fails at once with
  // EAGAIN and cannot be waited for with poll. A blocking one sleeps until the daemon
  // accepts, bounded by the socket's send time-out; that bound is the channel's budget.
  timeval start = timo::now();
  int left = wait_ms;
  for (;;) {
    if (left != -1 && set_send_timeout(fd, left > 0 ? left : 1) == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - %s", stdlib_errno_text());
      return kIpcFailed;
    }
    int rc = ::connect(fd, address, length) == 0 ? kIpcOk : kIpcFailed;
    int error = rc == kIpcOk ? 0 : errno;
    if (error == EINTR && wait_ms != -1) {
      left = timo::spend(wait_ms, start);
      if (left == kIpcBudgetUsedUp) error = EAGAIN;
    }
    if (error == EINTR) continue;
    if (left != -1) (void)set_send_timeout(fd, 0);
    if (error == EAGAIN) {
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - timeout expired");
      return kIpcTimeout;
    }
    if (rc != kIpcOk)
      zv_log(ZV_LOG_ERRORS, "zvlib: fd: connect() failed - %s", stdlib_error(error));
    return rc;
  }
}

}  // namespace fdio
