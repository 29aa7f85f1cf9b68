// TCP endpoints and host-name resolution: see zvc_tcp.h.
#include "zvc_tcp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

#include "zv_log.h"
#include "zv_mutex.h"
#include "zvc_codes.h"

namespace {
inline constexpr const char* kResolverMutexName = "ZvLib::Resolver";
// Written only by init/deinit on the main thread; read by resolving threads.
std::atomic<NamedMutex*> g_resolver{nullptr};
}  // namespace

namespace ipc::tcp {

int init() {
  NamedMutex* m = zv_mutex_create(kResolverMutexName);
  if (m == nullptr) return 0;
  g_resolver.store(m);
  return 1;
}

int deinit() {
  NamedMutex* m = g_resolver.exchange(nullptr);
  if (m == nullptr) return 1;
  int ok = zv_mutex_lock(m);
  if (ok == 1) ok = zv_mutex_unlock(m);
  if (zv_mutex_destroy(m) != 0) ok = 0;
  return ok;
}

int create_socket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: creation failed - %s", stdlib_errno_text());
    return -1;
  }
  int on = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: set option (reuseaddr) failed - %s", stdlib_errno_text());
    ::close(fd);
    return -1;
  }
  zv_log(ZV_LOG_DEBUG, "zvlib: tcp: socket %d has been created", fd);
  return fd;
}

int close_socket(int fd) {
  zv_log(ZV_LOG_DEBUG, "zvlib: tcp: socket %d will been closed", fd);
  if (::close(fd) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: close() failed - %s", stdlib_errno_text());
    return kIpcFailed;
  }
  return kIpcOk;
}

}  // namespace ipc::tcp

namespace ipc {

namespace {

// Checks one resolver answer and takes its first IPv4 address. 1 or 0 (logged).
int take_answer(const hostent* he, int herr, in_addr* out) {
  if (he == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: gethostbyname() error : %s", hstrerror(herr));
    return 0;
  }
  if (he->h_addrtype != AF_INET || he->h_length != 4 || he->h_addr_list == nullptr ||
      he->h_addr_list[0] == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: resolver return corrupted address (%d:%p:%d)",
           he->h_addrtype, static_cast<const void*>(he->h_addr_list), he->h_length);
    return 0;
  }
  std::memcpy(out, he->h_addr_list[0], sizeof(*out));
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, out, text, sizeof(text));
  zv_log(ZV_LOG_DEBUG, "zvlib: tcp: resolver return %s", text);
  return 1;
}

// Before ipc::init (or after deinit) there is no resolver mutex: a server that only
// parses its listening addresses resolves through the reentrant call instead.
int resolve_reentrant(const char* host, in_addr* out) {
  zv_log(ZV_LOG_DEBUG, "zvlib: tcp: call resolver for %s", host);
  std::vector<char> buffer;
  try {
    buffer.resize(8192);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: no memory for resolver");
    return 0;
  }
  hostent entry{};
  hostent* he = nullptr;
  int herr = 0;
  int rc = 0;
  while ((rc = gethostbyname_r(host, &entry, buffer.data(), buffer.size(), &he, &herr)) == ERANGE &&
         buffer.size() < 1024 * 1024) {
    try {
      buffer.resize(buffer.size() * 2);
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "zvlib: tcp: no memory for resolver");
      return 0;
    }
  }
  if (rc != 0) he = nullptr;
  return take_answer(he, herr, out);
}

}  // namespace

int resolve(const char* host, in_addr* out) {
  if (host == nullptr || host[0] == '\0' || out == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: tcp: empty name passed to resolver");
    return 0;
  }
  if (inet_aton(host, out) != 0) return 1;

  NamedMutex* resolver = g_resolver.load();
  if (resolver == nullptr) return resolve_reentrant(host, out);
  NamedMutexLock lock(resolver);
  if (!lock.locked()) return 0;
  zv_log(ZV_LOG_DEBUG, "zvlib: tcp: call resolver for %s", host);
  hostent* he = gethostbyname(host);  // guarded by "ZvLib::Resolver"
  int ok = take_answer(he, he == nullptr ? h_errno : 0, out);
  if (lock.unlock() != 1) ok = 0;
  return ok;
}

}  // namespace ipc
