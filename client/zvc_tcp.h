// TCP endpoints of the transport (module "tcp"): IPv4 stream sockets and host-name
// resolution.
//
// Owns the "ZvLib::Resolver" mutex, created by ipc::tcp::init and destroyed by
// ipc::tcp::deinit (both on the main thread, before and after any request);
// gethostbyname() runs only while holding it.
#pragma once

namespace ipc::tcp {

// Creates the resolver mutex. 1, or 0 when TCP must stay disabled.
int init();
// Locks, unlocks and destroys the resolver mutex. 1, or 0 when any step failed.
int deinit();
// A new IPv4 stream socket with SO_REUSEADDR, or -1 (logged).
int create_socket();
// Closes a socket; 0 or -11 (logged).
int close_socket(int fd);

}  // namespace ipc::tcp
