// Process set-up: the account switch and the detach (see zv_process.h).
#include "zv_process.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "zv_log.h"
#include "zv_owned.h"

namespace {

// Sets the account's supplementary groups. A process that may not change its group list
// (not root) has no inherited privileged groups to shed, so EPERM there is not a failure;
// for root it is.
bool set_groups(const char* name, gid_t gid) {
  if (initgroups(name, gid) == 0) return true;
  return errno == EPERM && geteuid() != 0;
}

// Puts descriptors 0 to 2 on /dev/null. A /dev/null descriptor that already is one of
// them (its slot was free) stays open as that stream.
bool redirect_std_streams() {
  zv::UniqueFd in(open("/dev/null", O_RDONLY | O_CLOEXEC));
  if (!in.valid()) return false;
  bool ok = dup2(in.get(), STDIN_FILENO) >= 0;
  if (in.get() == STDIN_FILENO) (void)in.release();
  if (!ok) return false;
  zv::UniqueFd out(open("/dev/null", O_WRONLY | O_CLOEXEC));
  if (!out.valid()) return false;
  ok = dup2(out.get(), STDOUT_FILENO) >= 0 && dup2(out.get(), STDERR_FILENO) >= 0;
  if (out.get() == STDOUT_FILENO || out.get() == STDERR_FILENO) (void)out.release();
  return ok;
}

void close_from_3(int32_t limit) {
  if (limit <= 3) return;
  if (close_range(3, static_cast<unsigned>(limit - 1), 0) == 0) return;
  for (int fd = 3; fd < limit; ++fd) close(fd);
}

}  // namespace

int set_account(const char* name) {
  if (name == nullptr || name[0] == '\0') {
    zv_log(ZV_LOG_VERBOSE,
           "conf: no user specified - filter would use current account (uid=%d, gid=%d)",
           static_cast<int>(getuid()), static_cast<int>(getgid()));
    return 1;
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  int error = 0;
  while ((error = getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found)) == ERANGE &&
         buffer.size() < (1u << 20))
    buffer.resize(buffer.size() * 2);
  if (found == nullptr) {
    zv_log(ZV_LOG_ERRORS, "conf: non-existing user account %s specified", name);
    return 0;
  }
  // The groups go first: once the user id is given up, they can no longer be changed.
  if (!set_groups(found->pw_name, found->pw_gid) || setgid(found->pw_gid) != 0 ||
      setuid(found->pw_uid) != 0) {
    int saved = errno;
    zv_log(ZV_LOG_ERRORS, "conf: cannot set uid or gid - %s", stdlib_error(saved));
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "conf: filter would use %s account (uid=%d, gid=%d)", name,
         static_cast<int>(getuid()), static_cast<int>(getgid()));
  return 1;
}

int daemonize(const char* directory, int close_descriptors) {
  signal(SIGTTOU, SIG_IGN);
  signal(SIGTTIN, SIG_IGN);
  signal(SIGTSTP, SIG_IGN);
  pid_t pid = fork();
  if (pid != 0) return pid > 0 ? static_cast<int>(pid) : -1;

  if (setsid() < 0) {
    zv_log(ZV_LOG_ERRORS, "conf: cannot create new session");
    return -1;
  }
  if (directory != nullptr && chdir(directory) != 0) {
    zv_log(ZV_LOG_ERRORS, "conf: cannot change directory to %s", directory);
    return -1;
  }
  closelog();
  if (!redirect_std_streams()) {
    zv_log(ZV_LOG_ERRORS, "conf: cannot redirect std-streams to /dev/null");
    return -1;
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    zv_log(ZV_LOG_ERRORS, "conf: cannot get system limits");
    return -1;
  }
  // The hard limit read as a signed 32-bit number: "unlimited" comes out negative and
  // closes nothing.
  if (close_descriptors) close_from_3(static_cast<int32_t>(limit.rlim_max));
  return 0;
}
