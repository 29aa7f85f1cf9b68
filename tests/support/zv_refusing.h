// Fault injection for tests: runs a piece of test code in a forked child whose chosen
// system calls fail with a chosen errno (a seccomp filter), so that failure paths meet
// the kernel's real errors (ENOSPC, EIO, EPIPE, EXDEV, ...) without mocks or root.
//
// The child reports back over a close-on-exec pipe: "done:" followed by the checks
// that failed (empty when all held). Where seccomp cannot be set up the answer starts
// with "unavailable:", and EXPECT_CHILD_OK fails the test with that text, so that a
// path that cannot be exercised never passes unnoticed.
#pragma once

#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zvtest {

// A system call that the filtered child sees fail with an errno.
struct Refusal {
  long syscall_nr;
  int error;
  // Refuse only calls whose third argument (the byte count of write) is this; -1 refuses
  // every call. Lets the sanitizers' own small internal writes through.
  long count = -1;
};

// Makes the listed system calls of this process (and of the programs it executes) fail
// from now on. false when seccomp cannot be set up (errno says why).
inline bool install_refusals(const std::vector<Refusal>& refusals) {
  std::vector<sock_filter> prog;
  for (const Refusal& r : refusals) {
    prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    if (r.count < 0) {
      prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(r.syscall_nr), 0, 1));
    } else {
      prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(r.syscall_nr), 0, 3));
      // Low word of the third argument (little-endian).
      prog.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])));
      prog.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<__u32>(r.count), 0, 1));
    }
    prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | (r.error & SECCOMP_RET_DATA)));
  }
  prog.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) == 0;
}

// Runs `body` in a child whose listed system calls fail; `body` returns "" when all its
// checks held, else a description. The answer travels by writev(), which the filters
// never refuse. Returns "done:" and the failures, or "unavailable: ..." when seccomp
// cannot be set up.
inline std::string run_refusing(const std::vector<Refusal>& refusals,
                                const std::function<std::string()>& body) {
  int p[2];
  if (pipe2(p, O_CLOEXEC) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid < 0) {
    close(p[0]);
    close(p[1]);
    return "fork failed";
  }
  if (pid == 0) {
    close(p[0]);
    auto answer = [&](const std::string& text) {
      iovec v{const_cast<char*>(text.data()), text.size()};
      (void)!writev(p[1], &v, 1);
      _exit(0);
    };
    if (!install_refusals(refusals))
      answer(std::string("unavailable: seccomp cannot be set up - errno ") + std::to_string(errno));
    // An explicit mark, so that a child that dies without answering never reads as passed.
    answer("done:" + body());
  }
  close(p[1]);
  std::string out;
  char buf[512];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
    if (n > 0) out.append(buf, static_cast<size_t>(n));
  }
  close(p[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) out += " [child ended abnormally]";
  return out;
}

}  // namespace zvtest

// Adds a failure description to the `failures` text of a child's body.
#define CHILD_CHECK(cond)                           \
  do {                                              \
    if (!(cond)) failures += "failed: " #cond "\n"; \
  } while (0)

// The child ran and every check held. A child that could not filter its system calls
// fails the test with the reason: the path it was to exercise went untested.
#define EXPECT_CHILD_OK(result) \
  do {                          \
    std::string r_ = (result);  \
    EXPECT_EQ(r_, "done:");     \
  } while (0)
