// zvagent: the stand-in statistics agent.
//
// Parses the command line, binds the listening addresses (before detaching, so that a
// bad address is reported on the terminal), then serves every filter connection on its
// own thread until SIGTERM, keeping the totals of all of them in one file.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "zv_log.h"
#include "zvagent_totals.h"
#include "zvs_cli.h"
#include "zvs_server.h"

namespace {

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

}  // namespace

int main(int argc, char** argv) {
  zvs::PeerOptions options;
  std::string totals_path;
  zvagent::AgentSettings settings;
  const std::vector<zvs::PeerOption> own = {
      {"totals", true,
       [&](const char* arg) -> const char* {
         totals_path = arg;
         return nullptr;
       }},
      {"reply", true,
       [&](const char* arg) -> const char* {
         errno = 0;
         char* end = nullptr;
         long v = std::strtol(arg, &end, 0);
         if (errno != 0 || end == arg || *end != '\0' || v < INT32_MIN || v > INT32_MAX)
           return "--reply needs an int";
         settings.reply = static_cast<int32_t>(v);
         return nullptr;
       }},
  };
  int early = zvs::parse_command_line(argc, argv, "zvagent", kUsage, own, &options);
  if (early >= 0) return early;
  settings.delay_ms = options.delay_ms;

  zv_log_setup("console", ZV_LOG_INFO, 0, 0, "zvagent");
  zvagent::Totals totals(totals_path);
  zvs::Server server("zvagent");
  auto handler = [&](int fd) {
    zvagent::serve_agent_session(fd, settings, totals, server.stopping_flag());
  };
  // An empty totals file from the start, so that a reader never finds none.
  return zvs::run_server(
      &server, options, [&] { totals.write(); }, handler, [] {}, 5000);
}
