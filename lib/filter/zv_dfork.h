// Starting the mail submitter detached from the filter.
//
// starter_run() forks twice so that the submitter is adopted by init and no child is left
// to be reaped: the intermediate child forks and exits at once, the grandchild puts the
// read end of a pipe on its standard input and execs the program. The filter is
// multi-threaded, so both children make only async-signal-safe calls; they never log
// themselves. Their failures travel as small records through a close-on-exec status pipe
// to the parent, which logs them with the prefix "starter:".
//
// While the submitter watch runs (StarterWatch), the grandchild is a watcher instead: it
// forks the submitter, drops every descriptor it inherited but one, waits for the
// submitter and, when that fails, writes one fixed record into the watch's pipe. The
// watch's thread reads the records and logs them, so a failed submission is seen without
// any connection thread waiting for the submitter, and the watcher, reaped by init, leaves
// no zombie. The watch is the module's only state: its descriptors and thread, started and
// stopped on the main thread under the watch's own mutex, and read by starter_run()
// through an atomic.
#pragma once

#include <sys/types.h>

// Exit code of the two child processes when they fail (EX_OSERR).
inline constexpr int STARTER_EXIT_OSERR = 71;

// Starts `path` with the null-terminated argument vector `argv`, its standard input the
// read end of a new pipe. Returns the pid of the intermediate child (> 0): fds[0] then
// holds the pipe's write end (close-on-exec), which the caller writes the input to and
// closes; fds[1] is -1. Returns -1 on failure with both slots -1, except after a failed
// wait for the intermediate child, when fds[0] still holds the write end for the caller
// to close. A program that cannot be executed is logged by the parent from the
// grandchild's report but does not fail this call. The vector must be complete before
// the call: nothing is allocated after the fork. With `program`, *program receives the
// pid of the started program (0 when it could not be started or is unknown): it is not
// a child of the caller, so only a caller that still holds the pipe's write end and sees
// a reader on it may signal that pid.
// With the watch running, a failed end of the program is logged later, at Errors, with
// `queue_id` (null: "???"): "[<queue id>]: starter: submitter <path>[<pid>] with error
// code <n>" or "... exited on signal <n>".
[[nodiscard]] pid_t starter_run(const char* path, char* const argv[], int fds[2],
                                pid_t* program = nullptr, const char* queue_id = nullptr);

// Waits for process `pid` (without blocking when `blocking` is 0) and judges its end.
// 0 when it exited normally with code 0, else -1 (also when, not blocking, it has not
// ended yet). `name` names the process in the log lines.
[[nodiscard]] int starter_wait(pid_t pid, int blocking, const char* name);

// Runs the submitter watch for its lifetime: the constructor creates the watch's pipe and
// thread (a failure is logged and leaves the submitters unwatched), the destructor stops
// the thread and closes the pipe; submitters that end after that are not reported. One
// watch at a time: a second one while the first runs does nothing. Start it after the
// process has detached, from the thread that will also end it.
class StarterWatch {
 public:
  StarterWatch();
  ~StarterWatch();
  StarterWatch(const StarterWatch&) = delete;
  StarterWatch& operator=(const StarterWatch&) = delete;
  // True when this object started the watch.
  bool running() const { return running_; }

 private:
  bool running_ = false;
};
