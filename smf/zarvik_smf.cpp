// The zarvik-smf program: process entry, start-up and shutdown.
//
// main() reads the command line and the configuration, prepares the host name and the
// X-Antivirus header text, takes the filter's account, detaches, starts the daemon
// client library and the statistics-agent link, configures libmilter, registers the
// filter and runs libmilter's main loop until a signal stops it; then it stops the agent
// link and the client library. Everything here runs on the main thread; the values it
// stores in FilterConfig are written before smfi_main() and read-only afterwards.
#include <libmilter/mfapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "smf_callbacks.h"
#include "smf_eom.h"
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
// How long a stop waits for the messages in progress to get their answers.
constexpr int kStopWaitSeconds = 60;

smfiDesc filter_description() {
  smfiDesc description{};
  description.xxfi_name = const_cast<char*>(kFilterName);
  description.xxfi_version = 2;
  description.xxfi_flags = SMFIF_ADDHDRS | SMFIF_CHGBODY | SMFIF_CHGHDRS;
  description.xxfi_connect = smf_connect;
  description.xxfi_helo = smf_helo;
  description.xxfi_envfrom = smf_envfrom;
  description.xxfi_envrcpt = smf_envrcpt;
  description.xxfi_header = smf_header;
  description.xxfi_eoh = smf_eoh;
  description.xxfi_body = smf_body;
  description.xxfi_eom = smf_eom;
  description.xxfi_abort = smf_abort;
  description.xxfi_close = smf_close;
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

// Removes a socket file left at a Unix MilterAddress by an earlier run. Only a socket is
// removed: any other file there is most likely a mistyped address naming a file that
// matters, so it is left alone and the start fails. false when the address is malformed,
// its path cannot be examined or holds something else than a socket (logged).
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
  zv_log(ZV_LOG_INFO, "%s started ...", kFilterName);
  if (smfi_main() != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "%s stopped abnormally ...", kFilterName);
    return EXIT_SOFTWARE;
  }
  return 0;
}

// libmilter's loop returns while connection threads may still be in the middle of a
// message. Their scans need the client library, which the shutdown takes down, so the
// messages in progress are given time to get their answers first.
void wait_for_messages() {
  int left = smf_messages_in_progress();
  if (left <= 0) return;
  zv_log(ZV_LOG_INFO, "%s waits for %d message(s) in progress ...", kFilterName, left);
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kStopWaitSeconds);
  while ((left = smf_messages_in_progress()) > 0 && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  if (left > 0)
    zv_log(ZV_LOG_ALERTS, "%s stops with %d message(s) still in progress", kFilterName, left);
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
  if (!init_config(argc, argv, config, check)) return EXIT_USAGE;
  int status = start_and_run(config);
  // A connection still open (idle at the MTA's side, say) may yet call a callback that
  // reads the configuration: then it stays until the process ends.
  if (smf_open_connections() == 0) release_all(config);
  return status;
}
