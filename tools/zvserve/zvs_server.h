// Listening sockets, pid file, detaching and the accept loop of the stand-in peers.
//
// A peer listens on one or more addresses in the client library's syntax
// (local:PATH, inet:PORT@HOST with an IPv4 host; port 0 picks a free port), writes a pid
// file that the client's "pid:" addresses can read (the process id, then one line per
// listening address: the socket path, or HOST:PORT with the port actually bound), and
// serves every accepted connection on its own thread until SIGTERM or SIGINT. SIGHUP
// calls the peer's reload routine on the main thread.
//
// Owns the listening sockets, the socket files it created and the pid file: all are
// removed again when serve() returns. The session counter is guarded by the server's
// own mutex; handlers run concurrently and share nothing through this module.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zvs {

// One bound, listening socket.
struct Listener {
  std::string spec;       // the address as given
  int fd = -1;            // listening socket (non-blocking, close-on-exec)
  std::string unix_path;  // socket file to remove at the end (Unix family only)
  std::string pid_line;   // its line in the pid file
};

// Binds and listens on `spec`. False with a reason in *error.
[[nodiscard]] bool open_listener(const std::string& spec, Listener* out, std::string* error);
// Closes the socket and removes the socket file.
void close_listener(Listener* listener);

// Writes the pid file atomically (a temporary file renamed into place), so that a reader
// never sees half of it. False with a reason in *error.
[[nodiscard]] bool write_pidfile(const std::string& path, const std::vector<Listener>& listeners,
                                 std::string* error);

// Parses a non-negative decimal or 0x-hexadecimal number that fits `max`. False on any
// trailing text.
[[nodiscard]] bool parse_number(const char* text, unsigned long max, unsigned long* out);

// Sleeps `ms` milliseconds, or less when `stopping` becomes set meanwhile.
void sleep_unless_stopping(int ms, const std::atomic<bool>& stopping);

class Server {
 public:
  using Handler = std::function<void(int fd)>;  // owns fd
  using Reload = std::function<void()>;

  // `ident` names the peer in its log lines; at most `max_sessions` run at once (further
  // connections wait in the listen queue).
  explicit Server(std::string ident, int max_sessions = 1024)
      : ident_(std::move(ident)), max_sessions_(max_sessions) {}
  ~Server();

  // Opens every listener; false (logged) when one fails.
  [[nodiscard]] bool listen(const std::vector<std::string>& specs);
  // Detaches from the terminal: the parent waits until the child is ready and exits.
  // Logging then goes to syslog. False (logged) on failure.
  [[nodiscard]] bool detach();
  // Serves until SIGTERM or SIGINT, then stops accepting, waits up to `drain_ms` for the
  // running sessions and removes socket files and the pid file (`pidfile` may be empty).
  // Returns the process exit status.
  int serve(const Handler& handler, const Reload& reload, const std::string& pidfile, int drain_ms);
  // Set once a stop signal arrived, so that long waits in handlers end early.
  const std::atomic<bool>& stopping_flag() const { return stopping_; }

 private:
  // The steps of serve(). A descriptor that reads SIGHUP, SIGTERM and SIGINT (blocked
  // for every thread), or -1 (logged).
  int open_signals();
  // Writes the pid file, logs the listeners and releases a waiting parent. False
  // (logged) when the pid file cannot be written.
  bool announce(const std::string& pidfile);
  // Reads one signal: SIGHUP reloads; false for a stop signal.
  bool take_signal(int signal_fd, const Reload& reload);
  // Accepts the waiting connections of one listener, up to the session limit.
  void accept_waiting(int listen_fd, const Handler& handler);
  // Serves connections and signals until a stop signal (or a failed poll).
  void run_loop(int signal_fd, const Handler& handler, const Reload& reload);
  // Stops accepting, waits for the sessions and removes the pid file; the exit status.
  int drain(int drain_ms, const std::string& pidfile);
  void spawn(int fd, const Handler& handler);
  int active() {
    std::lock_guard<std::mutex> g(mu_);
    return active_;
  }
  std::string ident_;
  int max_sessions_;
  std::vector<Listener> listeners_;
  int ready_fd_ = -1;  // pipe to the waiting parent after detach()
  std::atomic<bool> stopping_{false};
  std::mutex mu_;
  std::condition_variable idle_;
  int active_ = 0;  // running sessions; guarded by mu_
};

}  // namespace zvs
