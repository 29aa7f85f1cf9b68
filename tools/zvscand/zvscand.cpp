// zvscand: the stand-in scanning daemon.
//
// Parses the command line, loads the signatures, binds the listening addresses (before
// detaching, so that a bad address is reported on the terminal), then serves one
// session per connection until SIGTERM. SIGHUP reloads the signatures file; a file that
// no longer parses keeps the previous signatures in force.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "lib/zv_log.h"
#include "tools/zvscand/zvscand_engine.h"
#include "tools/zvscand/zvscand_mime.h"
#include "tools/zvscand/zvscand_session.h"
#include "tools/zvserve/zvs_server.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitConfig = 78;
constexpr int kExitSystem = 71;

const char kUsage[] =
    "Usage: zvscand --listen=ADDRESS [--listen=ADDRESS]... [--foreground] [--pidfile=PATH]\n"
    "               [--signatures=FILE] [--daemon-version=N] [--delay-ms=N] [--drop]\n"
    "               [--status=0xHEX]\n"
    "\n"
    "A stand-in scanning daemon for testing the mail filter and its client library.\n"
    "\n"
    "  --listen=ADDRESS     listen on local:PATH (Unix socket) or inet:PORT@HOST (IPv4;\n"
    "                       port 0 picks a free port); may be given several times\n"
    "  --foreground         stay attached to the terminal and log to standard error;\n"
    "                       without it the daemon detaches and logs to syslog\n"
    "  --pidfile=PATH       write the process id, then one line per listening address\n"
    "                       (socket path or HOST:PORT), as \"pid:PATH\" addresses read it;\n"
    "                       removed again when the daemon stops\n"
    "  --signatures=FILE    add the signatures of FILE to the built-in EICAR test string;\n"
    "                       one entry per line as KIND:NAME:PATTERN[:incurable], where\n"
    "                       KIND is K S M A D J R H (infection type), rule (header rule,\n"
    "                       applied when rule filtering is asked for) or status=0xHEX\n"
    "                       (status bits to set), and PATTERN is hex digits or \"text\";\n"
    "                       lines starting with # are comments. SIGHUP reloads the file\n"
    "  --daemon-version=N   the number answered to version requests (default 433)\n"
    "  --delay-ms=N         wait N milliseconds before every answer\n"
    "  --drop               read each request and close the session without answering\n"
    "  --status=0xHEX       answer every scan with this status word\n"
    "  --help               show this text\n"
    "\n"
    "Signals: SIGHUP reloads the signatures file, SIGTERM and SIGINT stop the daemon.\n";

int usage_error(const char* text) {
  std::fprintf(stderr, "zvscand: %s\n%s", text, kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  // GLib's slice allocator hands memory between threads behind the sanitizers' back,
  // which makes sanitizer runs of the daemon report races that are not there. GLib
  // reads its G_SLICE setting before main, so the daemon starts itself once more with
  // plain malloc chosen; should that fail it simply goes on.
  if (std::getenv("G_SLICE") == nullptr && setenv("G_SLICE", "always-malloc", 1) == 0)
    ::execv("/proc/self/exe", argv);
  enum { kListen = 1, kForeground, kPidfile, kSignatures, kVersion, kDelay, kDrop, kStatus, kHelp };
  static const option longopts[] = {
      {"listen", required_argument, nullptr, kListen},
      {"foreground", no_argument, nullptr, kForeground},
      {"pidfile", required_argument, nullptr, kPidfile},
      {"signatures", required_argument, nullptr, kSignatures},
      {"daemon-version", required_argument, nullptr, kVersion},
      {"delay-ms", required_argument, nullptr, kDelay},
      {"drop", no_argument, nullptr, kDrop},
      {"status", required_argument, nullptr, kStatus},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> listen;
  bool foreground = false;
  std::string pidfile, signatures;
  zvscand::DaemonSettings settings;
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "", longopts, nullptr);
    if (c == -1) break;
    unsigned long n = 0;
    switch (c) {
      case kListen:
        listen.emplace_back(optarg);
        break;
      case kForeground:
        foreground = true;
        break;
      case kPidfile:
        pidfile = optarg;
        break;
      case kSignatures:
        signatures = optarg;
        break;
      case kVersion:
        if (!zvs::parse_number(optarg, 0xFFFFFFFFul, &n))
          return usage_error("--daemon-version needs a number");
        settings.version = static_cast<uint32_t>(n);
        break;
      case kDelay:
        if (!zvs::parse_number(optarg, 24ul * 3600 * 1000, &n))
          return usage_error("--delay-ms needs a number of milliseconds");
        settings.delay_ms = static_cast<int>(n);
        break;
      case kDrop:
        settings.drop = true;
        break;
      case kStatus:
        if (std::strncmp(optarg, "0x", 2) != 0 && std::strncmp(optarg, "0X", 2) != 0)
          return usage_error("--status needs a hexadecimal word as 0xHEX");
        if (!zvs::parse_number(optarg, 0xFFFFFFFFul, &n))
          return usage_error("--status needs a hexadecimal word as 0xHEX");
        settings.force_status = true;
        settings.status = static_cast<uint32_t>(n);
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return usage_error((std::string("unknown or incomplete option ") +
                            (optind > 0 && optind <= argc ? argv[optind - 1] : ""))
                               .c_str());
    }
  }
  if (optind < argc)
    return usage_error((std::string("unexpected argument ") + argv[optind]).c_str());
  if (listen.empty()) return usage_error("at least one --listen=ADDRESS is needed");

  zv_log_setup("console", ZV_LOG_INFO, 0, 0, "zvscand");
  std::string error;
  zvscand::EngineStore engines;
  std::shared_ptr<const zvscand::Engine> engine = zvscand::load_engine(signatures, &error);
  if (engine == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvscand: bad signatures file: %s", error.c_str());
    return kExitConfig;
  }
  engines.set(std::move(engine));

  zvs::Server server("zvscand");
  if (!server.listen(listen)) return kExitSystem;
  if (!foreground && !server.detach()) return kExitSystem;
  zvscand::mime_init();

  auto handler = [&](int fd) {
    zvscand::serve_session(fd, settings, engines, server.stopping_flag());
  };
  auto reload = [&] {
    std::string why;
    std::shared_ptr<const zvscand::Engine> fresh = zvscand::load_engine(signatures, &why);
    if (fresh == nullptr) {
      zv_log(ZV_LOG_ERRORS, "zvscand: reload failed, keeping the old signatures: %s", why.c_str());
      return;
    }
    engines.set(std::move(fresh));
    zv_log(ZV_LOG_INFO, "zvscand: signatures reloaded");
  };
  int status = server.serve(handler, reload, pidfile, 10000);
  if (status < 0) {
    // Sessions still hold references into this frame: leave without unwinding it.
    std::fflush(nullptr);
    ::_exit(0);
  }
  return status;
}
