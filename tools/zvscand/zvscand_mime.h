// Message scanning and treatment of the stand-in scanning daemon.
//
// Scans one file's bytes as the daemon sees them: the raw bytes, and every leaf part of
// the MIME structure after its transfer encoding is undone (base64, quoted-printable,
// nested multiparts and attached messages), each through the detection engine; a message
// that mixes CR LF and bare LF line ends is parsed as if every line ended in CR LF. The
// header block is matched against the header rules when rule filtering is asked for.
// When the request flags ask for curing or removal of what was found, every treated
// part is replaced by a short text/plain part naming what was removed, and the message
// is written out again; the result always parses as a MIME message.
//
// Treatment options read from the request: 0x8 heuristic analysis (type S findings);
// 0x20 rule filtering; 0x40 cure known viruses and modifications that are not marked
// incurable; 0x200 remove known viruses and modifications; 0x1000 remove incurable
// ones; 0x8000 remove suspicious objects; in the extended options, remove adware 0x10,
// dialers 0x100, jokes 0x1000, riskware 0x10000, hacktools 0x100000. A part is replaced
// only when every finding in it is to be cured or removed. Counters: "cured" counts the
// known viruses and modifications that were cured or removed, "deleted" every finding
// that was removed; findings outside any part (in the headers, say) cannot be treated.
//
// GMime is used through mime_init(), called once before any scan; each scan owns its
// own GMime objects, so scans run on many threads at once. No shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zvc_proto.h"
#include "zvscand_engine.h"

namespace zvscand {

// Extended-options bits that ask for removal of each malware kind.
inline constexpr uint32_t kRemoveAdware = 0x10;
inline constexpr uint32_t kRemoveDialers = 0x100;
inline constexpr uint32_t kRemoveJokes = 0x1000;
inline constexpr uint32_t kRemoveRiskware = 0x10000;
inline constexpr uint32_t kRemoveHacktools = 0x100000;

// Deepest nesting of multiparts and attached messages that is scanned; deeper parts
// are reported with status 0x40000 (too big nesting level).
inline constexpr int kMaxMimeDepth = 32;

struct ScanOutcome {
  uint32_t status = 0;                   // status word of the verdict
  std::vector<std::string> virus_lines;  // "NAME,T", each name and type once
  std::string rule;                      // name of the matching header rule, or empty
  std::vector<std::string> report;       // report lines, each with its line end
  ScanStatistics stats;                  // counters of this scan (scanned is not used)
  bool modified = false;                 // something was cured or removed
  std::string content;                   // the rewritten message when modified
};

// The words of a report line for a finding of infection type `type` (K, S, M, A, D, J, R,
// H), for example "infected with".
const char* type_words(char type);

// The statistics counter that a finding's status bits count in, or null for bits that no
// counter takes.
int32_t* counter_for(ScanStatistics* st, uint32_t bits);

// Initialises GMime once per process; safe to call from any thread, any number of times.
void mime_init();

// Scans `data`, the content of the file whose path the client gave as `path` (report
// lines name objects by it). `flags` and `extended` are the request's option words.
ScanOutcome scan_content(const Engine& engine, const std::string& path, std::string_view data,
                         uint32_t flags, uint32_t extended);

}  // namespace zvscand
