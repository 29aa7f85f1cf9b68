// The libclamav engine of the stand-in scanning daemon (--engine=clamav).
//
// A ClamavEngine owns one compiled libclamav engine, loaded from a signature database
// directory (.ndb, .hdb, .ldb, ... files, as clamd reads them) and compiled once; every
// session scans with it at the same time (libclamav allows concurrent scans on a compiled
// engine). A reload builds a new ClamavEngine; the old one is freed when the last session
// that holds it ends. libclamav parses mail and unpacks archives itself, so the engine
// takes whole messages (WholeMessageEngine) and also single MIME parts from the daemon's
// MIME layer when a request asks for treatment.
//
// Scan settings: every parser on, all matches collected, the clean-file cache off (as in
// the reference clamd set-up), heuristic alerts on so that limits and encrypted archives
// are reported; libclamav's default limits.
//
// How libclamav's findings map onto the protocol (also in zvscand --help):
//   a signature name                      -> known virus 'K' (status 0x20)
//   PUA.* names with Adware / Dialer / Joke / Tool or Hacktool in them
//                                         -> adware 'A', dialer 'D', joke 'J', hacktool 'H'
//   other PUA.* names                     -> riskware 'R' (0x2000000)
//   Heuristics.Limits.Exceeded.MaxRecursion -> nesting too deep 0x40000 (archive restriction)
//   other Heuristics.Limits.Exceeded.*    -> too big 0x2000 (archive restriction)
//   Heuristics.Encrypted.*                -> skipped object 0x1000
//   other Heuristics.*                    -> suspicious 'S' (0x40), only with heuristic analysis
//   scan errors: out of memory 0x4, time-out 0x200, unreadable or unmappable 0x1,
//   a corrupted object 0x8, anything else 0x8000 (all counted as scanning errors or
//   skipped objects by their masks).
// Names are reported as libclamav gives them (".UNOFFICIAL" included for databases that
// are not signed).
//
// Shared state: the compiled engine (read-only after load) and the table of finding
// records handed out by scans, guarded by its own mutex (grows by each new name only).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "zvscand_whole.h"

struct cl_engine;

namespace zvscand {

class ClamavEngine : public WholeMessageEngine {
 public:
  ~ClamavEngine() override;
  ClamavEngine(const ClamavEngine&) = delete;
  ClamavEngine& operator=(const ClamavEngine&) = delete;

  // Loads and compiles the databases in `directory`. Null on failure (no database, a
  // malformed one, no memory), with the reason in *error.
  static std::shared_ptr<const ClamavEngine> load(const std::string& directory, std::string* error);

  std::vector<const Signature*> scan(std::string_view object, bool heuristic) const override;
  std::vector<const Signature*> scan_whole(std::string_view data, bool heuristic) const override;
  const Signature* match_rule(std::string_view) const override { return nullptr; }

  unsigned signatures() const { return signatures_; }

  // The finding record of a libclamav detection name, as mapped above (exposed for
  // tests). Owned by the engine, stable for its lifetime.
  const Signature* finding(const std::string& name) const;
  // The finding record of a libclamav scan error code.
  const Signature* error_finding(int code) const;

 private:
  ClamavEngine() = default;
  const Signature* intern(const std::string& key, Signature s) const;

  cl_engine* engine_ = nullptr;
  unsigned signatures_ = 0;
  mutable std::mutex mu_;
  mutable std::unordered_map<std::string, std::unique_ptr<Signature>> findings_;  // by mu_
};

}  // namespace zvscand
