// An in-process peer for byte-exact conversations with the client library: a thread
// that listens on a Unix socket (in a test's temporary directory) or on TCP 127.0.0.1
// port 0 and runs a handler on each accepted connection, one thread per connection.
// Also the wire builders and blocking helpers that handlers use on the raw descriptor.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zv_owned.h"

namespace zvtest {

// --- wire builders -------------------------------------------------------------------

inline std::string be32(uint32_t v) {
  std::string s(4, '\0');
  s[0] = static_cast<char>(v >> 24);
  s[1] = static_cast<char>(v >> 16);
  s[2] = static_cast<char>(v >> 8);
  s[3] = static_cast<char>(v);
  return s;
}
// A byte string: length, then the bytes.
inline std::string bstr(const std::string& s) {
  return be32(static_cast<uint32_t>(s.size())) + s;
}
// A string list; with `terminators` every string travels with its zero byte.
inline std::string blist(const std::vector<std::string>& items, bool terminators = true) {
  std::string out = be32(static_cast<uint32_t>(items.size()));
  for (const auto& i : items) out += terminators ? bstr(i + std::string(1, '\0')) : bstr(i);
  return out;
}
inline uint32_t get32(const std::string& s, size_t at) {
  auto b = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(s[at + i])); };
  return b(0) << 24 | b(1) << 16 | b(2) << 8 | b(3);
}

// --- blocking helpers on a raw descriptor (each wait bounded) -------------------------

// Reads exactly n bytes into *out (appending). False on end of stream, error or when
// no byte arrives within timeout_ms.
inline bool read_exact(int fd, std::string* out, size_t n, int timeout_ms = 20000) {
  char buf[8192];
  while (n > 0) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    ssize_t r = ::recv(fd, buf, n < sizeof(buf) ? n : sizeof(buf), 0);
    if (r <= 0) return false;
    out->append(buf, static_cast<size_t>(r));
    n -= static_cast<size_t>(r);
  }
  return true;
}
inline bool read_u32(int fd, uint32_t* v) {
  std::string s;
  if (!read_exact(fd, &s, 4)) return false;
  *v = get32(s, 0);
  return true;
}
inline bool read_bstr(int fd, std::string* s) {
  uint32_t n = 0;
  return read_u32(fd, &n) && read_exact(fd, s, n);
}
inline bool write_all(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t w = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}
// Everything the other side still sends until it closes (or goes quiet for timeout_ms).
inline std::string read_to_eof(int fd, int timeout_ms = 20000) {
  std::string out;
  char buf[8192];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return out;
    ssize_t r = ::recv(fd, buf, sizeof(buf), 0);
    if (r <= 0) return out;
    out.append(buf, static_cast<size_t>(r));
  }
}

// One scan request as the daemon sees it.
struct ScanRequest {
  uint32_t flags = 0;
  uint32_t extended = 0;
  std::string sender;
  std::vector<std::string> recipients;
  std::string path;
  uint32_t size = 0;
  std::string content;
};
// Reads the rest of a scan request after its command int. False when it is cut short.
inline bool read_scan_request(int fd, ScanRequest* r) {
  uint32_t count = 0;
  if (!read_u32(fd, &r->flags)) return false;
  if ((r->flags & 0x80000000u) != 0 && !read_u32(fd, &r->extended)) return false;
  if (!read_bstr(fd, &r->sender) || !read_u32(fd, &count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    std::string rcpt;
    if (!read_bstr(fd, &rcpt)) return false;
    r->recipients.push_back(rcpt);
  }
  return read_bstr(fd, &r->path) && read_u32(fd, &r->size) && read_exact(fd, &r->content, r->size);
}

// --- the peer ------------------------------------------------------------------------

class FakePeer {
 public:
  using Handler = std::function<void(int fd)>;

  // Listens on the Unix socket `path` with a queue of `backlog` connections; with
  // `accept_delay_ms` the peer pauses that long before taking each connection.
  static std::unique_ptr<FakePeer> on_unix(const std::string& path, Handler handler,
                                           int backlog = 128, int accept_delay_ms = 0) {
    zv::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    strncpy(sa.sun_path, path.c_str(), sizeof(sa.sun_path) - 1);
    unlink(path.c_str());
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(fd.get(), backlog) != 0)
      return nullptr;
    return std::unique_ptr<FakePeer>(
        new FakePeer(std::move(fd), "local:" + path, std::move(handler), accept_delay_ms));
  }
  // Listens on 127.0.0.1 at a free port.
  static std::unique_ptr<FakePeer> on_tcp(Handler handler) {
    zv::UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    if (!fd.valid() || bind(fd.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
        listen(fd.get(), 128) != 0 ||
        getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      return nullptr;
    std::string address = "inet:" + std::to_string(ntohs(sa.sin_port)) + "@127.0.0.1";
    return std::unique_ptr<FakePeer>(new FakePeer(std::move(fd), address, std::move(handler)));
  }

  ~FakePeer() {
    stop_.store(true);
    char c = 0;
    (void)!::write(wake_write_.get(), &c, 1);
    acceptor_.join();
    std::vector<std::thread> sessions;
    {
      std::lock_guard<std::mutex> lock(mu_);
      sessions.swap(sessions_);
    }
    for (auto& t : sessions) t.join();
  }

  // The address in the client library's syntax.
  const std::string& address() const { return address_; }
  // Connections accepted so far.
  int connections() const { return accepted_.load(); }
  // Waits until `n` connections have been handled completely (bounded).
  bool wait_handled(int n, int timeout_ms = 20000) const {
    for (int waited = 0; handled_.load() < n; waited += 5) {
      if (waited > timeout_ms) return false;
      usleep(5000);
    }
    return true;
  }

 private:
  FakePeer(zv::UniqueFd fd, std::string address, Handler handler, int accept_delay_ms = 0)
      : listen_fd_(std::move(fd)),
        accept_delay_ms_(accept_delay_ms),
        address_(std::move(address)),
        handler_(std::move(handler)) {
    int wake[2] = {-1, -1};
    if (pipe2(wake, O_CLOEXEC) == 0) {
      wake_read_.reset(wake[0]);
      wake_write_.reset(wake[1]);
    }
    acceptor_ = std::thread([this] { accept_loop(); });
  }

  void accept_loop() {
    while (!stop_.load()) {
      pollfd p[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_read_.get(), POLLIN, 0}};
      if (poll(p, 2, -1) <= 0 || (p[1].revents & POLLIN)) continue;
      if (accept_delay_ms_ > 0) usleep(static_cast<useconds_t>(accept_delay_ms_) * 1000);
      int fd = accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      accepted_.fetch_add(1);
      std::lock_guard<std::mutex> lock(mu_);
      sessions_.emplace_back([this, fd] {
        handler_(fd);
        ::close(fd);
        handled_.fetch_add(1);
      });
    }
  }

  zv::UniqueFd listen_fd_;
  int accept_delay_ms_;
  zv::UniqueFd wake_read_;  // the acceptor's wake-up pipe
  zv::UniqueFd wake_write_;
  std::string address_;
  Handler handler_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::atomic<int> handled_{0};
  std::mutex mu_;
  std::vector<std::thread> sessions_;  // guarded by mu_
  std::thread acceptor_;
};

// Handler that records the first `expect` bytes a client sends (then anything more
// until it closes), and answers `answer` after the expected bytes arrived.
struct Recorder {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> requests;  // guarded by mu; expected part + any extra bytes
  FakePeer::Handler handler(size_t expect, std::string answer, bool close_early = false) {
    return [this, expect, answer, close_early](int fd) {
      std::string got;
      bool complete = read_exact(fd, &got, expect);
      if (complete) write_all(fd, answer);
      if (!close_early) got += read_to_eof(fd, complete ? 20000 : 100);
      std::lock_guard<std::mutex> lock(mu);
      requests.push_back(got);
      cv.notify_all();
    };
  }
  // The i-th recorded conversation, once its handler has finished (bounded wait: the
  // handler records only after the client closed the connection).
  std::string request(size_t i) {
    std::unique_lock<std::mutex> lock(mu);
    if (!cv.wait_for(lock, std::chrono::seconds(20), [&] { return requests.size() > i; }))
      return "<missing>";
    return requests[i];
  }
};

}  // namespace zvtest
