// Detached start of the mail submitter: see zv_dfork.h.
#include "zv_dfork.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_owned.h"

namespace {

// How a watched submitter ended, as the watcher reports it: one record per failed end,
// prepared by the parent before the fork (queue identifier and path), completed by the
// watcher and written with one write(), which a pipe keeps whole (PIPE_BUF).
enum EndKind : int32_t {
  kEndExit = 1,    // exited with the non-zero code in `value`
  kEndSignal = 2,  // killed by the signal in `value`
  kEndStop = 3,    // written by the watch itself: its thread ends
};
struct EndRecord {
  int32_t kind;
  int32_t value;
  int32_t pid;
  char queue_id[64];
  char path[256];
};
static_assert(sizeof(EndRecord) <= PIPE_BUF, "an end record must reach the pipe in one piece");

// The submitter watch: guarded by `mutex`, except `writer`, which starter_run() reads on
// any thread while the watch runs.
struct Watch {
  std::mutex mutex;
  std::atomic<int> writer{-1};  // write end of the pipe; -1: no watch
  int reader = -1;              // read end, used by `thread` only
  std::thread thread;
};
Watch g_watch;

// Copies `text` into `out` of `size` bytes, cut to fit and always terminated.
void copy_text(char* out, size_t size, const char* text) {
  size_t n = text != nullptr ? strnlen(text, size - 1) : 0;
  if (n > 0) memcpy(out, text, n);
  out[n] = '\0';
}

// The watch's thread: logs every record until the stop record.
void log_ends(int reader) {
  EndRecord record;
  size_t have = 0;
  for (;;) {
    ssize_t n = read(reader, reinterpret_cast<char*>(&record) + have, sizeof record - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    have += static_cast<size_t>(n);
    if (have < sizeof record) continue;
    have = 0;
    record.queue_id[sizeof record.queue_id - 1] = '\0';
    record.path[sizeof record.path - 1] = '\0';
    if (record.kind == kEndStop) return;
    if (record.kind == kEndExit) {
      zv_log(ZV_LOG_ERRORS, "[%s]: starter: submitter %s[%d] with error code %d", record.queue_id,
             record.path, record.pid, record.value);
    } else if (record.kind == kEndSignal) {
      zv_log(ZV_LOG_ERRORS, "[%s]: starter: submitter %s[%d] exited on signal %d", record.queue_id,
             record.path, record.pid, record.value);
    }
  }
}

// Closes every descriptor from 3 up but `keep`, and `last` after all the others, so that
// whoever sees `last` close knows that the rest went before it. Async-signal-safe.
void close_all_but(int keep, int last) {
  auto close_from_to = [](int first, int end) {  // [first, end)
    if (first >= end) return;
    if (close_range(static_cast<unsigned>(first), static_cast<unsigned>(end - 1), 0) == 0) return;
    for (int fd = first; fd < end && fd < 65536; ++fd) close(fd);
  };
  int a = keep < last ? keep : last;
  int b = keep < last ? last : keep;
  close_from_to(3, a);
  close_from_to(a + 1 > 3 ? a + 1 : 3, b);
  close_from_to(b + 1 > 3 ? b + 1 : 3, INT_MAX);
  if (last >= 3) close(last);
}

// What a child reports through the status pipe: one record per failure, and the pid of
// the grandchild, each written with one write() (atomic on a pipe), so no formatting and
// no lock is needed in the child.
enum ChildFailure : int {
  kForkFailed = 1,  // intermediate child: second fork
  kBindFailed = 2,  // grandchild: pipe onto standard input
  kExecFailed = 3,  // grandchild: execv
  kStarted = 4,     // intermediate child: the grandchild's pid (in `error`)
};
struct ChildReport {
  int failure;
  int error;
};

// Async-signal-safe: write() only.
void report(int fd, int failure, int error) {
  ChildReport record{failure, error};
  ssize_t n;
  do {
    n = write(fd, &record, sizeof record);
  } while (n < 0 && errno == EINTR);
}

// Runs in the grandchild; never returns.
[[noreturn]] void exec_submitter(const char* path, char* const argv[], int input, int writer,
                                 int status, const sigset_t* empty) {
  close(writer);
  if (input != STDIN_FILENO) {
    close(STDIN_FILENO);
    if (dup2(input, STDIN_FILENO) < 0) {
      report(status, kBindFailed, errno);
      _exit(STARTER_EXIT_OSERR);
    }
    close(input);
  } else if (fcntl(STDIN_FILENO, F_SETFD, 0) < 0) {
    // The pipe happened to get descriptor 0: it only has to survive execv.
    report(status, kBindFailed, errno);
    _exit(STARTER_EXIT_OSERR);
  }
  // The submitter starts with default signal handling, whatever the filter's threads
  // block or ignore (ignored signals and the mask would survive execv).
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigprocmask(SIG_SETMASK, empty, nullptr);
  execv(path, argv);
  report(status, kExecFailed, errno);
  _exit(STARTER_EXIT_OSERR);
}

// Logs what the children reported; returns at end of file, that is once the grandchild
// has exec'd or exited (the status pipe is close-on-exec). The grandchild's pid, or 0
// when none was reported.
pid_t log_child_reports(int status, const char* path) {
  pid_t program = 0;
  ChildReport record;
  size_t have = 0;
  for (;;) {
    ssize_t n = read(status, reinterpret_cast<char*>(&record) + have, sizeof record - have);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return program;
    have += static_cast<size_t>(n);
    if (have < sizeof record) continue;
    have = 0;
    switch (record.failure) {
      case kForkFailed:
        zv_log(ZV_LOG_ERRORS, "starter: cannot fork for submitting");
        break;
      case kBindFailed:
        zv_log(ZV_LOG_ERRORS, "starter: cannot bind pipe with stdin");
        break;
      case kExecFailed:
        zv_log(ZV_LOG_ERRORS, "starter: cannot execv() for %s - (%d) %s", path, record.error,
               stdlib_error(record.error));
        program = 0;
        break;
      case kStarted:
        program = record.error;
        break;
      default:
        break;
    }
  }
}

// Runs in the watcher, the intermediate child's child while the watch runs: starts the
// submitter, reports its pid, lets go of everything the filter had open (other sessions'
// sockets, spool files) and waits for the submitter; a failed end goes to the watch.
// Never returns.
[[noreturn]] void watch_submitter(const char* path, char* const argv[], int input, int writer,
                                  int status, const sigset_t* empty, int ends, EndRecord* end) {
  // An ignored SIGCHLD would have the submitter reaped without its status.
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &dfl, nullptr);
  pid_t submitter = _Fork();
  if (submitter < 0) {
    report(status, kForkFailed, errno);
    _exit(STARTER_EXIT_OSERR);
  }
  if (submitter == 0) exec_submitter(path, argv, input, writer, status, empty);
  report(status, kStarted, submitter);
  // Once the status pipe closes the parent reads on, so it goes last.
  close_all_but(ends, status);
  int how = 0;
  pid_t got;
  do {
    got = waitpid(submitter, &how, 0);
  } while (got < 0 && errno == EINTR);
  if (got == submitter && !(WIFEXITED(how) && WEXITSTATUS(how) == 0)) {
    end->pid = submitter;
    if (WIFSIGNALED(how)) {
      end->kind = kEndSignal;
      end->value = WTERMSIG(how);
    } else {
      end->kind = kEndExit;
      end->value = WIFEXITED(how) ? WEXITSTATUS(how) : how;
    }
    ssize_t n;
    do {
      n = write(ends, end, sizeof *end);
    } while (n < 0 && errno == EINTR);
  }
  _exit(0);
}

}  // namespace

StarterWatch::StarterWatch() {
  std::lock_guard<std::mutex> lock(g_watch.mutex);
  if (g_watch.writer.load() >= 0) return;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot create pipe for the submitter watch - %s",
           stdlib_error(errno));
    return;
  }
  // The thread takes no signal: libmilter waits for SIGTERM, SIGHUP and SIGINT on a
  // thread of its own and blocks them everywhere else, but only on the threads it makes.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  bool started = true;
  try {
    g_watch.thread = std::thread(log_ends, ends[0]);
  } catch (const std::system_error&) {
    started = false;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (!started) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot start the submitter watch");
    close(ends[0]);
    close(ends[1]);
    return;
  }
  g_watch.reader = ends[0];
  g_watch.writer.store(ends[1]);
  running_ = true;
}

StarterWatch::~StarterWatch() {
  if (!running_) return;
  std::lock_guard<std::mutex> lock(g_watch.mutex);
  int writer = g_watch.writer.exchange(-1);
  EndRecord stop{};
  stop.kind = kEndStop;
  ssize_t n;
  do {
    n = write(writer, &stop, sizeof stop);
  } while (n < 0 && errno == EINTR);
  // Without the stop record the thread would wait for the last watcher to end.
  if (n == static_cast<ssize_t>(sizeof stop)) {
    g_watch.thread.join();
  } else {
    g_watch.thread.detach();
  }
  close(writer);
  if (n == static_cast<ssize_t>(sizeof stop)) close(g_watch.reader);
  g_watch.reader = -1;
}

pid_t starter_run(const char* path, char* const argv[], int fds[2], pid_t* program,
                  const char* queue_id) {
  if (program != nullptr) *program = 0;
  if (path == nullptr || argv == nullptr || fds == nullptr) {
    zv_log_bad_parameters("starter:", path == nullptr, argv == nullptr);
    if (fds) fds[0] = fds[1] = -1;
    return -1;
  }
  fds[0] = fds[1] = -1;
  int data[2];
  if (pipe2(data, O_CLOEXEC) != 0) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot create pipe for submitter(%s) - %s", path,
           stdlib_error(errno));
    return -1;
  }
  zv::UniqueFd data_read(data[0]);
  zv::UniqueFd data_write(data[1]);
  int status[2];
  if (pipe2(status, O_CLOEXEC) != 0) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot create pipe for submitter(%s) - %s", path,
           stdlib_error(errno));
    return -1;
  }
  zv::UniqueFd status_read(status[0]);
  zv::UniqueFd status_write(status[1]);
  sigset_t empty;
  sigemptyset(&empty);
  // Everything the watcher needs is ready before the fork: it allocates nothing.
  const int ends = g_watch.writer.load();
  EndRecord end{};
  copy_text(end.queue_id, sizeof end.queue_id, queue_id != nullptr ? queue_id : "???");
  copy_text(end.path, sizeof end.path, path);

  pid_t child = fork();
  if (child < 0) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot fork for execute %s", path);
    return -1;
  }
  if (child == 0) {
    // Intermediate child: only async-signal-safe calls from here on, and no destructor
    // runs (every path ends in _exit or execv). _Fork() runs no fork handlers, unlike
    // fork().
    close(status[0]);
    pid_t grandchild = _Fork();
    if (grandchild < 0) {
      report(status[1], kForkFailed, errno);
      _exit(STARTER_EXIT_OSERR);
    }
    if (grandchild > 0) {
      // A watcher reports the submitter's pid itself.
      if (ends < 0) report(status[1], kStarted, grandchild);
      _exit(0);
    }
    if (ends >= 0) watch_submitter(path, argv, data[0], data[1], status[1], &empty, ends, &end);
    exec_submitter(path, argv, data[0], data[1], status[1], &empty);
  }

  fds[0] = data_write.release();
  data_read.reset();
  status_write.reset();
  int waited = starter_wait(child, 1, "submitter");
  pid_t started = log_child_reports(status_read.get(), path);
  status_read.reset();
  if (program != nullptr) *program = started;
  if (waited != 0) {
    zv_log(ZV_LOG_ERRORS, "starter: cannot wait for submitter");
    return -1;
  }
  return child;
}

int starter_wait(pid_t pid, int blocking, const char* name) {
  if (name == nullptr) {
    zv_log_bad_parameter("starter: wait ");
    return -1;
  }
  int status = 0;
  pid_t got;
  for (;;) {
    got = waitpid(pid, &status, blocking ? 0 : WNOHANG);
    if (got >= 0) break;
    if (errno != EINTR) {
      zv_log(ZV_LOG_ERRORS, "starter: wait for %s[%d] failed - %s", name, static_cast<int>(pid),
             stdlib_error(errno));
      return -1;
    }
    zv_log(ZV_LOG_DEBUG, "starter: wait for %s[%d] interrupted", name, static_cast<int>(pid));
  }
  if (got == 0) {
    zv_log(ZV_LOG_DEBUG, "starter: %s[%d] is still running", name, static_cast<int>(pid));
    return -1;
  }
  if (WIFSIGNALED(status)) {
    zv_log(ZV_LOG_ERRORS, "starter: %s[%d] exited on signal %d", name, static_cast<int>(pid),
           WTERMSIG(status));
  }
  if (WIFSTOPPED(status)) {
    zv_log(ZV_LOG_ERRORS, "starter: %s[%d] stopped by signal %d", name, static_cast<int>(pid),
           WSTOPSIG(status));
  }
  if (WIFEXITED(status)) {
    if (WEXITSTATUS(status) == 0) {
      zv_log(ZV_LOG_DEBUG, "starter: %s[%d] exited normally", name, static_cast<int>(pid));
      return 0;
    }
    zv_log(ZV_LOG_ERRORS, "starter: %s[%d] with error code %d", name, static_cast<int>(pid),
           WEXITSTATUS(status));
    return -1;
  }
  zv_log(ZV_LOG_ERRORS, "starter: %s[%d] terminates abnormally with status %d", name,
         static_cast<int>(pid), status >> 8);
  return -1;
}
