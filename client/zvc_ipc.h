// Socket endpoints and transport of the daemon client library.
//
// Parses endpoint addresses (inet:PORT@HOST, local:PATH and "default"), creates and
// connects stream-socket channels, and moves exact byte counts under a time-out budget
// that belongs to the channel: every send and receive spends from it, so one budget
// bounds a whole conversation. The connect is bounded by the budget too but does not
// spend from it.
//
// Owns: the channels it allocates (freed by ipc::close / ipc::destroy) and the parsed
// addresses it hands out (the caller frees them with ipc::free_address or
// IpcAddressPtr). Process-wide state: the initialised flag and the enabled families,
// written only by ipc::init / ipc::deinit; the "ZvLib::Resolver" mutex serialises
// gethostbyname(), which is not reentrant. A channel is used by one thread at a time.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstddef>
#include <memory>

#include "zvc_codes.h"

// One parsed endpoint address.
struct IpcAddress {
  char text[kIpcAddressTextMax + 1];  // host name (TCP) or socket path (Unix), terminated
  int text_length;                    // strlen(text) + 1
  int resolved;                       // non-zero: the host was resolved at parse time
  sockaddr_in inet;                   // TCP: family, port (network order), IPv4 address
  sockaddr_un local;                  // Unix: the path, cut to kIpcUnixPathMax characters
};

// A family's descriptor operations: move at most *count bytes once (after waiting up to
// wait_ms milliseconds, -1 = no limit); *count becomes what was moved; result code.
using IpcSendOp = int (*)(int fd, const void* bytes, size_t* count, int wait_ms);
using IpcRecvOp = int (*)(int fd, void* buffer, size_t* count, int wait_ms);

// One socket endpoint.
struct IpcChannel {
  int family;         // kIpcTcp or kIpcUnix
  bool owned;         // allocated by ipc::open / ipc::adopt, freed when closed
  bool connected;     // set by a successful ipc::connect (or ipc::adopt)
  int tag;            // the creator's mark, read back with ipc::tag
  int fd;             // the socket, or -1
  IpcAddress local;   // cleared for client channels
  IpcAddress remote;  // the peer a client channel connects to
  int budget_ms;      // remaining time: -1 unlimited, -2 used up, else 0 .. 4 hours
  IpcSendOp send_op;
  IpcRecvOp recv_op;
  timeval created;  // time of the open, for the lifetime message
  // Bytes received beyond what a receive asked for, served to the next ones: a daemon's
  // answer is many small items, and reading ahead costs one system call per packet
  // instead of one per item. ahead[ahead_start .. ahead_end) are unread.
  size_t ahead_start;
  size_t ahead_end;
  char ahead[kIpcReadAhead];
  // Sends held back by ipc::hold until ipc::flush: out[0 .. held).
  bool holding;
  size_t held;
  char out[kIpcReadAhead];
};

namespace ipc {

// Prepares the subsystem (ignores SIGPIPE, creates the resolver mutex). 0, -8 when
// already initialised, -1 when SIGPIPE cannot be ignored.
[[nodiscard]] int init();
// Undoes init(). 0, -9 when not initialised, -11 when the resolver mutex misbehaved
// (the subsystem is marked not initialised in every case).
int deinit();
// True between init() and deinit().
bool initialised();

// Parses an address string. `resolve_now` resolves a TCP host at once. Returns a new
// address (caller frees with free_address) and sets *family to 1 or 2; null (and
// *family 0) on failure, logged.
[[nodiscard]] IpcAddress* parse_address(const char* address, int resolve_now, int* family);
void free_address(IpcAddress* address);

// Resolves an IPv4 host name or dotted quad into *out. 1 on success, 0 on failure
// (logged). Takes "ZvLib::Resolver" around gethostbyname().
[[nodiscard]] int resolve(const char* host, in_addr* out);

// Creates the socket of a client channel without connecting it. When *channel is null
// a new owned channel is allocated and stored there; otherwise the caller's record is
// filled (and not freed by close). `seconds` is the budget (0 or less: unlimited).
// Result code; on failure after the channel exists it is closed (and *channel cleared
// when it was allocated here).
[[nodiscard]] int open(int family, const IpcAddress* remote, int seconds, int tag,
                       IpcChannel** channel);
// Connects an opened channel, waiting at most the current budget without spending it.
// 0, -11 or -13.
[[nodiscard]] int connect(IpcChannel* channel);
// Parse, open and connect in one step; the owned channel, or null (logged).
[[nodiscard]] IpcChannel* create(const char* address, int seconds, int resolve_now);
// Wraps an already connected socket (e.g. one returned by accept()) in a new owned
// channel with the given budget in seconds; the channel owns the descriptor from then
// on, also on failure (it is closed). Null on failure. For the server side of the
// protocol.
[[nodiscard]] IpcChannel* adopt(int fd, int family, int seconds);

// Sets a new budget: 0 or less gives -1 (no limit), else seconds * 1000. 1, or 0 for a
// null channel or a value beyond 4 hours (then stored anyway: later transfers give -13).
int set_timeout(IpcChannel* channel, int seconds);
// Switches TCP_NODELAY; 1, or 0 on failure. Unix channels: ignored, 1.
int set_nodelay(IpcChannel* channel, int on);

// Move exactly *count bytes within the channel's budget; *count becomes the number
// actually moved. 0 on success, else -11, -13 or -14. A channel whose budget is
// already used up fails at once with -11. A receive serves what the channel read ahead
// first, at no cost to the budget, and reads a short remainder with room to spare.
[[nodiscard]] int send(IpcChannel* channel, const void* bytes, size_t* count);
[[nodiscard]] int recv(IpcChannel* channel, void* buffer, size_t* count);

// Holds the channel's small sends back until flush(), so that a request made of many
// small items leaves in one system call. A held send succeeds at once and costs no time;
// a send that would overflow the held bytes first flushes them. flush() sends what is
// held, within the budget, and ends the hold: 0, or the code of the failed send. Bytes
// still held when the channel is closed are dropped.
void hold(IpcChannel* channel);
[[nodiscard]] int flush(IpcChannel* channel);

// The stored tag; 0 for a null channel.
int tag(const IpcChannel* channel);

// Closes the socket, frees an owned channel and clears *channel. Result of the close:
// 0, -11 for a null reference or a failed close, -4 when *channel is null.
int close(IpcChannel** channel);
// ipc::close through a plain pointer: 1, or 0 for a null channel. (`delete` in the
// design; renamed because delete is a keyword.)
int destroy(IpcChannel* channel);

}  // namespace ipc

namespace ipc::unix {
// The socket path inside a parsed Unix address (null for a null address).
const char* filename(const IpcAddress* address);
}  // namespace ipc::unix

struct IpcAddressDeleter {
  void operator()(IpcAddress* a) const { ipc::free_address(a); }
};
using IpcAddressPtr = std::unique_ptr<IpcAddress, IpcAddressDeleter>;

struct IpcChannelDeleter {
  void operator()(IpcChannel* c) const { (void)ipc::destroy(c); }
};
using IpcChannelPtr = std::unique_ptr<IpcChannel, IpcChannelDeleter>;
