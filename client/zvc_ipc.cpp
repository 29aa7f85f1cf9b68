// Socket endpoints and transport: see zvc_ipc.h.
#include "zvc_ipc.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <new>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_fd.h"
#include "zvc_tcp.h"
#include "zvc_timo.h"
#include "zvc_unix.h"

namespace {

inline constexpr const char* kDefaultAddress = "inet:3000@localhost";

// Written only by ipc::init / ipc::deinit on the main thread.
std::atomic<bool> g_initialised{false};
std::atomic<bool> g_tcp_enabled{false};

bool has_prefix(const char* text, const char* prefix) {
  return strncasecmp(text, prefix, strlen(prefix)) == 0;
}

void copy_text(IpcAddress* a, const char* text) {
  size_t n = strnlen(text, kIpcAddressTextMax);
  memcpy(a->text, text, n);
  a->text[n] = '\0';
  a->text_length = static_cast<int>(n + 1);
}

// PORT of inet:PORT@HOST: decimal digits up to the "@". 1 and *port (network order),
// or 0 for anything that is not a non-negative int.
int parse_port(const char* digits, uint16_t* port) {
  uint64_t value = 0;
  const char* p = digits;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + static_cast<uint64_t>(*p - '0');
    if (value > INT_MAX) return 0;
  }
  if (p == digits || *p != '@') return 0;
  // Values above 65535 keep their low 16 bits, as the daemon's own tools do.
  *port = htons(static_cast<uint16_t>(value & 0xFFFF));
  return 1;
}

// Fills the TCP part of `a` from "PORT@HOST" (after "inet:"). 1 or 0 (logged).
int parse_inet(IpcAddress* a, const char* spec, const char* rest, int resolve_now) {
  const char* at = strchr(rest, '@');
  if (at == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: not a tcp-socket address string <%s>", spec);
    return 0;
  }
  copy_text(a, at + 1);
  a->inet.sin_family = AF_INET;
  if (parse_port(rest, &a->inet.sin_port) == 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: invalid port specified");
    return 0;
  }
  if (resolve_now && ipc::resolve(a->text, &a->inet.sin_addr) == 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: cannot resolve %s hostname", a->text);
    return 0;
  }
  return 1;
}

// Fills the Unix part of `a` from "PATH" (after "local:"). 1 or 0 (logged).
int parse_local(IpcAddress* a, const char* path) {
  if (path[0] != '/') {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: not a unix-socket path <%s>", path);
    return 0;
  }
  copy_text(a, path);
  a->local.sun_family = AF_UNIX;
  size_t n = strnlen(path, kIpcUnixPathMax);
  memcpy(a->local.sun_path, path, n);
  a->local.sun_path[n] = '\0';
  return 1;
}

}  // namespace

namespace ipc {

int init() {
  if (g_initialised.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: system has already been initialized");
    return kIpcAlreadyInit;
  }
  struct sigaction sa {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGPIPE, &sa, nullptr) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: set signal(%d) handler failed - %s", SIGPIPE,
           stdlib_errno_text());
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: cannot ignore SIGPIPE");
    return kIpcNoSigpipe;
  }
  bool tcp = tcp::init() == 1;
  if (!tcp) zv_log(ZV_LOG_VERBOSE, "zvlib: ipc: tcp sockets subsystem disabled");
  g_tcp_enabled.store(tcp);
  g_initialised.store(true);
  return kIpcOk;
}

int deinit() {
  if (!g_initialised.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: subsystem is not initialized");
    return kIpcNotInit;
  }
  int rc = kIpcOk;
  g_tcp_enabled.store(false);
  if (tcp::deinit() != 1) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: tcp: some errors during deinit tcp system");
    rc = kIpcFailed;
  }
  g_initialised.store(false);
  return rc;
}

bool initialised() {
  return g_initialised.load();
}

IpcAddress* parse_address(const char* address, int resolve_now, int* family) {
  if (address == nullptr || family == nullptr) {
    zv_log_bad_parameters("zvlib: ipc:", address == nullptr, family == nullptr);
    return nullptr;
  }
  *family = 0;
  const char* spec = has_prefix(address, "default") ? kDefaultAddress : address;
  const char* colon = strchr(spec, ':');
  if (colon == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: format separator %c not found in %s", ':', spec);
    return nullptr;
  }
  if (has_prefix(spec, "pid:")) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: using recursive pid: format is invalid");
    return nullptr;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: ipc: parse address string <%s>", spec);
  IpcAddressPtr a(new (std::nothrow) IpcAddress{});
  if (!a) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: no memory for address");
    return nullptr;
  }
  int parsed_family = 0;
  if (has_prefix(spec, "inet:")) {
    if (parse_inet(a.get(), spec, spec + 5, resolve_now) == 1) {
      parsed_family = kIpcTcp;
    } else {
      zv_log(ZV_LOG_ERRORS, "zvlib: ipc: wrong tcp-socket address <%s>", spec);
    }
  } else if (has_prefix(spec, "local:")) {
    if (parse_local(a.get(), spec + 6) == 1) parsed_family = kIpcUnix;
  } else {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: invalid family specified %s", spec);
  }
  if (parsed_family == 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: cannot parse address from specification <%s>", spec);
    return nullptr;
  }
  a->resolved = resolve_now;
  *family = parsed_family;
  zv_log(ZV_LOG_VERBOSE, "zvlib: ipc: address %s added", spec);
  return a.release();
}

void free_address(IpcAddress* address) {
  delete address;
}

int set_timeout(IpcChannel* channel, int seconds) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc::set_timeout null pointer");
    return 0;
  }
  long long ms = seconds <= 0 ? kIpcBudgetUnlimited : static_cast<long long>(seconds) * 1000;
  // An invalid budget is stored anyway (clamped into an int), so that every later
  // transfer on the channel fails instead of running without limit.
  channel->budget_ms = ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
  if (ms < kIpcBudgetUsedUp || ms > kIpcMaxBudgetMs) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: ipc::set_timeout invalid timeout %d specified (should be in 0 (infinite) .. "
           "4 hours in seconds)",
           seconds);
    return 0;
  }
  return 1;
}

int set_nodelay(IpcChannel* channel, int on) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc::set_nodelay null pointer");
    return 0;
  }
  if (channel->family != kIpcTcp) {
    zv_log(ZV_LOG_DEBUG, "zvlib: ipc::set_nodelay for non-tcp socket ignored");
    return 1;
  }
  int value = on ? 1 : 0;
  if (setsockopt(channel->fd, IPPROTO_TCP, TCP_NODELAY, &value, sizeof(value)) != 0) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: cannot set option TCP_NODELAY - %s", stdlib_errno_text());
    return 0;
  }
  return 1;
}

int open(int family, const IpcAddress* remote, int seconds, int tag, IpcChannel** channel) {
  bool bad_family = family != kIpcTcp && family != kIpcUnix;
  bool bad_seconds = seconds < kIpcBudgetUsedUp || seconds > kIpcMaxBudgetMs;
  if (channel == nullptr || bad_family || bad_seconds) {
    zv_log_bad_parameters("zvlib: ipc:", channel == nullptr, bad_family, bad_seconds);
    return kIpcFailed;
  }
  if (remote == nullptr) {
    zv_log_bad_parameter("zvlib: ipc:");
    return kIpcFailed;
  }
  IpcChannel* c = *channel;
  bool owned = c == nullptr;
  if (owned) {
    c = new (std::nothrow) IpcChannel{};
    if (c == nullptr) {
      zv_log(ZV_LOG_ERRORS, "zvlib: ipc: no memory for channel");
      return kIpcFailed;
    }
    *channel = c;
  }
  c->owned = owned;
  c->fd = -1;
  c->family = family;
  c->tag = tag;
  c->connected = false;
  c->send_op = nullptr;
  c->recv_op = nullptr;
  c->ahead_start = c->ahead_end = 0;
  c->holding = false;
  c->held = 0;
  c->created = timo::now();
  if (set_timeout(c, seconds) != 1) {
    (void)close(channel);
    return kIpcBadTimeout;
  }
  c->remote = *remote;
  memset(&c->local, 0, sizeof(c->local));
  if (family == kIpcTcp && !remote->resolved &&
      resolve(c->remote.text, &c->remote.inet.sin_addr) == 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: cannot resolve remote hostname %s", c->remote.text);
    (void)close(channel);
    return kIpcFailed;
  }
  if (family == kIpcTcp && !g_tcp_enabled.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: tcp sockets not allowed");
    (void)close(channel);
    return kIpcBadFamily;
  }
  c->fd = family == kIpcTcp ? tcp::create_socket() : unix::create_socket();
  if (c->fd < 0) {
    zv_log(ZV_LOG_VERBOSE, family == kIpcTcp ? "zvlib: ipc: cannot create tcp socket"
                                             : "zvlib: ipc: cannot create unix socket");
    (void)close(channel);
    return kIpcFailed;
  }
  c->send_op = fdio::send;
  c->recv_op = fdio::recv;
  c->created = timo::now();
  return kIpcOk;
}

int connect(IpcChannel* channel) {
  if (channel == nullptr || channel->fd < 0) {
    zv_log_bad_parameter("zvlib: ipc:");
    return kIpcFailed;
  }
  // The connect waits within the budget but does not spend it.
  int rc;
  if (channel->family == kIpcTcp) {
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &channel->remote.inet.sin_addr, host, sizeof(host));
    int port = ntohs(channel->remote.inet.sin_port);
    zv_log(ZV_LOG_VERBOSE, "zvlib: tcp: connecting to %s:%d ...", host, port);
    rc = fdio::connect(channel->fd, reinterpret_cast<const sockaddr*>(&channel->remote.inet),
                       sizeof(channel->remote.inet), channel->budget_ms);
    if (rc == kIpcOk)
      zv_log(ZV_LOG_VERBOSE, "zvlib: tcp: connecting to %s:%d - done", host, port);
    else
      zv_log(ZV_LOG_ERRORS, "zvlib: tcp: connecting to %s:%d - failed", host, port);
  } else {
    rc = fdio::connect_local(channel->fd, reinterpret_cast<const sockaddr*>(&channel->remote.local),
                             sizeof(channel->remote.local), channel->budget_ms);
    if (rc != kIpcOk)
      zv_log(ZV_LOG_ERRORS, "zvlib: unix: connect() to %s failed", channel->remote.local.sun_path);
  }
  if (rc == kIpcTimeout) zv_log(ZV_LOG_ERRORS, "zvlib: ipc: timeout expired");
  if (rc == kIpcOk) channel->connected = true;
  return rc;
}

IpcChannel* create(const char* address, int seconds, int resolve_now) {
  if (address == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc::create null address for control ipc passed");
    return nullptr;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: ipc::create  client ipc to %s", address);
  int family = 0;
  IpcAddressPtr remote(parse_address(address, resolve_now, &family));
  if (!remote) return nullptr;
  IpcChannel* channel = nullptr;
  if (open(family, remote.get(), seconds, 0, &channel) != kIpcOk) return nullptr;
  if (connect(channel) != kIpcOk) {
    (void)close(&channel);
    return nullptr;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: ipc::create ipc connected to %s", address);
  return channel;
}

IpcChannel* adopt(int fd, int family, int seconds) {
  zv::UniqueFd socket(fd);  // closed on every refusal until the channel takes it
  if (fd < 0 || (family != kIpcTcp && family != kIpcUnix)) {
    zv_log_bad_parameters("zvlib: ipc:", fd < 0, family != kIpcTcp && family != kIpcUnix);
    return nullptr;
  }
  IpcChannel* c = new (std::nothrow) IpcChannel{};
  if (c == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: no memory for channel");
    return nullptr;
  }
  c->owned = true;
  c->family = family;
  c->fd = socket.release();
  c->connected = true;
  c->send_op = fdio::send;
  c->recv_op = fdio::recv;
  c->created = timo::now();
  if (set_timeout(c, seconds) != 1) {
    (void)close(&c);
    return nullptr;
  }
  return c;
}

namespace {

// The shared loop of send and recv: moves at least `wanted` and at most *count bytes
// with `step`.
template <typename Step>
int transfer(IpcChannel* channel, char* bytes, size_t* count, size_t wanted, const char* verb,
             const char* past, Step step) {
  if (wanted == 0) {
    *count = 0;
    return kIpcOk;
  }
  const size_t room = *count;
  *count = 0;
  if (channel->budget_ms < kIpcBudgetUsedUp || channel->budget_ms > kIpcMaxBudgetMs) {
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: %s %d bytes failed (only %d %s) - timeout expired", verb,
           static_cast<int>(wanted), 0, verb);
    return kIpcTimeout;
  }
  if (channel->budget_ms == kIpcBudgetUsedUp) {
    // An earlier transfer used the budget up; the stream position is unknown.
    zv_log(ZV_LOG_ERRORS, "zvlib: ipc: %s %d bytes refused - time-out budget already used up", verb,
           static_cast<int>(wanted));
    return kIpcFailed;
  }
  size_t moved = 0;
  int rc = kIpcOk;
  for (;;) {
    timeval start{};
    if (channel->budget_ms != kIpcBudgetUnlimited) start = timo::now();
    size_t n = room - moved;
    rc = step(channel->fd, bytes + moved, &n, channel->budget_ms);
    channel->budget_ms = timo::spend(channel->budget_ms, start);
    // A wait that timed out used the whole budget, whatever the clocks' rounding says.
    if (rc == kIpcTimeout && channel->budget_ms != kIpcBudgetUnlimited)
      channel->budget_ms = kIpcBudgetUsedUp;
    if (rc != kIpcOk) break;
    moved += n;
    if (moved >= wanted) break;
    if (channel->budget_ms == kIpcBudgetUsedUp) {
      zv_log(ZV_LOG_ERRORS, "zvlib: ipc: %s %d bytes failed (only %d %s) - timeout expired", verb,
             static_cast<int>(wanted), static_cast<int>(moved), verb);
      rc = kIpcTimeout;
      break;
    }
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: ipc: %s %d bytes (need %d bytes) - errorcode[%d]", past,
         static_cast<int>(moved), static_cast<int>(wanted), rc);
  *count = moved;
  return rc;
}

}  // namespace

int send(IpcChannel* channel, const void* bytes, size_t* count) {
  if (channel == nullptr || bytes == nullptr || count == nullptr || channel->send_op == nullptr) {
    zv_log_bad_parameters("zvlib: ipc:", channel == nullptr, bytes == nullptr, count == nullptr,
                          channel != nullptr && channel->send_op == nullptr);
    return kIpcFailed;
  }
  IpcSendOp op = channel->send_op;
  auto step = [op](int fd, char* p, size_t* n, int wait) { return op(fd, p, n, wait); };
  char* in = static_cast<char*>(const_cast<void*>(bytes));
  const bool budget_left =
      channel->budget_ms >= kIpcBudgetUnlimited && channel->budget_ms <= kIpcMaxBudgetMs;
  if (channel->holding && budget_left) {
    if (channel->held + *count > sizeof channel->out) {
      size_t n = channel->held;
      int rc = transfer(channel, channel->out, &n, n, "send", "sent", step);
      channel->held = 0;
      if (rc != kIpcOk) {
        *count = 0;
        return rc;
      }
    }
    if (*count <= sizeof channel->out) {
      memcpy(channel->out + channel->held, in, *count);
      channel->held += *count;
      return kIpcOk;
    }
  }
  return transfer(channel, in, count, *count, "send", "sent", step);
}

void hold(IpcChannel* channel) {
  if (channel == nullptr) return;
  channel->holding = true;
}

int flush(IpcChannel* channel) {
  if (channel == nullptr || channel->send_op == nullptr) {
    zv_log_bad_parameters("zvlib: ipc:", channel == nullptr,
                          channel != nullptr && channel->send_op == nullptr);
    return kIpcFailed;
  }
  channel->holding = false;
  size_t n = channel->held;
  channel->held = 0;
  IpcSendOp op = channel->send_op;
  return transfer(
      channel, channel->out, &n, n, "send", "sent",
      [op](int fd, char* p, size_t* count, int wait) { return op(fd, p, count, wait); });
}

int recv(IpcChannel* channel, void* buffer, size_t* count) {
  if (channel == nullptr || buffer == nullptr || count == nullptr || channel->recv_op == nullptr) {
    zv_log_bad_parameters("zvlib: ipc:", channel == nullptr, buffer == nullptr, count == nullptr,
                          channel != nullptr && channel->recv_op == nullptr);
    return kIpcFailed;
  }
  IpcRecvOp op = channel->recv_op;
  auto step = [op](int fd, char* p, size_t* n, int wait) { return op(fd, p, n, wait); };
  char* out = static_cast<char*>(buffer);
  const size_t wanted = *count;
  // A spent budget refuses even what was read ahead: the conversation is over.
  if (channel->budget_ms < kIpcBudgetUnlimited || channel->budget_ms > kIpcMaxBudgetMs)
    return transfer(channel, out, count, wanted, "recv", "recv", step);
  size_t have = std::min(wanted, channel->ahead_end - channel->ahead_start);
  memcpy(out, channel->ahead + channel->ahead_start, have);
  channel->ahead_start += have;
  if (have == wanted) return kIpcOk;
  channel->ahead_start = channel->ahead_end = 0;
  const size_t rest = wanted - have;
  size_t n = rest;
  if (rest >= sizeof channel->ahead) {
    // A long item (a cured copy) goes straight to its place.
    int rc = transfer(channel, out + have, &n, rest, "recv", "recv", step);
    *count = have + n;
    return rc;
  }
  n = sizeof channel->ahead;
  int rc = transfer(channel, channel->ahead, &n, rest, "recv", "recv", step);
  size_t used = std::min(n, rest);
  memcpy(out + have, channel->ahead, used);
  if (rc == kIpcOk) {
    channel->ahead_start = used;
    channel->ahead_end = n;
  }
  *count = have + used;
  return rc;
}

int tag(const IpcChannel* channel) {
  return channel != nullptr ? channel->tag : 0;
}

int close(IpcChannel** channel) {
  if (channel == nullptr) {
    zv_log_bad_parameter("zvlib: ipc:");
    return kIpcFailed;
  }
  IpcChannel* c = *channel;
  if (c == nullptr) return kIpcBadFamily;
  int rc = kIpcOk;
  if (c->fd >= 0) {
    rc = c->family == kIpcTcp ? tcp::close_socket(c->fd) : unix::close_socket(c->fd);
    c->fd = -1;
    c->connected = false;
    zv_log(ZV_LOG_VERBOSE, "zvlib: ipc: lifetime = %6.1lf milliseconds",
           timo::elapsed_ms(c->created));
  }
  if (c->owned) {
    delete c;
    *channel = nullptr;
  }
  return rc;
}

int destroy(IpcChannel* channel) {
  if (channel == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: ipc::delete null control socket passed");
    return 0;
  }
  (void)close(&channel);
  return 1;
}

}  // namespace ipc

namespace ipc::unix {

const char* filename(const IpcAddress* address) {
  return address != nullptr ? address->local.sun_path : nullptr;
}

}  // namespace ipc::unix
