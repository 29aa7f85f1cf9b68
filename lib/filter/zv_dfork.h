// Starting the mail submitter detached from the filter.
//
// starter_run() forks twice so that the submitter is adopted by init and no child is left
// to be reaped: the intermediate child forks and exits at once, the grandchild puts the
// read end of a pipe on its standard input and execs the program. The filter is
// multi-threaded, so both children make only async-signal-safe calls; they never log
// themselves. Their failures travel as small records through a close-on-exec status pipe
// to the parent, which logs them with the prefix "starter:". The module has no state and
// takes no locks.
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
[[nodiscard]] pid_t starter_run(const char* path, char* const argv[], int fds[2],
                                pid_t* program = nullptr);

// Waits for process `pid` (without blocking when `blocking` is 0) and judges its end.
// 0 when it exited normally with code 0, else -1 (also when, not blocking, it has not
// ended yet). `name` names the process in the log lines.
[[nodiscard]] int starter_wait(pid_t pid, int blocking, const char* name);
