// SIGHUP: the list reload and the sigwait() interposer that runs it.
#include "smf_reload.h"

#include <dlfcn.h>
#include <signal.h>

#include <atomic>
#include <cerrno>

#include "zv_addresses.h"
#include "zv_log.h"
#include "zv_options.h"
#include "zv_users.h"
#include "zv_viruses.h"

namespace {

constexpr const char* kFilterName = "Zarvik (R) Filter for sendmail ver.4.33";

using SigwaitFunction = int (*)(const sigset_t*, int*);
using HupHook = int (*)();

std::atomic<HupHook> hup_hook{nullptr};              // set before smfi_main()
std::atomic<SigwaitFunction> libc_sigwait{nullptr};  // the C library's sigwait()
std::atomic<bool> reload_failed{false};              // set by the signal thread

bool has_path(const char* path) {
  return path != nullptr && *path != '\0';
}

SigwaitFunction next_sigwait() {
  SigwaitFunction found = libc_sigwait.load();
  if (found == nullptr) {
    found = reinterpret_cast<SigwaitFunction>(dlsym(RTLD_NEXT, "sigwait"));
    libc_sigwait.store(found);
  }
  return found;
}

}  // namespace

int smf_reload() {
  zv_log(ZV_LOG_ALERTS, "%s receive SIGHUP, going to reloading ...", kFilterName);
  FilterConfig* config = filter_config();
  const char* failed = nullptr;  // the path of the list that could not be reloaded
  if (has_path(config->scanning.deny_list_path) &&
      users_reload(config->scanning.deny_list, config->scanning.deny_list_path) == 0)
    failed = config->scanning.deny_list_path;
  zv_log(ZV_LOG_INFO, "%s DenyList reloaded ...", kFilterName);
  if (failed == nullptr && has_path(config->actions.unnotified_viruses_path) &&
      viruses_reload(config->actions.unnotified_viruses, config->actions.unnotified_viruses_path) ==
          0)
    failed = config->actions.unnotified_viruses_path;
  zv_log(ZV_LOG_INFO, "%s NonNotifiedVirusesList reloaded ...", kFilterName);
  if (failed == nullptr && has_path(config->actions.unnotified_addresses_path) &&
      maddr_reload(config->actions.unnotified_addresses,
                   config->actions.unnotified_addresses_path) == 0)
    failed = config->actions.unnotified_addresses_path;
  zv_log(ZV_LOG_INFO, "%s NonNotifiedAddressesList reloaded ...", kFilterName);
  if (failed != nullptr) {
    zv_log(ZV_LOG_ALERTS, "%s reloading failed ...", kFilterName);
    zv_log(ZV_LOG_ERRORS, "%s cannot reload the list %s - the filter stops", kFilterName, failed);
    reload_failed.store(true);
    return 1;
  }
  int level = config->logging.level;
  users_print(config->scanning.deny_list, level);
  maddr_print(config->actions.unnotified_addresses, level);
  viruses_print(config->actions.unnotified_viruses, level);
  zv_log(ZV_LOG_ALERTS, "%s reloading - OK", kFilterName);
  return 0;
}

bool smf_reload_failed() {
  return reload_failed.load();
}

extern "C" int smfi_sethuphook(int (*hook)()) {
  if (hook == nullptr) return -1;
  (void)next_sigwait();  // resolved here, on the main thread, before any wait
  hup_hook.store(hook);
  return 0;
}

// Interposes the C library's sigwait() for libmilter's signal thread (see the header).
extern "C" int sigwait(const sigset_t* set, int* signal_number) {
  SigwaitFunction wait = next_sigwait();
  if (wait == nullptr) return ENOSYS;
  for (;;) {
    int result = wait(set, signal_number);
    if (result != 0 || *signal_number != SIGHUP) return result;
    HupHook hook = hup_hook.load();
    if (hook == nullptr) return result;
    int answer = hook();
    if (answer != 0 && answer != 3) return result;
  }
}
