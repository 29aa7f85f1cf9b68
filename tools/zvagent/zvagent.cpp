// zvagent: the stand-in statistics agent.
//
// Parses the command line, binds the listening addresses (before detaching, so that a
// bad address is reported on the terminal), then serves every filter connection on its
// own thread until SIGTERM, keeping the totals of all of them in one file.
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "lib/zv_log.h"
#include "tools/zvagent/zvagent_totals.h"
#include "tools/zvserve/zvs_server.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitSystem = 71;

const char kUsage[] =
    "Usage: zvagent --listen=ADDRESS [--foreground] [--totals=FILE] [--reply=N]\n"
    "               [--delay-ms=N] [--pidfile=PATH]\n"
    "\n"
    "A stand-in statistics agent for testing the mail filter.\n"
    "\n"
    "  --listen=ADDRESS   listen on local:PATH (Unix socket) or inet:PORT@HOST (IPv4;\n"
    "                     port 0 picks a free port); may be given several times\n"
    "  --foreground       stay attached to the terminal and log to standard error;\n"
    "                     without it the agent detaches and logs to syslog\n"
    "  --totals=FILE      rewrite FILE after every exchange with one \"NAME VALUE\" line\n"
    "                     per counter (registrations, deregistrations, reports, then the\n"
    "                     statistics counters) and one \"virus NAME COUNT\" line per virus\n"
    "                     name seen\n"
    "  --reply=N          answer every request with the int N instead of 0 (a refusal)\n"
    "  --delay-ms=N       wait N milliseconds before every answer\n"
    "  --pidfile=PATH     write the process id, then one line per listening address\n"
    "                     (socket path or HOST:PORT); removed when the agent stops\n"
    "  --help             show this text\n"
    "\n"
    "Signals: SIGTERM and SIGINT stop the agent.\n";

int usage_error(const std::string& text) {
  std::fprintf(stderr, "zvagent: %s\n%s", text.c_str(), kUsage);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  enum { kListen = 1, kForeground, kTotals, kReply, kDelay, kPidfile, kHelp };
  static const option longopts[] = {
      {"listen", required_argument, nullptr, kListen},
      {"foreground", no_argument, nullptr, kForeground},
      {"totals", required_argument, nullptr, kTotals},
      {"reply", required_argument, nullptr, kReply},
      {"delay-ms", required_argument, nullptr, kDelay},
      {"pidfile", required_argument, nullptr, kPidfile},
      {"help", no_argument, nullptr, kHelp},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> listen;
  bool foreground = false;
  std::string totals_path, pidfile;
  zvagent::AgentSettings settings;
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
      case kTotals:
        totals_path = optarg;
        break;
      case kPidfile:
        pidfile = optarg;
        break;
      case kReply: {
        errno = 0;
        char* end = nullptr;
        long v = std::strtol(optarg, &end, 0);
        if (errno != 0 || end == optarg || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
          return usage_error("--reply needs an int");
        settings.reply = static_cast<int32_t>(v);
        break;
      }
      case kDelay:
        if (!zvs::parse_number(optarg, 24ul * 3600 * 1000, &n))
          return usage_error("--delay-ms needs a number of milliseconds");
        settings.delay_ms = static_cast<int>(n);
        break;
      case kHelp:
        std::fputs(kUsage, stdout);
        return 0;
      default:
        return usage_error(std::string("unknown or incomplete option ") +
                           (optind > 0 && optind <= argc ? argv[optind - 1] : ""));
    }
  }
  if (optind < argc) return usage_error(std::string("unexpected argument ") + argv[optind]);
  if (listen.empty()) return usage_error("at least one --listen=ADDRESS is needed");

  zv_log_setup("console", ZV_LOG_INFO, 0, 0, "zvagent");
  zvagent::Totals totals(totals_path);
  zvs::Server server("zvagent");
  if (!server.listen(listen)) return kExitSystem;
  if (!foreground && !server.detach()) return kExitSystem;
  // An empty totals file from the start, so that a reader never finds none.
  totals.write();
  auto handler = [&](int fd) {
    zvagent::serve_agent_session(fd, settings, totals, server.stopping_flag());
  };
  int status = server.serve(
      handler, [] {}, pidfile, 5000);
  if (status < 0) {
    std::fflush(nullptr);
    ::_exit(0);
  }
  return status;
}
