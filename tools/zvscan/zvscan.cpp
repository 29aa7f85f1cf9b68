// zvscan: tests the link to the scanning daemon and scans files through it.
//
// Starts the client library with the given daemon addresses (the first is the primary,
// the others backups), then either asks for the daemon's version or sends one scan
// request per file, exactly as the filter does, and prints each verdict. Output on
// standard output is meant for scripts; library messages and errors go to standard
// error. Single-threaded; owns nothing beyond the library's start-up state.
#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zv_log.h"
#include "zvc_lib.h"

namespace {

// Exit statuses.
constexpr int kExitClean = 0;
constexpr int kExitFound = 1;
constexpr int kExitError = 2;

constexpr int kDefaultTimeout = 60;  // seconds of one session with the daemon

const char kUsage[] =
    "Usage: zvscan --daemon=ADDRESS [--daemon=ADDRESS]... [--timeout=SECONDS] [--cache]\n"
    "              [--local] [--report] [--stats] [--verbose] FILE...\n"
    "       zvscan --daemon=ADDRESS... --daemon-version\n"
    "\n"
    "Scans each FILE through the scanning daemon, or asks the daemon for its version.\n"
    "\n"
    "  --daemon=ADDRESS   daemon address: inet:PORT@HOST, local:PATH, pid:PIDFILE or\n"
    "                     default (inet:3000@localhost). The first is the primary daemon,\n"
    "                     every further one a backup tried in order.\n"
    "  --timeout=SECONDS  time allowed for the whole exchange with the daemon per file\n"
    "                     (default 60; 0 means no limit)\n"
    "  --cache            resolve host names once at start; a missing pid file is an error\n"
    "  --local            let the daemon read the file by its (absolute) path instead of\n"
    "                     sending the content; a backup daemon always gets the content\n"
    "  --report           print the daemon's report after the verdict\n"
    "  --stats            print the scan statistics after the verdict\n"
    "  --verbose          log the client library's progress to standard error\n"
    "  --daemon-version   print the daemon's version as MAJOR.MINOR and exit\n"
    "  --help             show this text\n"
    "\n"
    "For each file one line 'PATH: 0xSTATUS STATUS_TEXT', then one line '  K: NAME' per\n"
    "virus found, K being its kind (K known, S suspicious, M modification, A adware,\n"
    "D dialer, J joke, R riskware, H hacktool), then the report and the statistics when\n"
    "asked for.\n"
    "\n"
    "Exit status: 0 every file is clean, 1 something was found in at least one file,\n"
    "2 an error (a request failed or the daemon could not scan a file; the error code\n"
    "and its meaning are printed on standard error).\n";

struct Options {
  std::vector<std::string> daemons;
  int timeout = kDefaultTimeout;
  bool cache = false;
  bool local = false;
  bool report = false;
  bool stats = false;
  bool verbose = false;
  bool version = false;
  std::vector<std::string> files;
};

const char* error_meaning(int code) {
  switch (code) {
    case -1:
      return "SIGPIPE cannot be ignored";
    case -2:
      return "the exchange with the daemon failed";
    case -3:
      return "the file cannot be opened, sized or read";
    case -4:
      return "bad parameters";
    case -6:
      return "the library is in the wrong state";
    case -9:
      return "no memory";
    case -10:
      return "the library is not started";
    case -11:
      return "internal set-up failure";
    case -12:
      return "no daemon accepted a connection";
    case -13:
      return "time-out expired";
    case -14:
      return "the connection was closed by the daemon";
    default:
      return "unknown error";
  }
}

// Reads the command line. 1, 0 for --help, -1 for an error (reported).
int parse_options(int argc, char** argv, Options* o) {
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (only_files || a.empty() || a[0] != '-' || a == "-") {
      o->files.push_back(a);
    } else if (a == "--") {
      only_files = true;
    } else if (a.rfind("--daemon=", 0) == 0) {
      o->daemons.push_back(a.substr(9));
    } else if (a.rfind("--timeout=", 0) == 0) {
      char* end = nullptr;
      errno = 0;
      long v = strtol(a.c_str() + 10, &end, 10);
      if (a.size() == 10 || *end != '\0' || errno != 0 || v < 0 || v > kIpcMaxTimeoutSeconds) {
        fprintf(stderr, "zvscan: invalid time-out '%s' (0 to %d seconds)\n", a.c_str() + 10,
                kIpcMaxTimeoutSeconds);
        return -1;
      }
      o->timeout = static_cast<int>(v);
    } else if (a == "--cache") {
      o->cache = true;
    } else if (a == "--local") {
      o->local = true;
    } else if (a == "--report") {
      o->report = true;
    } else if (a == "--stats") {
      o->stats = true;
    } else if (a == "--verbose") {
      o->verbose = true;
    } else if (a == "--daemon-version") {
      o->version = true;
    } else if (a == "--help" || a == "-h" || a == "-?") {
      return 0;
    } else {
      fprintf(stderr, "zvscan: unknown option '%s'\n", a.c_str());
      return -1;
    }
  }
  if (o->daemons.empty()) {
    fprintf(stderr, "zvscan: no daemon address given (--daemon=ADDRESS)\n");
    return -1;
  }
  if (!o->version && o->files.empty()) {
    fprintf(stderr, "zvscan: no file to scan\n");
    return -1;
  }
  if (o->version && !o->files.empty()) {
    fprintf(stderr, "zvscan: --daemon-version takes no file\n");
    return -1;
  }
  return 1;
}

// The absolute form of `path`, as the daemon must see it.
std::string absolute(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) != nullptr) return resolved;
  if (!path.empty() && path[0] == '/') return path;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof(cwd)) == nullptr) return path;
  return std::string(cwd) + "/" + path;
}

// Prints one verdict. The exit status it stands for.
int print_verdict(const std::string& shown, ScanResult* r, const Options& o) {
  uint32_t status = scanresult_status(r);
  printf("%s: 0x%x %s\n", shown.c_str(), status, status_text(status).c_str());
  VirusLists* lists = scanresult_viruses(r);
  for (int k = 0; k < kVirusKinds; ++k) {
    StringList* l = lists->get(k);
    if (l == nullptr) continue;
    for (const std::string& name : l->items)
      printf("  %c: %s\n", kVirusKindLetters[k], name.c_str());
  }
  if (o.report) {
    std::string report = scanresult_report(r);
    if (!report.empty() && report.back() != '\n') report += '\n';
    fputs(report.c_str(), stdout);
  }
  if (o.stats) {
    auto text = stat_report(scanresult_stats(r));
    if (text) fputs(text->c_str(), stdout);
  }
  if ((status & kMaskErrors) != 0) {
    fprintf(stderr, "zvscan: %s: the daemon could not scan the file (%s)\n", shown.c_str(),
            status_text(status & kMaskErrors).c_str());
    return kExitError;
  }
  return (status & ~kStatusCompositeClean) != 0 ? kExitFound : kExitClean;
}

int run(const Options& o) {
  int rc = startup(kZvcVersion, o.daemons[0].c_str(), o.timeout, o.cache);
  if (rc != kZvcOk) {
    fprintf(stderr, "zvscan: cannot start the client library with %s: error %d (%s)\n",
            o.daemons[0].c_str(), rc, error_meaning(rc));
    return kExitError;
  }
  for (size_t i = 1; i < o.daemons.size(); ++i) {
    rc = add_address(o.daemons[i].c_str(), o.timeout, o.cache);
    if (rc != kZvcOk) {
      fprintf(stderr, "zvscan: cannot add the daemon address %s: error %d (%s)\n",
              o.daemons[i].c_str(), rc, error_meaning(rc));
      (void)cleanup();
      return kExitError;
    }
  }
  int exit_status = kExitClean;
  if (o.version) {
    int major = 0, minor = 0;
    rc = get_version(&major, &minor);
    if (rc == kZvcOk) {
      printf("%d.%d\n", major, minor);
    } else {
      fprintf(stderr, "zvscan: cannot get the daemon version: error %d (%s)\n", rc,
              error_meaning(rc));
      exit_status = kExitError;
    }
  }
  uint32_t flags = kScanExtended | kScanAlways | kScanVirusLists;
  if (o.report) flags |= kScanReport;
  if (o.stats) flags |= kScanStatistics;
  for (const std::string& file : o.files) {
    std::string path = absolute(file);
    ScanResult* result = nullptr;
    rc = scanmail(path.c_str(), path.size(), o.local ? 1 : 0, flags, 0, &result, 0, nullptr,
                  nullptr);
    ScanResultPtr owned(result);
    int status = kExitError;
    if (rc == kZvcOk) {
      status = print_verdict(file, result, o);
    } else {
      fprintf(stderr, "zvscan: %s: error %d (%s)\n", file.c_str(), rc, error_meaning(rc));
    }
    exit_status = std::max(exit_status, status);
    fflush(stdout);
  }
  (void)cleanup();
  return exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  int parsed = parse_options(argc, argv, &o);
  if (parsed <= 0) {
    fputs(kUsage, parsed == 0 ? stdout : stderr);
    return parsed == 0 ? kExitClean : kExitError;
  }
  zv_log_setup("console", o.verbose ? ZV_LOG_VERBOSE : ZV_LOG_ERRORS, 0, 0, "zvscan");
  return run(o);
}
