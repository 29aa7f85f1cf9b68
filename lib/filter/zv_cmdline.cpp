// The command line and the loading of the configuration (see zv_cmdline.h).
#include "zv_cmdline.h"

#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "zv_addresses.h"
#include "zv_badparam.h"
#include "zv_conf.h"
#include "zv_log.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zv_process.h"
#include "zv_trust.h"
#include "zv_users.h"
#include "zv_viruses.h"

namespace {

constexpr const char* kModule = "zv_options";

// The sections of the configuration loaded by init_config(); written on the main thread
// only, before other threads exist and at the end of the process.
ConfSection g_sections[CONFIG_SECTION_COUNT + 1] = {};
// The exit status of the last refusal of init_config(); main thread only.
int g_failure_status = EXIT_USAGE;

using HeapString = zv::UniqueMalloc<char>;

// Matches an option as a prefix of the argument over the option's own length.
bool is_option(const char* argument, const char* option) {
  return strncmp(argument, option, strlen(option)) == 0;
}

[[noreturn]] void print_usage(const char* program) {
  printf("\nUsage : %s [options]\n", program);
  printf("%s - scans mail for viruses\n\n", kFilterProduct);
  puts("Options:");
  printf("\t%s, %s, %s - show this help and exit\n", "-?", "-h", "--help");
  printf("\t%s - show filter version and exit\n", "--version");
  printf("\t%s<username> - user account used for check (works only with %s option)\n",
         "--check_user=", "--check_only");
  puts("\t  (FilterAccount parameter from configuration file will been ignored");
  printf("\t%s - perform configuration check and exit\n", "--check_only");
  printf("\t%s - set very verbose output in check mode\n", "--debug");
  printf("\t%s<pathname> - specify full pathname to configuration file\n", "--conf=");
  puts("\nIf full pathname to conf file are not specified, then there is searched in:");
  printf(" %s\n", kDefaultConfigPath);
  printf(" %s\n", kDefaultConfigPathLocal);
  puts("\n");
  puts(
      "\n\nATTENTION:\n THIS VERSION IS NOT COMPATIBLE WITH Zarvik DAEMON VERSIONS LESS THAT "
      "4.30 !!!");
  fflush(stdout);
  exit(EXIT_USAGE);
}

[[noreturn]] void print_version(const char* program) {
  printf("\n%s - %s %s\n\n", program, kFilterProduct, kFilterVersion);
  fflush(stdout);
  exit(0);
}

struct Options {
  HeapString path;
  HeapString check_user;
  bool check_only = false;
  bool debug = false;
};

// A copy of the text after an "=" option; logs the failure.
bool copy_value(const char* value, HeapString* out) {
  char* copy = strdup(value);
  if (copy == nullptr) {
    zv_log(ZV_LOG_ERRORS, "conf: %s(%d) no memory", kModule, __LINE__);
    return false;
  }
  out->reset(copy);
  return true;
}

// Reads the options; false when one is refused (logged). Help and version end the process.
bool read_options(int argc, char** argv, const char* program, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument == nullptr) break;
    if (is_option(argument, "-?") || is_option(argument, "-h") || is_option(argument, "--help")) {
      print_usage(program);
    } else if (is_option(argument, "--version")) {
      print_version(program);
    } else if (is_option(argument, "--conf=")) {
      const char* value = argument + strlen("--conf=");
      if (*value == '\0') {
        zv_log(ZV_LOG_ERRORS, "conf: misformatted --conf=<filename> option");
        return false;
      }
      if (!copy_value(value, &options->path)) return false;
    } else if (is_option(argument, "--debug")) {
      zv_log_setup("console", ZV_LOG_DEBUG, LOG_MAIL, LOG_INFO, kProgramIdent);
      options->debug = true;
    } else if (is_option(argument, "--check_only")) {
      options->check_only = true;
    } else if (is_option(argument, "--check_user=")) {
      const char* value = argument + strlen("--check_user=");
      if (*value == '\0') {
        zv_log(ZV_LOG_ERRORS, "conf: misformatted --check_user=<username> option");
        return false;
      }
      if (!copy_value(value, &options->check_user)) return false;
    } else {
      zv_log(ZV_LOG_ERRORS, "conf: unknown option %s", argument);
      return false;
    }
  }
  return true;
}

// The first default configuration file the process may read; false (and the not-found
// text on standard output) when there is none.
bool find_default_path(const char* program, HeapString* path) {
  for (const char* candidate : {kDefaultConfigPath, kDefaultConfigPathLocal}) {
    if (access(candidate, R_OK) != 0) {
      int error = errno;
      zv_log(ZV_LOG_VERBOSE, "conf: configuration file %s is not accessable - %s", candidate,
             stdlib_error(error));
      continue;
    }
    char* copy = strdup(candidate);
    if (copy == nullptr) {
      zv_log(ZV_LOG_DEBUG, "conf: name of configuration file was not defined");
      continue;
    }
    path->reset(copy);
    return true;
  }
  printf("%s: configuration file not found\nTry run with %s for more information.\n", program,
         "--help");
  fflush(stdout);
  return false;
}

// What the reader reported while the configuration was loaded: whether the file was
// refused as unsafe, and the keys no section knows, to be shown on the console.
struct LoadWatch {
  bool check_only = false;
  bool refused = false;
  std::vector<std::string> unknown_keys;  // one warning line each
};

// The configuration names the program the filter runs and the account it becomes, so a
// process running as root reads it only when nobody else could have written it.
int check_file_as_root(int fd, const char* path, void* context) {
  auto* watch = static_cast<LoadWatch*>(context);
  std::string reason;
  if (config_file_trusted(fd, path, 0, &reason)) return 1;
  watch->refused = true;
  const char* text = reason.empty() ? path : reason.c_str();
  zv_log(ZV_LOG_ERRORS,
         "conf: %s - refused: a configuration read as root must be owned by root and "
         "writable by no one else, in folders no one else may write",
         text);
  // Outside check mode the logger is already syslog: say it where the starter sees it.
  if (!watch->check_only) {
    fprintf(stderr,
            "%s: %s - refused: a configuration read as root must be owned by root and "
            "writable by no one else, in folders no one else may write\n",
            kProgramIdent, text);
    fflush(stderr);
  }
  return 0;
}

void note_unknown_key(const char* path, int line, const char* section, const char* key,
                      void* context) {
  auto* watch = static_cast<LoadWatch*>(context);
  char text[1536];
  snprintf(text, sizeof(text), "%s: warning: %s line %d: unknown key %s in section [%s] - ignored",
           kProgramIdent, path != nullptr ? path : "(configuration)", line, key, section);
  try {
    watch->unknown_keys.emplace_back(text);
  } catch (const std::bad_alloc&) {
    // Only the warning is lost; the reader has logged the key.
  }
}

void print_unknown_keys(const LoadWatch& watch) {
  for (const std::string& warning : watch.unknown_keys) fprintf(stderr, "%s\n", warning.c_str());
  fflush(stderr);
}

void print_lists(const FilterConfig* config) {
  int level = config->logging.level;
  users_print(config->scanning.deny_list, level);
  maddr_print(config->actions.unnotified_addresses, level);
  viruses_print(config->actions.unnotified_viruses, level);
}

[[noreturn]] void run_check(FilterConfig* config, const Options& options, ConfigCheck check) {
  if (!set_account(options.check_user.get())) {
    release_config(g_sections);
    exit(EXIT_SOFTWARE);
  }
  log_config_trace(config);
  int passed = 0;
  if (check != nullptr) {
    passed = check(config);
  } else {
    zv_log(ZV_LOG_ERRORS, "check_conf: the configuration check is not available in this build");
  }
  release_config(g_sections);
  fflush(stdout);
  exit(passed ? 0 : EXIT_CONFIG);
}

}  // namespace

int init_config(int argc, char** argv, FilterConfig* config, ConfigCheck check) {
  g_failure_status = EXIT_USAGE;
  clear_section_marks();
  zv_log_setup("console", ZV_LOG_INFO, LOG_MAIL, LOG_INFO, kProgramIdent);
  const char* program = argc > 0 && argv != nullptr && argv[0] != nullptr ? argv[0] : kProgramIdent;
  if (config == nullptr) {
    zv_log_bad_parameters("conf:", argv == nullptr, config == nullptr);
    return 0;
  }
  Options options;
  if (argv != nullptr && !read_options(argc, argv, program, &options)) return 0;
  if (!options.path && !find_default_path(program, &options.path)) return 0;

  if (!options.check_only) zv_log_setup(nullptr, ZV_LOG_ALERTS, LOG_MAIL, LOG_INFO, kProgramIdent);
  zv_log(ZV_LOG_ALERTS, "conf: configuration will be loaded from %s", options.path.get());
  LoadWatch watch;
  watch.check_only = options.check_only;
  ConfHooks hooks{geteuid() == 0 ? check_file_as_root : nullptr, note_unknown_key, &watch};
  int loaded = load_config(options.path.get(), config, g_sections, &hooks);
  options.path.reset();
  if (options.check_only || options.debug || (loaded && config->scanning.run_foreground))
    print_unknown_keys(watch);
  if (!loaded) {
    zv_log(ZV_LOG_ERRORS, "conf: configuration loading has been failed");
    if (watch.refused) g_failure_status = EXIT_CONFIG;
    return 0;
  }

  config->scanning.tcp_nodelay = config->daemon.tcp_nodelay;
  const SectionMarks* marks = section_marks();
  if (!marks->archive_restriction && !marks->mailbomb) {
    zv_log(ZV_LOG_ERRORS,
           "conf: [ArchiveRestrictionNotifications] section missed, init configuration failed");
    release_config(g_sections);
    return 0;
  }

  if (options.check_only) run_check(config, options, check);

  const LoggingConfig& logging = config->logging;
  zv_log_setup(nullptr, logging.level, logging.facility, logging.priority, kProgramIdent);
  log_config_trace(config);
  print_lists(config);
  return 1;
}

int config_failure_status() {
  return g_failure_status;
}

void release_loaded_config() {
  release_config(g_sections);
}
