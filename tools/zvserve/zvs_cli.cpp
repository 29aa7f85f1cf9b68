// Command line and start-up shared by the stand-in peers.
#include "zvs_cli.h"

#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <new>

namespace zvs {

namespace {

enum CommonOption { kListen, kForeground, kPidfile, kDelay, kHelp, kCommonCount };

// getopt_long answers '?' for an unknown option, so option values start well above it.
constexpr int kFirstValue = 1000;

int parse(int argc, char** argv, const char* ident, const char* usage,
          const std::vector<PeerOption>& extra, PeerOptions* out) {
  std::vector<option> longopts = {
      {"listen", required_argument, nullptr, kFirstValue + kListen},
      {"foreground", no_argument, nullptr, kFirstValue + kForeground},
      {"pidfile", required_argument, nullptr, kFirstValue + kPidfile},
      {"delay-ms", required_argument, nullptr, kFirstValue + kDelay},
      {"help", no_argument, nullptr, kFirstValue + kHelp},
  };
  for (size_t i = 0; i < extra.size(); ++i) {
    longopts.push_back({extra[i].name, extra[i].takes_argument ? required_argument : no_argument,
                        nullptr, kFirstValue + kCommonCount + static_cast<int>(i)});
  }
  longopts.push_back({nullptr, 0, nullptr, 0});
  opterr = 0;
  for (;;) {
    int c = getopt_long(argc, argv, "", longopts.data(), nullptr);
    if (c == -1) break;
    int which = c - kFirstValue;
    unsigned long n = 0;
    switch (which) {
      case kListen:
        out->listen.emplace_back(optarg);
        break;
      case kForeground:
        out->foreground = true;
        break;
      case kPidfile:
        out->pidfile = optarg;
        break;
      case kDelay:
        if (!parse_number(optarg, 24ul * 3600 * 1000, &n))
          return usage_error(ident, "--delay-ms needs a number of milliseconds", usage);
        out->delay_ms = static_cast<int>(n);
        break;
      case kHelp:
        std::fputs(usage, stdout);
        return 0;
      default:
        if (which >= kCommonCount && which < kCommonCount + static_cast<int>(extra.size())) {
          const char* reason = extra[static_cast<size_t>(which - kCommonCount)].apply(optarg);
          if (reason != nullptr) return usage_error(ident, reason, usage);
          break;
        }
        return usage_error(ident,
                           std::string("unknown or incomplete option ") +
                               (optind > 0 && optind <= argc ? argv[optind - 1] : ""),
                           usage);
    }
  }
  if (optind < argc)
    return usage_error(ident, std::string("unexpected argument ") + argv[optind], usage);
  if (out->listen.empty())
    return usage_error(ident, "at least one --listen=ADDRESS is needed", usage);
  return -1;
}

}  // namespace

int usage_error(const char* ident, const std::string& text, const char* usage) {
  std::fprintf(stderr, "%s: %s\n%s", ident, text.c_str(), usage);
  return kExitUsage;
}

int parse_command_line(int argc, char** argv, const char* ident, const char* usage,
                       const std::vector<PeerOption>& extra, PeerOptions* out) {
  try {
    return parse(argc, argv, ident, usage, extra, out);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "%s: out of memory\n", ident);
    return kExitSystem;
  }
}

int run_server(Server* server, const PeerOptions& options, const std::function<void()>& started,
               const Server::Handler& handler, const Server::Reload& reload, int drain_ms) {
  if (!server->listen(options.listen)) return kExitSystem;
  if (!options.foreground && !server->detach()) return kExitSystem;
  if (started) started();
  int status = server->serve(handler, reload, options.pidfile, drain_ms);
  if (status < 0) {
    std::fflush(nullptr);
    ::_exit(0);
  }
  return status;
}

}  // namespace zvs
