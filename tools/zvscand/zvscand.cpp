// zvscand: the stand-in scanning daemon.
//
// Parses the command line, loads the signatures, binds the listening addresses (before
// detaching, so that a bad address is reported on the terminal), then serves one
// session per connection until SIGTERM. SIGHUP reloads the signatures file; a file that
// no longer parses keeps the previous signatures in force.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "zv_log.h"
#include "zvs_cli.h"
#include "zvs_server.h"
#include "zvscand_clamav.h"
#include "zvscand_engine.h"
#include "zvscand_mime.h"
#include "zvscand_session.h"
#include "zvscand_whole.h"

#if defined(__SANITIZE_THREAD__)
// Thread-sanitizer builds only. GMime keeps process-wide tables (charsets, content
// types) behind GLib's own mutexes, which lock with futexes the sanitizer does not see:
// two sessions parsing at once then read as a race inside those libraries. Reports whose
// stacks run through them are theirs; the daemon's own code stays checked.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libglib-2.0.so\n"
         "race:libgmime-3.0.so\n";
}
#endif

namespace {

const char kUsage[] =
    "Usage: zvscand --listen=ADDRESS [--listen=ADDRESS]... [--foreground] [--pidfile=PATH]\n"
    "               [--signatures=FILE] [--engine=signatures|clamav|instant]\n"
    "               [--database=DIR] [--daemon-version=N] [--delay-ms=N] [--drop]\n"
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
    "  --engine=NAME        the detection engine: signatures (the default: EICAR and\n"
    "                       --signatures), clamav (libclamav with the databases of\n"
    "                       --database), or instant (answers every scan clean at once)\n"
    "  --database=DIR       the libclamav database directory (.ndb, .hdb, ... files),\n"
    "                       loaded and compiled once; SIGHUP loads it anew, and a\n"
    "                       database that fails to load keeps the old one in force.\n"
    "                       Without treatment asked for, libclamav scans each message\n"
    "                       whole (it parses MIME and unpacks archives itself); its\n"
    "                       findings map onto the answer as: a signature name -> known\n"
    "                       virus K (0x20); PUA.* -> adware A, dialer D, joke J or\n"
    "                       hacktool H by the word in the name, else riskware R;\n"
    "                       Heuristics.Limits.Exceeded.MaxRecursion -> 0x40000 and\n"
    "                       other exceeded limits -> 0x2000 (archive restriction);\n"
    "                       Heuristics.Encrypted.* -> 0x1000 (skipped object); other\n"
    "                       Heuristics.* -> suspicious S (0x40, with heuristic analysis\n"
    "                       only); scan errors -> 0x4 memory, 0x200 time-out, 0x1 read,\n"
    "                       0x8 corrupted object, else 0x8000\n"
    "  --daemon-version=N   the number answered to version requests (default 433)\n"
    "  --delay-ms=N         wait N milliseconds before every answer (a scan waits after\n"
    "                       scanning, before a treated file is rewritten)\n"
    "  --drop               read each request and close the session without answering\n"
    "  --status=0xHEX       answer every scan with this status word\n"
    "  --help               show this text\n"
    "\n"
    "Signals: SIGHUP reloads the signatures file, SIGTERM and SIGINT stop the daemon.\n";

}  // namespace

int main(int argc, char** argv) {
  // GLib's slice allocator hands memory between threads behind the sanitizers' back,
  // which makes sanitizer runs of the daemon report races that are not there. GLib
  // reads its G_SLICE setting before main, so the daemon starts itself once more with
  // plain malloc chosen; should that fail it simply goes on.
  if (std::getenv("G_SLICE") == nullptr && setenv("G_SLICE", "always-malloc", 1) == 0)
    ::execv("/proc/self/exe", argv);
  zvs::PeerOptions options;
  std::string signatures, engine_name = "signatures", database;
  zvscand::DaemonSettings settings;
  const std::vector<zvs::PeerOption> own = {
      {"signatures", true,
       [&](const char* arg) -> const char* {
         signatures = arg;
         return nullptr;
       }},
      {"engine", true,
       [&](const char* arg) -> const char* {
         engine_name = arg;
         if (engine_name != "signatures" && engine_name != "clamav" && engine_name != "instant")
           return "--engine must be signatures, clamav or instant";
         return nullptr;
       }},
      {"database", true,
       [&](const char* arg) -> const char* {
         database = arg;
         return nullptr;
       }},
      {"daemon-version", true,
       [&](const char* arg) -> const char* {
         unsigned long n = 0;
         if (!zvs::parse_number(arg, 0xFFFFFFFFul, &n)) return "--daemon-version needs a number";
         settings.version = static_cast<uint32_t>(n);
         return nullptr;
       }},
      {"drop", false,
       [&](const char*) -> const char* {
         settings.drop = true;
         return nullptr;
       }},
      {"status", true,
       [&](const char* arg) -> const char* {
         unsigned long n = 0;
         if ((std::strncmp(arg, "0x", 2) != 0 && std::strncmp(arg, "0X", 2) != 0) ||
             !zvs::parse_number(arg, 0xFFFFFFFFul, &n))
           return "--status needs a hexadecimal word as 0xHEX";
         settings.force_status = true;
         settings.status = static_cast<uint32_t>(n);
         return nullptr;
       }},
  };
  int early = zvs::parse_command_line(argc, argv, "zvscand", kUsage, own, &options);
  if (early >= 0) return early;
  settings.delay_ms = options.delay_ms;
  if ((engine_name == "clamav") != !database.empty()) {
    std::fprintf(stderr, "zvscand: --database goes with --engine=clamav, and only with it\n");
    return zvs::kExitUsage;
  }
  // Builds the engine in force, at start and on every SIGHUP.
  auto load = [&](std::string* why) -> std::shared_ptr<const zvscand::Engine> {
    if (engine_name == "clamav") return zvscand::ClamavEngine::load(database, why);
    if (engine_name == "instant") return std::make_shared<zvscand::InstantEngine>();
    return zvscand::load_engine(signatures, why);
  };

  zv_log_setup("console", ZV_LOG_INFO, 0, 0, "zvscand");
  std::string error;
  zvscand::EngineStore engines;
  std::shared_ptr<const zvscand::Engine> engine = load(&error);
  if (engine == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvscand: bad signatures file: %s", error.c_str());
    return zvs::kExitConfig;
  }
  engines.set(std::move(engine));

  zvs::Server server("zvscand");
  auto handler = [&](int fd) {
    zvscand::serve_session(fd, settings, engines, server.stopping_flag());
  };
  auto reload = [&] {
    std::string why;
    std::shared_ptr<const zvscand::Engine> fresh = load(&why);
    if (fresh == nullptr) {
      zv_log(ZV_LOG_ERRORS, "zvscand: reload failed, keeping the old signatures: %s", why.c_str());
      return;
    }
    engines.set(std::move(fresh));
    zv_log(ZV_LOG_INFO, "zvscand: signatures reloaded");
  };
  return zvs::run_server(&server, options, zvscand::mime_init, handler, reload, 10000);
}
