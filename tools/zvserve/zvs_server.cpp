// Listening sockets, pid file, detaching and the accept loop; see zvs_server.h.
#include "zvs_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

#include "zv_log.h"
#include "zv_owned.h"

namespace zvs {
namespace {

constexpr int kBacklog = 512;

using zv::UniqueFd;

std::string errtext(const char* what) {
  return std::string(what) + ": " + stdlib_error(errno);
}

bool open_unix(const std::string& path, Listener* out, std::string* error) {
  sockaddr_un sun{};
  sun.sun_family = AF_UNIX;
  if (path.empty() || path[0] != '/') {
    *error = "socket path must be absolute";
    return false;
  }
  if (path.size() >= sizeof sun.sun_path) {
    *error = "socket path longer than " + std::to_string(sizeof sun.sun_path - 1) + " characters";
    return false;
  }
  std::memcpy(sun.sun_path, path.c_str(), path.size() + 1);
  UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = errtext("socket");
    return false;
  }
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0) {
    // Replace a stale socket left by a peer that died, but never a live one or a file
    // that is not a socket.
    if (!S_ISSOCK(st.st_mode)) {
      *error = "exists and is not a socket";
      return false;
    }
    UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (probe.get() >= 0 &&
        ::connect(probe.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) == 0) {
      *error = "another process is listening there";
      return false;
    }
    ::unlink(path.c_str());
  }
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sun), sizeof sun) != 0) {
    *error = errtext("bind");
    return false;
  }
  if (::listen(fd.get(), kBacklog) != 0) {
    *error = errtext("listen");
    ::unlink(path.c_str());
    return false;
  }
  out->fd = fd.release();
  out->unix_path = path;
  out->pid_line = path;
  return true;
}

bool open_inet(const std::string& rest, Listener* out, std::string* error) {
  size_t at = rest.find('@');
  if (at == std::string::npos) {
    *error = "expected inet:PORT@HOST";
    return false;
  }
  unsigned long port = 0;
  if (at == 0 || !parse_number(rest.substr(0, at).c_str(), 65535, &port)) {
    *error = "invalid port";
    return false;
  }
  std::string host = rest.substr(at + 1);
  if (host.empty()) {
    *error = "empty host";
    return false;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* res = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &res);
  if (rc != 0 || res == nullptr) {
    *error = std::string("cannot resolve ") + host + ": " + gai_strerror(rc);
    return false;
  }
  sockaddr_in sin{};
  std::memcpy(&sin, res->ai_addr, sizeof sin);
  ::freeaddrinfo(res);
  sin.sin_port = htons(static_cast<uint16_t>(port));
  UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (fd.get() < 0) {
    *error = errtext("socket");
    return false;
  }
  int on = 1;
  (void)::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&sin), sizeof sin) != 0) {
    *error = errtext("bind");
    return false;
  }
  if (::listen(fd.get(), kBacklog) != 0) {
    *error = errtext("listen");
    return false;
  }
  socklen_t len = sizeof sin;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&sin), &len) != 0) {
    *error = errtext("getsockname");
    return false;
  }
  char text[INET_ADDRSTRLEN] = "";
  ::inet_ntop(AF_INET, &sin.sin_addr, text, sizeof text);
  out->fd = fd.release();
  out->pid_line = std::string(text) + ":" + std::to_string(ntohs(sin.sin_port));
  return true;
}

}  // namespace

bool parse_number(const char* text, unsigned long max, unsigned long* out) {
  if (text == nullptr || *text == '\0' || *text == '-' || *text == '+' || *text == ' ')
    return false;
  errno = 0;
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 0);
  if (errno != 0 || end == text || *end != '\0' || v > max) return false;
  *out = v;
  return true;
}

void sleep_unless_stopping(int ms, const std::atomic<bool>& stopping) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!stopping.load() && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min(ms, 20)));
}

bool open_listener(const std::string& spec, Listener* out, std::string* error) {
  *out = Listener{};
  out->spec = spec;
  if (spec.size() > 6 && ::strncasecmp(spec.c_str(), "local:", 6) == 0)
    return open_unix(spec.substr(6), out, error);
  if (spec.size() > 5 && ::strncasecmp(spec.c_str(), "inet:", 5) == 0)
    return open_inet(spec.substr(5), out, error);
  *error = "expected local:PATH or inet:PORT@HOST";
  return false;
}

void close_listener(Listener* listener) {
  if (listener->fd >= 0) ::close(listener->fd);
  listener->fd = -1;
  if (!listener->unix_path.empty()) ::unlink(listener->unix_path.c_str());
  listener->unix_path.clear();
}

bool write_pidfile(const std::string& path, const std::vector<Listener>& listeners,
                   std::string* error) {
  std::string text = std::to_string(::getpid()) + "\n";
  for (const auto& l : listeners) text += l.pid_line + "\n";
  std::string tmp = path + ".tmp." + std::to_string(::getpid());
  UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) {
    *error = errtext(tmp.c_str());
    return false;
  }
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = errtext("write");
      ::unlink(tmp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (fd.close() != 0 || ::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = errtext(path.c_str());
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

Server::~Server() {
  for (auto& l : listeners_) close_listener(&l);
  if (ready_fd_ >= 0) ::close(ready_fd_);
}

bool Server::listen(const std::vector<std::string>& specs) {
  for (const auto& spec : specs) {
    Listener l;
    std::string error;
    if (!open_listener(spec, &l, &error)) {
      zv_log(ZV_LOG_ERRORS, "%s: cannot listen on %s: %s", ident_.c_str(), spec.c_str(),
             error.c_str());
      return false;
    }
    listeners_.push_back(std::move(l));
  }
  return !listeners_.empty();
}

bool Server::detach() {
  int p[2];
  if (::pipe2(p, O_CLOEXEC) != 0) {
    zv_log(ZV_LOG_ERRORS, "%s: pipe failed - %s", ident_.c_str(), stdlib_error(errno));
    return false;
  }
  pid_t pid = ::fork();
  if (pid < 0) {
    zv_log(ZV_LOG_ERRORS, "%s: fork failed - %s", ident_.c_str(), stdlib_error(errno));
    ::close(p[0]);
    ::close(p[1]);
    return false;
  }
  if (pid > 0) {
    // The parent leaves once the child listens and has written its pid file, so that a
    // script may connect as soon as the command returns.
    ::close(p[1]);
    char c = 0;
    ssize_t n;
    do n = ::read(p[0], &c, 1);
    while (n < 0 && errno == EINTR);
    ::_exit(n == 1 ? 0 : 71);
  }
  ::close(p[0]);
  ready_fd_ = p[1];
  ::setsid();
  if (::chdir("/") != 0) {
    // Nothing depends on the working directory; stay where we are.
  }
  // Descriptors inherited from whoever started us (a script's pipes, say) would keep
  // them waiting for an end of file that never comes: keep only our own.
  rlimit rl{};
  int max_fd = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < 65536
                   ? static_cast<int>(rl.rlim_cur)
                   : 65536;
  for (int fd = 3; fd < max_fd; ++fd) {
    bool ours = fd == ready_fd_;
    for (const auto& l : listeners_) ours = ours || fd == l.fd;
    if (!ours) ::close(fd);
  }
  int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    if (null > 2) ::close(null);
  }
  zv_log_setup(nullptr, ZV_LOG_INFO, LOG_DAEMON, LOG_INFO, ident_.c_str());
  return true;
}

void Server::spawn(int fd, const Handler& handler) {
  {
    std::lock_guard<std::mutex> g(mu_);
    ++active_;
  }
  try {
    std::thread([this, fd, &handler] {
      handler(fd);
      std::lock_guard<std::mutex> g(mu_);
      if (--active_ == 0) idle_.notify_all();
    }).detach();
  } catch (const std::system_error& e) {
    zv_log(ZV_LOG_ERRORS, "%s: cannot start a session thread: %s", ident_.c_str(), e.what());
    ::close(fd);
    std::lock_guard<std::mutex> g(mu_);
    if (--active_ == 0) idle_.notify_all();
  }
}

int Server::open_signals() {
  // Signals are taken from a descriptor on this thread; every session thread inherits
  // the blocked mask, so none of them is interrupted by them.
  sigset_t mask;
  sigemptyset(&mask);
  sigaddset(&mask, SIGHUP);
  sigaddset(&mask, SIGTERM);
  sigaddset(&mask, SIGINT);
  ::pthread_sigmask(SIG_BLOCK, &mask, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
  int fd = ::signalfd(-1, &mask, SFD_CLOEXEC);
  if (fd < 0)
    zv_log(ZV_LOG_ERRORS, "%s: signalfd failed - %s", ident_.c_str(), stdlib_error(errno));
  return fd;
}

bool Server::announce(const std::string& pidfile) {
  if (!pidfile.empty()) {
    std::string error;
    if (!write_pidfile(pidfile, listeners_, &error)) {
      zv_log(ZV_LOG_ERRORS, "%s: cannot write pid file %s: %s", ident_.c_str(), pidfile.c_str(),
             error.c_str());
      return false;
    }
  }
  for (const auto& l : listeners_)
    zv_log(ZV_LOG_INFO, "%s: listening on %s (%s)", ident_.c_str(), l.spec.c_str(),
           l.pid_line.c_str());
  if (ready_fd_ >= 0) {
    char c = 1;
    (void)!::write(ready_fd_, &c, 1);
    ::close(ready_fd_);
    ready_fd_ = -1;
  }
  return true;
}

bool Server::take_signal(int signal_fd, const Reload& reload) {
  signalfd_siginfo si{};
  if (::read(signal_fd, &si, sizeof si) != static_cast<ssize_t>(sizeof si)) return true;
  if (si.ssi_signo == SIGHUP) {
    zv_log(ZV_LOG_INFO, "%s: SIGHUP received - reloading", ident_.c_str());
    reload();
    return true;
  }
  zv_log(ZV_LOG_INFO, "%s: signal %u received - stopping", ident_.c_str(), si.ssi_signo);
  return false;
}

void Server::accept_waiting(int listen_fd, const Handler& handler) {
  while (active() < max_sessions_) {
    int c = ::accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (c >= 0) {
      spawn(c, handler);
      continue;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      zv_log(ZV_LOG_ERRORS, "%s: accept failed - %s", ident_.c_str(), stdlib_error(errno));
      // Out of descriptors: give running sessions a moment to free some.
      if (errno == EMFILE || errno == ENFILE)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return;
  }
}

void Server::run_loop(int signal_fd, const Handler& handler, const Reload& reload) {
  std::vector<pollfd> fds;
  fds.push_back({signal_fd, POLLIN, 0});
  for (const auto& l : listeners_) fds.push_back({l.fd, POLLIN, 0});
  bool running = true;
  while (running) {
    for (auto& p : fds) p.revents = 0;
    // At the session limit only the signals are watched, and briefly, until a session
    // ends; waiting connections stay in the listen queue meanwhile.
    bool full = active() >= max_sessions_;
    int n = ::poll(fds.data(), full ? 1 : fds.size(), full ? 20 : -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      zv_log(ZV_LOG_ERRORS, "%s: poll failed - %s", ident_.c_str(), stdlib_error(errno));
      return;
    }
    if (fds[0].revents & POLLIN) running = take_signal(signal_fd, reload);
    for (size_t i = 1; running && !full && i < fds.size(); ++i)
      if (fds[i].revents & POLLIN) accept_waiting(fds[i].fd, handler);
  }
}

int Server::drain(int drain_ms, const std::string& pidfile) {
  stopping_ = true;
  for (auto& l : listeners_) close_listener(&l);
  int exit_status = 0;
  {
    std::unique_lock<std::mutex> g(mu_);
    if (!idle_.wait_for(g, std::chrono::milliseconds(drain_ms), [this] { return active_ == 0; })) {
      zv_log(ZV_LOG_ERRORS, "%s: %d sessions still running at shutdown", ident_.c_str(), active_);
      exit_status = -1;  // the caller must not unwind under running sessions
    }
  }
  if (!pidfile.empty()) ::unlink(pidfile.c_str());
  zv_log(ZV_LOG_INFO, "%s: stopped", ident_.c_str());
  return exit_status;
}

int Server::serve(const Handler& handler, const Reload& reload, const std::string& pidfile,
                  int drain_ms) {
  UniqueFd signal_fd(open_signals());
  if (signal_fd.get() < 0 || !announce(pidfile)) return 71;
  run_loop(signal_fd.get(), handler, reload);
  return drain(drain_ms, pidfile);
}

}  // namespace zvs
