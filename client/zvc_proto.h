// Wire primitives of the scanning-daemon and statistics-agent protocol.
//
// Encodes and decodes ints (32-bit big-endian), raw buffers, length-prefixed byte
// strings, string lists and statistics blocks on an IpcChannel, and sorts the daemon's
// virus lines into typed lists ("combiners"). Both sides of a conversation use the same
// primitives: a server wraps its accepted socket with ipc::adopt and calls them too.
//
// Every operation gives 1 on success and 0 on failure (logged); after a failure the
// position in the byte stream is unknown and the caller abandons the channel. Owns no
// shared state and takes no lock.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "zvc_ipc.h"
#include "zvc_strings.h"

// The fifteen counters of one scan, in wire/report order of the record.
struct ScanStatistics {
  int32_t scanned = 0;               // scanned objects
  int32_t known = 0;                 // known viruses
  int32_t modifications = 0;         // virus modifications
  int32_t suspicious = 0;            // possible unknown viruses
  int32_t cured = 0;                 // cured objects
  int32_t deleted = 0;               // deleted objects
  int32_t rule_rejects = 0;          // rule-filter rejects
  int32_t skipped = 0;               // skipped objects
  int32_t archive_restrictions = 0;  // archive restrictions
  int32_t errors = 0;                // scanning errors
  int32_t adware = 0;
  int32_t dialers = 0;
  int32_t jokes = 0;
  int32_t riskware = 0;
  int32_t hacktools = 0;
};

// Infection types of the virus lines, indexes into VirusLists::lists.
enum VirusKind : int {
  kVirusKnown = 0,         // 'K'
  kVirusSuspicious = 1,    // 'S'
  kVirusModification = 2,  // 'M'
  kVirusAdware = 3,        // 'A'
  kVirusDialer = 4,        // 'D'
  kVirusJoke = 5,          // 'J'
  kVirusRiskware = 6,      // 'R'
  kVirusHacktool = 7,      // 'H'
};
inline constexpr int kVirusKinds = 8;
// The infection-type letter of each kind, in VirusKind order.
inline constexpr char kVirusKindLetters[kVirusKinds + 1] = "KSMADJRH";

// The typed virus-name lists of one scan; each list is null until its first name.
struct VirusLists {
  std::array<StringListPtr, kVirusKinds> lists;
  StringList* get(int kind) const {
    return kind >= 0 && kind < kVirusKinds ? lists[static_cast<size_t>(kind)].get() : nullptr;
  }
};

// Called by proto::read_list for every received string: `length` counts the terminator
// that `text` carries. 1 to go on, 0 to stop the reading with failure. The routine
// copies what it keeps; `text` is freed after the call.
using CombineRoutine = int (*)(size_t length, const char* text, void* list, void* context);

// Caps on what a daemon answer may claim, item by item. An item beyond its cap fails
// the reading before anything is allocated for it, so a broken or hostile daemon cannot
// make the client allocate what the length field says (up to 4 GiB per item).
inline constexpr uint32_t kMaxAnswerListCount = 65536;       // lines of one list
inline constexpr uint32_t kMaxReportLineLength = 64 * 1024;  // one report line
inline constexpr uint32_t kMaxVirusLineLength = 1024;        // one "NAME,T" line
inline constexpr uint32_t kMaxRuleNameLength = 1024;         // the rule name
// The cured copy of a sent file of `sent` bytes: four times its size plus 64 KiB.
constexpr uint32_t max_cured_length(uint32_t sent) {
  uint64_t cap = static_cast<uint64_t>(sent) * 4 + 64 * 1024;
  return cap > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(cap);
}

namespace proto {

// Raw bytes, no prefix. A length of 0 succeeds without I/O.
[[nodiscard]] int write_buf(IpcChannel* channel, size_t length, const void* bytes);
[[nodiscard]] int read_buf(IpcChannel* channel, void* buffer, size_t length);

// 4 bytes, most significant first; signed values travel as their two's-complement bits.
[[nodiscard]] int write_int(IpcChannel* channel, uint32_t value);
[[nodiscard]] int read_int(IpcChannel* channel, uint32_t* value);
[[nodiscard]] int read_int(IpcChannel* channel, int32_t* value);

// The int length, then the bytes. Null bytes send only the int 0.
[[nodiscard]] int write_bytestring(IpcChannel* channel, uint32_t length, const void* bytes);
// Reads a byte string into a new buffer. With `terminate` a zero byte follows the data
// and *length counts it (N + 1); a received length of 0 then yields a one-byte text.
// Without `terminate` a length of 0 yields no buffer. A received length above
// `max_length` fails before anything is allocated. Both outputs are cleared first and on
// failure.
[[nodiscard]] int read_bytestring(IpcChannel* channel, size_t* length,
                                  std::unique_ptr<char[]>* bytes, int terminate,
                                  uint32_t max_length);

// The count, then every string first to last as a byte string; with `terminators` each
// length includes the terminating zero byte, which is sent too. A null list is sent as
// the count 0.
[[nodiscard]] int write_list(IpcChannel* channel, const StringList* list, int terminators);
// Reads the count, then each string (with terminator), handing it to `combine` with
// `list` and `context`. A count above `max_count` or a string longer than `max_length`
// (on the wire) fails the reading.
[[nodiscard]] int read_list(IpcChannel* channel, CombineRoutine combine, void* list, void* context,
                            uint32_t max_count, uint32_t max_length);

// The statistics block: pair count, then (mask, value) pairs for known viruses,
// modifications, suspicious, skipped, archive restrictions, rule rejects, scanning
// errors and cured.
[[nodiscard]] int write_stat(IpcChannel* channel, const ScanStatistics* statistics);
// Reads a statistics block and adds each pair's value to the first counter whose mask
// shares a bit with the pair's; the scanned-objects counter rises by one.
[[nodiscard]] int read_stat(IpcChannel* channel, ScanStatistics* statistics);

// Reads the report lines and joins them (the lines carry their own line ends). `limit`
// caps the total length (0 = none). With `path`, every occurrence of the path in a line
// is shortened to the file's base name and lines beyond the cap are dropped; without
// it, a line beyond the cap fails the whole report. More than kMaxAnswerListCount lines
// or a line longer than kMaxReportLineLength fails too. None on failure.
[[nodiscard]] std::optional<std::string> read_report(IpcChannel* channel, uint32_t limit,
                                                     const char* path);

}  // namespace proto

namespace combiner {

// Combine routine for the virus lines: `list` is a VirusLists*, `context` unused. The
// line "NAME,T" (split at the last comma, T one of KSMADJRH) adds NAME to list T.
int parse_viruses(size_t length, const char* line, void* list, void* context);
// Combine routine for report lines: `list` is a StringList*, `context` the spool path
// (const char*). Removes the path's directory part where the path occurs in the line.
int add_multistring_and_delete_path(size_t length, const char* line, void* list, void* context);
// Combine routine that appends each line unchanged to the StringList* `list`; its
// result is that of strings::add (0 when the list's cap is reached).
int add_string(size_t length, const char* line, void* list, void* context);

}  // namespace combiner
