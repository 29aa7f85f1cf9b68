// Unix-domain endpoints of the transport (module "unix"). No state, no lock.
#pragma once

namespace ipc::unix {

// A new Unix stream socket, or -1 (logged).
int create_socket();
// Closes a socket; 0 or -11 (logged).
int close_socket(int fd);

}  // namespace ipc::unix
