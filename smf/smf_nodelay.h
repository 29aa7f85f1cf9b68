// TCP_NODELAY on the Milter connections that libmilter accepts.
//
// libmilter answers some MTA commands with two packets in a row (a modification, then
// the final reply). Over TCP, Nagle's algorithm holds the second packet back until the
// first is acknowledged, and the MTA delays that acknowledgement by up to 40 ms, so every
// message stalls. libmilter accepts its connections itself and offers no hook, so this
// module interposes accept(): the executable's definition wraps the C library's and
// turns Nagle off on every accepted IPv4 or IPv6 stream socket. Unix sockets and other
// descriptors pass through unchanged, and a failed setsockopt leaves the connection as
// it was (it is only slower).
//
// The module is linked into the executable itself (not a static library), so that its
// accept() is the one libmilter's shared library binds to. It holds one pointer to the
// C library's accept(), looked up once; no lock after that.
#pragma once

namespace smf_nodelay {

// 1 when a descriptor is a TCP socket on which TCP_NODELAY is now set; 0 when it is not a
// TCP socket; -1 when setting the option failed. Used by the interposer; exposed so that
// the behaviour can be checked on any socket.
[[nodiscard]] int set_nodelay(int fd);

}  // namespace smf_nodelay
