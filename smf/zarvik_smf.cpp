// The zarvik-smf program: process entry, start-up and shutdown.
//
// main() reads the command line and the configuration, prepares the host name and the
// X-Antivirus header text, takes the filter's account, detaches, starts the daemon
// client library and the statistics-agent link, configures libmilter, registers the
// filter and runs libmilter's main loop until a signal stops it; then it stops the agent
// link and the client library. Everything here runs on the main thread; the values it
// stores in FilterConfig are written before smfi_main() and read-only afterwards.
#include <libmilter/mfapi.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "smf_callbacks.h"
#include "smf_eom.h"
#include "smf_guard.h"
#include "smf_message.h"
#include "smf_reload.h"
#include "zv_checkconf.h"
#include "zv_cmdline.h"
#include "zv_dfork.h"
#include "zv_log.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zv_process.h"
#include "zv_util.h"
#include "zvc_ipc.h"
#include "zvc_lib.h"
#include "zvc_strings.h"

#if defined(__SANITIZE_THREAD__)
// Thread-sanitizer builds only. libmilter is not instrumented: its listener and signal
// threads share the listening socket's state, it tears its mutexes down at exit through
// synchronisation the sanitizer cannot see, and its signal thread is never joined.
// Reports whose stacks run through libmilter are the library's own; everything in this
// program stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libmilter.so\n"
         "mutex:libmilter.so\n"
         "thread:libmilter.so\n";
}
#endif

namespace {

constexpr const char* kFilterName = "Zarvik (R) Filter for sendmail ver.4.33";
constexpr size_t kHostNameSize = 512;
// How long a stop waits for the messages in progress to get their answers. With the
// up to five seconds libmilter takes to see its stop flag this stays well inside the
// service unit's TimeoutStopSec (30 s), so the wait ends before systemd kills the filter.
constexpr int kStopWaitSeconds = 20;
// The Milter socket is for the MTA, which reaches it through the filter account's group:
// nobody else gets any access, whatever umask the filter inherited.
constexpr mode_t kMilterSocketUmask = 007;

smfiDesc filter_description() {
  smfiDesc description{};
  description.xxfi_name = const_cast<char*>(kFilterName);
  description.xxfi_version = 2;
  description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_CHGHDRS;
  description.xxfi_connect = guarded<smf_connect>;
  description.xxfi_helo = guarded<smf_helo>;
  description.xxfi_envfrom = guarded<smf_envfrom>;
  description.xxfi_envrcpt = guarded<smf_envrcpt>;
  description.xxfi_header = guarded<smf_header>;
  description.xxfi_eoh = guarded<smf_eoh>;
  description.xxfi_body = guarded<smf_body>;
  description.xxfi_eom = guarded<smf_eom>;
  description.xxfi_abort = guarded<smf_abort>;
  description.xxfi_close = guarded<smf_close, true>;
  return description;
}

// Stores the host name (or "unknown hostname") in the configuration. false only when not
// even the fallback text can be stored.
bool set_host_name(ScanningConfig* scanning) {
  zv::UniqueMalloc<char> name(static_cast<char*>(malloc(kHostNameSize)));
  if (name == nullptr) {
    zv_log(ZV_LOG_ALERTS, "set hostname to unknown because cannot allocate memory");
  } else if (gethostname(name.get(), kHostNameSize) != 0) {
    int error = errno;
    zv_log(ZV_LOG_ALERTS, "set hostname to unknown because cannot get hostname - %s",
           stdlib_error(error));
    name.reset();
  } else {
    name.get()[kHostNameSize - 1] = '\0';
    scanning->hostname = name.release();
    return true;
  }
  name.reset(strdup("unknown hostname"));
  if (name == nullptr) {
    zv_log(ZV_LOG_ERRORS, "cannot set hostname");
    return false;
  }
  scanning->hostname = name.release();
  return true;
}

bool format_x_antivirus(ScanningConfig* scanning) {
  size_t length = strlen(scanning->hostname);
  zv::UniqueMalloc<char> text(static_cast<char*>(malloc(length + 39)));
  if (text == nullptr) {
    zv_log(ZV_LOG_ERRORS, "cannot preformat X-Antivirus header");
    return false;
  }
  snprintf(text.get(), length + 38, "Zarvik (R) for Mail Servers on %s host", scanning->hostname);
  text.get()[length + 38] = '\0';
  scanning->x_antivirus = text.release();
  return true;
}

// Whether something accepts connections on the Unix socket `path`: a running filter.
// A socket nobody listens on refuses them.
bool socket_answers(const char* path) {
  zv::UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (!fd.valid() || strlen(path) >= sizeof address.sun_path) return false;
  memcpy(address.sun_path, path, strlen(path) + 1);
  int result;
  do {
    result = connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  // A full backlog (EAGAIN) still means a listener.
  return result == 0 || errno == EAGAIN;
}

// Removes a socket file left at a Unix MilterAddress by an earlier run. Only a socket
// nobody listens on is removed: one that answers belongs to a running filter, whose MTA
// would lose it, and any other file there is most likely a mistyped address naming a file
// that matters; in both cases the start fails. false when the address is malformed, its
// path cannot be examined, holds something else than a socket or a live one (logged).
bool remove_stale_socket(const char* address) {
  int family = 0;
  IpcAddressPtr parsed(ipc::parse_address(address, 0, &family));
  if (!parsed) {
    zv_log(ZV_LOG_ERRORS, "malformed parameter MilterAddress = %s", address);
    return false;
  }
  if (family != kIpcUnix) return true;
  const char* path = ipc::unix::filename(parsed.get());
  if (path == nullptr) {
    zv_log(ZV_LOG_ERRORS, "malformed parameter MilterAddress = %s", address);
    return false;
  }
  struct stat status {};
  if (lstat(path, &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) {
      zv_log(ZV_LOG_ERRORS,
             "MilterAddress %s names an existing file that is not a socket - not removed", path);
      return false;
    }
    if (socket_answers(path)) {
      zv_log(ZV_LOG_ERRORS,
             "MilterAddress %s is the socket of a running filter - not removed, the start stops",
             path);
      return false;
    }
    zv_log(ZV_LOG_INFO, "stalled socket %s detected - try remove", path);
    (void)unlink(path);
  } else if (errno != ENOENT) {
    int error = errno;
    zv_log(ZV_LOG_ERRORS, "stat(%s) failed - %s", path, stdlib_error(error));
    return false;
  }
  return true;
}

// Configures libmilter, registers the filter and runs the main loop. The exit status.
int run_milter(const MailerConfig& mailer) {
  zv_log(ZV_LOG_INFO, "set SIGHUP handler");
  if (smfi_sethuphook(smf_reload) != 0) {
    zv_log(ZV_LOG_ERRORS, "cannot set SIGHUP handler");
    return EXIT_SOFTWARE;
  }
  zv_log(ZV_LOG_INFO, "set milter backlog = %d", mailer.milter_backlog);
  if (smfi_setbacklog(mailer.milter_backlog) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot set backlog for milter");
    return EXIT_SOFTWARE;
  }
  zv_log(ZV_LOG_INFO, "set milter timeout = %d", mailer.milter_timeout);
  if (smfi_settimeout(mailer.milter_timeout) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot set timeout for milter");
    return EXIT_SOFTWARE;
  }
  zv_log(ZV_LOG_INFO, "set milter loglevel = %d", mailer.milter_debug_level);
  if (smfi_setdbg(mailer.milter_debug_level) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot set loglevel for milter");
    return EXIT_SOFTWARE;
  }
  if (!remove_stale_socket(mailer.milter_address)) return EXIT_SOFTWARE;
  zv_log(ZV_LOG_INFO, "set milter connection %s", mailer.milter_address);
  if (smfi_setconn(mailer.milter_address) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot set address for milter");
    return EXIT_SOFTWARE;
  }
  if (smfi_register(filter_description()) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot register filter in Milter API library (libmilter.a)");
    return EXIT_SOFTWARE;
  }
  // The socket is made here rather than inside smfi_main(), so that its mode is ours.
  // umask is process-wide; no other thread exists yet (libmilter starts its own in
  // smfi_main), so nothing else creates a file under the narrowed mask.
  mode_t inherited = umask(kMilterSocketUmask);
  int opened = smfi_opensocket(false);
  (void)umask(inherited);
  if (opened != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "cannot open the socket for milter at %s", mailer.milter_address);
    return EXIT_SOFTWARE;
  }
  zv_log(ZV_LOG_INFO, "%s started ...", kFilterName);
  if (smfi_main() != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "%s stopped abnormally ...", kFilterName);
    return EXIT_SOFTWARE;
  }
  if (smf_reload_failed()) {
    zv_log(ZV_LOG_ERRORS, "%s stopped because the lists could not be reloaded", kFilterName);
    return EXIT_SOFTWARE;
  }
  return 0;
}

// libmilter's loop returns while connection threads may still be in the middle of a
// message. Their scans need the client library, which the shutdown takes down, so the
// messages in progress are given time to get their answers first. A message that no
// callback is working on waits for its MTA, and libmilter no longer serves its
// connection (nor calls its close callback): it is dropped at once, its spool file
// removed, instead of being waited for in vain.
void wait_for_messages() {
  (void)smf_drop_idle_messages();
  int left = smf_messages_in_progress();
  if (left <= 0) return;
  zv_log(ZV_LOG_INFO, "%s waits for %d message(s) in progress ...", kFilterName, left);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStopWaitSeconds);
  while (std::chrono::steady_clock::now() < until) {
    (void)smf_drop_idle_messages();
    if ((left = smf_messages_in_progress()) <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  if (left > 0)
    zv_log(ZV_LOG_ALERTS, "%s stops with %d message(s) still in progress", kFilterName, left);
}

// Descriptors: every SMTP session holds a spool file from MAIL on, beside its Milter
// connection and the daemon's. The soft limit is raised to the hard one; a failure only
// leaves the inherited limit.
void raise_open_files_limit() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    int error = errno;
    zv_log(ZV_LOG_ALERTS, "cannot get the limit of open files - %s", stdlib_error(error));
    return;
  }
  if (limit.rlim_cur == limit.rlim_max) return;
  rlim_t wanted = limit.rlim_max;
  limit.rlim_cur = wanted;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    int error = errno;
    zv_log(ZV_LOG_ALERTS, "cannot raise the limit of open files to %llu - %s",
           static_cast<unsigned long long>(wanted), stdlib_error(error));
    return;
  }
  zv_log(ZV_LOG_INFO, "limit of open files raised to %llu",
         static_cast<unsigned long long>(wanted));
}

// A daemon that is down now may come up later, so the start goes on; but the
// administrator learns at once that every scan would fail as things stand.
void warn_without_daemon(const DaemonCommunicationConfig& daemon) {
  int major = 0, minor = 0;
  if (get_version(&major, &minor) == 0) return;
  std::string addresses;
  for (const auto& address : *daemon.addresses) {
    if (!addresses.empty()) addresses += ", ";
    addresses += address.c_str();
  }
  zv_log(ZV_LOG_ALERTS,
         "WARNING: no scanning daemon answers at %s - mail cannot be scanned until one does",
         addresses.c_str());
}

int shut_down(FilterConfig* config, int status) {
  zv_log(ZV_LOG_INFO, "%s shutdown in progress...", kFilterName);
  fini_stat(&config->agent);
  if (cleanup() == 0)
    zv_log(ZV_LOG_INFO, "%s shutdown - OK.", kFilterName);
  else
    zv_log(ZV_LOG_INFO, "%s shutdown - fail library clean up", kFilterName);
  return status;
}

// Frees what start-up stored besides the configuration sections, then the sections.
void release_all(FilterConfig* config) {
  free(config->scanning.x_antivirus);
  config->scanning.x_antivirus = nullptr;
  free(config->scanning.hostname);
  config->scanning.hostname = nullptr;
  release_loaded_config();
}

int start_and_run(FilterConfig* config) {
  raise_open_files_limit();
  if (!set_host_name(&config->scanning)) return EXIT_OSERR;
  if (config->scanning.add_x_headers && !format_x_antivirus(&config->scanning)) return EXIT_OSERR;
  if (!set_account(config->scanning.filter_account)) return EXIT_OSERR;
  if (!config->scanning.run_foreground) {
    int pid = daemonize("/", 1);
    if (pid > 0) return 0;
    if (pid < 0) {
      zv_log(ZV_LOG_VERBOSE, "cannot daemonize");
      return EXIT_OSERR;
    }
  }
  if (!init_lib(&config->daemon)) return EXIT_SOFTWARE;
  warn_without_daemon(config->daemon);
  if (!init_stat(&config->agent)) return EXIT_SOFTWARE;
  StarterWatch watch;  // failed submissions get logged; after the detach, which drops threads
  int status = run_milter(config->mailer);
  wait_for_messages();
  return shut_down(config, status);
}

}  // namespace

int main(int argc, char** argv) {
  FilterConfig* config = filter_config();
  auto check = [](FilterConfig* checked) { return check_conf(checked, 0); };
  if (!init_config(argc, argv, config, check)) return config_failure_status();
  int status = start_and_run(config);
  // A connection still open (idle at the MTA's side, say) may yet call a callback that
  // reads the configuration: then it stays until the process ends.
  if (smf_open_connections() == 0) release_all(config);
  return status;
}
