// Detached start of the mail submitter: see zv_dfork.h.
#include "zv_dfork.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_owned.h"

namespace {

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

}  // namespace

pid_t starter_run(const char* path, char* const argv[], int fds[2], pid_t* program) {
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
      report(status[1], kStarted, grandchild);
      _exit(0);
    }
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
