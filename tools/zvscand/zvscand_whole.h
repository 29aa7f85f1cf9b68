// Engines that read whole messages themselves, and the one-pass scan through them.
//
// The signature engine is handed each MIME part by the daemon's own MIME layer. An engine
// that parses mail and unpacks archives by itself (libclamav) is better given the whole
// message once: a WholeMessageEngine. When a request asks for nothing to be cured or
// removed, the session scans through scan_whole_message(), which makes one engine call
// and builds the verdict from its findings; requests that ask for treatment still go
// through the MIME layer, part by part, since only it can rewrite a message.
//
// InstantEngine is the daemon that answers at once: every message is clean, nothing is
// looked at (a file named in a local-mode request is not read). It sets the floor of
// what the filter costs around a scan.
//
// Engines are immutable once built (see zvscand_engine.h); no shared state here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zvscand_engine.h"
#include "zvscand_mime.h"

namespace zvscand {

class WholeMessageEngine : public Engine {
 public:
  // The findings of one pass over `data`, a whole file or message, each at most once.
  // Suspicious (type S) findings only with `heuristic`.
  virtual std::vector<const Signature*> scan_whole(std::string_view data, bool heuristic) const = 0;
  // False for an engine that never looks at the content: a file named in a request is
  // then not even read.
  virtual bool needs_content() const { return true; }
};

// True when the request's option words ask for any finding to be cured or removed.
bool wants_treatment(uint32_t flags, uint32_t extended);

// The verdict of one pass of `engine` over `data` (the file the client named `path`):
// status bits, "NAME,T" virus lines, report lines ("PATH infected with NAME", ...) and
// counters as the MIME layer gives them for findings outside any part. Header rules are
// matched when `flags` asks for rule filtering.
ScanOutcome scan_whole_message(const WholeMessageEngine& engine, const std::string& path,
                               std::string_view data, uint32_t flags);

class InstantEngine : public WholeMessageEngine {
 public:
  std::vector<const Signature*> scan(std::string_view, bool) const override { return {}; }
  std::vector<const Signature*> scan_whole(std::string_view, bool) const override { return {}; }
  const Signature* match_rule(std::string_view) const override { return nullptr; }
  bool needs_content() const override { return false; }
};

}  // namespace zvscand
