// Process set-up (account switch, detach) and the links to the scanning daemon's client
// library and to the statistics agent (see zv_util.h).
//
// Locks: drop_stat() takes the agent's "ZarvikAgent::Connection" mutex for each exchange;
// nothing else here locks, because it all runs on the main thread before libmilter starts
// or after it stopped.
#include "zv_util.h"

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

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_mutex.h"
#include "zv_options.h"
#include "zvc_ipc.h"
#include "zvc_lib.h"
#include "zvc_proto.h"
#include "zvc_strings.h"

namespace {

constexpr const char* kAgentMutexName = "ZarvikAgent::Connection";

// Sets the account's supplementary groups. A process that may not change its group list
// (not root) has no inherited privileged groups to shed, so EPERM there is not a failure;
// for root it is.
bool set_groups(const char* name, gid_t gid) {
  if (initgroups(name, gid) == 0) return true;
  return errno == EPERM && geteuid() != 0;
}

bool redirect_std_streams() {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  bool ok = dup2(in, STDIN_FILENO) >= 0;
  if (in != STDIN_FILENO) close(in);
  if (!ok) return false;
  int out = open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (out < 0) return false;
  ok = dup2(out, STDOUT_FILENO) >= 0 && dup2(out, STDERR_FILENO) >= 0;
  if (out != STDOUT_FILENO && out != STDERR_FILENO) close(out);
  return ok;
}

void close_from_3(int32_t limit) {
  if (limit <= 3) return;
  if (close_range(3, static_cast<unsigned>(limit - 1), 0) == 0) return;
  for (int fd = 3; fd < limit; ++fd) close(fd);
}

// One exchange with the agent: `count` ints sent, one int received, which must be 0.
bool agent_request(IpcChannel* channel, std::initializer_list<uint32_t> request) {
  for (uint32_t value : request)
    if (!proto::write_int(channel, value)) return false;
  int32_t answer = -1;
  return proto::read_int(channel, &answer) && answer == 0;
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

int init_lib(const DaemonCommunicationConfig* daemon) {
  if (daemon == nullptr) {
    zv_log(ZV_LOG_ERRORS, "init_lib: cannot add address to library (error: %d)", 0);
    return 0;
  }
  StringList* addresses = daemon->addresses;
  strings::begin(addresses, strings::kForward);
  const char* primary = strings::next(addresses);
  if (primary == nullptr) {
    zv_log(ZV_LOG_ERRORS, "init_lib: cannot add address to library (error: %d)", 0);
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "init_lib: set primary daemon address = <%s>", primary);
  int code = startup(kFilterLibraryVersion, primary, daemon->timeout, daemon->cache);
  if (code != 0) {
    zv_log(ZV_LOG_VERBOSE, "init_lib: cannot initialize zvclient library (error: %d)", code);
    return 0;
  }
  for (const char* backup = strings::next(addresses); backup != nullptr;
       backup = strings::next(addresses)) {
    zv_log(ZV_LOG_VERBOSE, "init_lib: set backup daemon address = <%s>", backup);
    code = add_address(backup, daemon->timeout, daemon->cache);
    if (code != 0) {
      zv_log(ZV_LOG_VERBOSE, "init_lib: cannot add address to library (error: %d)", code);
      return 0;
    }
  }
  return 1;
}

int init_stat(AgentConfig* agent) {
  if (agent == nullptr) {
    zv_log_bad_parameter("zvlib:init_stat");
    return 0;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "init_stat: agent address was not defined - assume no agent");
    return 1;
  }
  NamedMutexPtr mutex(zv_mutex_create(kAgentMutexName));
  if (!mutex) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot create locker for connection to agent");
    return 0;
  }
  IpcChannelPtr channel(ipc::create(agent->address, agent->timeout, 0));
  if (!channel) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot connect to agent");
    return 0;
  }
  if (!agent_request(channel.get(), {kAgentHello, kAgentRegister})) {
    zv_log(ZV_LOG_ERRORS, "init_stat: cannot register agent");
    return 0;
  }
  agent->connection = channel.release();
  agent->mutex = mutex.release();
  agent->failed = 0;
  zv_log(ZV_LOG_INFO, "init_stat: connection(%s) with agent has been established", agent->address);
  return 1;
}

int drop_stat(AgentConfig* agent, ScanResult* result) {
  if (agent == nullptr || result == nullptr) {
    zv_log_bad_parameters("zvlib:drop_stat:", agent == nullptr, result == nullptr);
    return 0;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "drop_stat: agent address was not defined - assume no agent");
    return 1;
  }
  ScanStatistics* statistics = scanresult_stats(result);
  VirusLists* viruses = scanresult_viruses(result);
  if (agent->connection == nullptr || agent->mutex == nullptr || statistics == nullptr ||
      viruses == nullptr) {
    zv_log_bad_parameters("zvlib:drop_stat:", agent->connection == nullptr, agent->mutex == nullptr,
                          statistics == nullptr, viruses == nullptr);
    return 0;
  }
  stat_print(ZV_LOG_VERBOSE, statistics);
  if (!zv_mutex_lock(agent->mutex)) {
    zv_log(ZV_LOG_ERRORS, "drop_stat: cannot lock ipc with agent - skip statistic");
    return 0;
  }
  IpcChannel* channel = agent->connection;
  // Every exchange gets the whole agent time-out. After a failed one the stream may still
  // hold a late answer, which the next exchange would take for its own: the connection is
  // then left alone for good.
  bool delivered = !agent->failed && ipc::set_timeout(channel, agent->timeout) &&
                   proto::write_int(channel, kAgentStatistics) &&
                   proto::write_stat(channel, statistics) &&
                   proto::write_list(channel, viruses->get(kVirusKnown), 1) &&
                   proto::write_list(channel, viruses->get(kVirusModification), 1);
  if (delivered) {
    int32_t answer = -1;
    delivered = proto::read_int(channel, &answer) && answer == 0;
  }
  if (!delivered) {
    agent->failed = 1;
    zv_log(ZV_LOG_ERRORS, "drop_stat: errors during talking with agent");
  }
  if (!zv_mutex_unlock(agent->mutex)) {
    zv_log(ZV_LOG_ERRORS, "drop_stat: cannot unlock ipc with agent - FATAL, no more statistic");
    return 0;
  }
  return delivered ? 1 : 0;
}

void fini_stat(AgentConfig* agent) {
  if (agent == nullptr || (agent->address != nullptr && agent->connection == nullptr)) {
    zv_log_bad_parameter("zvlib:fini_stat");
    return;
  }
  if (agent->address == nullptr) {
    zv_log(ZV_LOG_DEBUG, "fini_stat: agent address was not defined - assume no agent");
    return;
  }
  if (agent->failed || !ipc::set_timeout(agent->connection, agent->timeout) ||
      !agent_request(agent->connection, {kAgentDeregister}))
    zv_log(ZV_LOG_ERRORS, "fini_stat: cannot deregister agent");
  (void)ipc::destroy(agent->connection);
  agent->connection = nullptr;
  zv_mutex_destroy(agent->mutex);
  agent->mutex = nullptr;
  agent->failed = 0;
  zv_log(ZV_LOG_INFO, "init_stat: connection(%s) with agent has been closed", agent->address);
}
