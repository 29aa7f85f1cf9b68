// Command line and start-up shared by the stand-in peers.
//
// Every peer takes --listen=ADDRESS (repeatable), --foreground, --pidfile=PATH,
// --delay-ms=N and --help, plus options of its own; a bad command line prints
// "IDENT: REASON" and the peer's usage text on standard error and ends with status 64.
// After parsing, a peer listens on its addresses, detaches unless told to stay in the
// foreground, and serves until a stop signal.
//
// Owns nothing beyond the call; no locks. getopt_long keeps global state, so parsing
// belongs to the main thread before any other thread starts.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "zvs_server.h"

namespace zvs {

// Exit statuses of the peers.
inline constexpr int kExitUsage = 64;   // bad command line
inline constexpr int kExitSystem = 71;  // cannot listen, detach or start
inline constexpr int kExitConfig = 78;  // bad configuration file

// The options every peer takes.
struct PeerOptions {
  std::vector<std::string> listen;  // --listen, in the order given
  bool foreground = false;          // --foreground
  std::string pidfile;              // --pidfile; empty: none
  int delay_ms = 0;                 // --delay-ms: wait before every answer
};

// One option of a single peer. `apply` gets the option's argument (null for an option
// without one) and returns null when it is fine, or the reason to report.
struct PeerOption {
  const char* name;
  bool takes_argument;
  std::function<const char*(const char* argument)> apply;
};

// Prints "IDENT: TEXT" and `usage` on standard error; returns kExitUsage.
int usage_error(const char* ident, const std::string& text, const char* usage);

// Parses the command line of the peer `ident` into *out, handing the peer's own options
// to `extra`, in the order they appear. Returns -1 when the peer should go on, or else
// the status to exit with at once: 0 after --help printed `usage` on standard output,
// kExitUsage after a usage error, kExitSystem when memory ran out.
[[nodiscard]] int parse_command_line(int argc, char** argv, const char* ident, const char* usage,
                                     const std::vector<PeerOption>& extra, PeerOptions* out);

// Opens the listeners of `options` on `server`, detaches unless in the foreground, calls
// `started` (for work that belongs to the serving process), then serves until SIGTERM
// or SIGINT, waiting up to `drain_ms` for running sessions. Returns the exit status.
// When sessions outlast the drain time they may still use the caller's objects, so the
// process then leaves with status 0 at once, without unwinding the caller's frames.
int run_server(Server* server, const PeerOptions& options, const std::function<void()>& started,
               const Server::Handler& handler, const Server::Reload& reload, int drain_ms);

}  // namespace zvs
