// Unix-domain endpoints: see zvc_unix.h.
#include "zvc_unix.h"

#include <sys/socket.h>
#include <unistd.h>

#include "zv_log.h"
#include "zvc_codes.h"

namespace ipc::unix {

int create_socket() {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) zv_log(ZV_LOG_ERRORS, "zvlib: unix: socket() failed - %s", stdlib_errno_text());
  return fd;
}

int close_socket(int fd) {
  if (::close(fd) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: unix: close() failed - %s", stdlib_errno_text());
    return kIpcFailed;
  }
  return kIpcOk;
}

}  // namespace ipc::unix
