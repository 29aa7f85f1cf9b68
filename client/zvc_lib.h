// The scanning-daemon client library: start-up with the daemon addresses, scan and
// version requests, and the scan result record with its status and statistics texts.
//
// Owns the process-wide library state: the started flag and the daemon address list,
// both written only by startup / add_address / cleanup on the main thread while no
// request runs. Every request opens its own session (a fresh connection to the first
// daemon of the list that answers) and closes it again; the address list's own mutex
// ("ZvLib::AddressListLocker") guards each step of the walk. A ScanResult belongs to
// one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "client/zvc_ipc.h"
#include "client/zvc_proto.h"
#include "lib/zvc_strings.h"

// Version of this library; callers pass the version they were written for as
// major * 256 + minor.
inline constexpr int kZvcMajorVersion = 4;
inline constexpr int kZvcMinorVersion = 7;
inline constexpr int kZvcVersion = kZvcMajorVersion * 256 + kZvcMinorVersion;  // 0x0407

// Command codes: the first int of every request.
inline constexpr uint32_t kZvcCommandScan = 1;
inline constexpr uint32_t kZvcCommandVersion = 2;

// Scan request flags.
inline constexpr uint32_t kScanReport = 0x2;               // answer carries the report
inline constexpr uint32_t kScanStatistics = 0x4;           // answer carries the statistics
inline constexpr uint32_t kScanHeuristic = 0x8;            // heuristic analysis
inline constexpr uint32_t kScanRuleFilter = 0x20;          // apply the daemon's rule filter
inline constexpr uint32_t kScanCure = 0x40;                // cure infected objects
inline constexpr uint32_t kScanRemoveInfected = 0x200;     // remove infected objects
inline constexpr uint32_t kScanRemoveIncurable = 0x1000;   // remove incurable objects
inline constexpr uint32_t kScanRemoveSuspicious = 0x8000;  // remove suspicious objects
inline constexpr uint32_t kScanAlways = 0x80000;           // always set by the filter
inline constexpr uint32_t kScanVirusLists = 0x400000;      // answer carries the virus lines
inline constexpr uint32_t kScanRuleName = 0x800000;        // answer carries the rule name
inline constexpr uint32_t kScanMail = 0x1000000;           // mail scan (added by scanmail)
inline constexpr uint32_t kScanNoDelay = 0x4000000;        // TCP_NODELAY on the session
inline constexpr uint32_t kScanExtended = 0x80000000;      // extended options int follows

// Status word bits of a verdict.
inline constexpr uint32_t kStatusClean = 0x0;
inline constexpr uint32_t kStatusReadError = 0x1;
inline constexpr uint32_t kStatusWriteError = 0x2;
inline constexpr uint32_t kStatusNoMemory = 0x4;
inline constexpr uint32_t kStatusCrcError = 0x8;
inline constexpr uint32_t kStatusSocketError = 0x10;
inline constexpr uint32_t kStatusKnownVirus = 0x20;
inline constexpr uint32_t kStatusSuspicious = 0x40;
inline constexpr uint32_t kStatusModification = 0x80;
inline constexpr uint32_t kStatusCured = 0x100;
inline constexpr uint32_t kStatusTimedOut = 0x200;
inline constexpr uint32_t kStatusSymlink = 0x400;
inline constexpr uint32_t kStatusNotRegular = 0x800;
inline constexpr uint32_t kStatusSkipped = 0x1000;
inline constexpr uint32_t kStatusTooBig = 0x2000;
inline constexpr uint32_t kStatusCompressionRatio = 0x4000;
inline constexpr uint32_t kStatusInvalidCall = 0x8000;
inline constexpr uint32_t kStatusRuleReject = 0x20000;
inline constexpr uint32_t kStatusNesting = 0x40000;
inline constexpr uint32_t kStatusDeleted = 0x80000;
inline constexpr uint32_t kStatusCompositeClean = 0x100000;
inline constexpr uint32_t kStatusAdware = 0x400000;
inline constexpr uint32_t kStatusDialer = 0x800000;
inline constexpr uint32_t kStatusJoke = 0x1000000;
inline constexpr uint32_t kStatusRiskware = 0x2000000;
inline constexpr uint32_t kStatusHacktool = 0x4000000;

// Status masks of the statistics counters (also the masks of the statistics block).
inline constexpr uint32_t kMaskKnown = 0x20;
inline constexpr uint32_t kMaskModifications = 0x80;
inline constexpr uint32_t kMaskSuspicious = 0x40;
inline constexpr uint32_t kMaskSkipped = 0x1E08;
inline constexpr uint32_t kMaskArchive = 0x46000;
inline constexpr uint32_t kMaskRuleReject = 0x20000;
inline constexpr uint32_t kMaskErrors = 0x8017;
inline constexpr uint32_t kMaskCured = 0x100;
inline constexpr uint32_t kMaskDeleted = 0x80000;

// Result codes of the requests (besides those of the transport in zvc_ipc.h).
inline constexpr int kZvcOk = 0;
inline constexpr int kZvcExchangeFailed = -2;  // exchange with the daemon or close failed
inline constexpr int kZvcFileError = -3;       // spool file cannot be opened, sized, read
inline constexpr int kZvcBadParameters = -4;   // bad parameters or version mismatch
inline constexpr int kZvcWrongState = -6;      // already started / not started (cleanup)
inline constexpr int kZvcNoMemory = -9;        // no memory for the result record
inline constexpr int kZvcNotStarted = -10;     // request before startup
inline constexpr int kZvcInternal = -11;       // internal set-up failure
inline constexpr int kZvcNoDaemon = -12;       // no daemon accepted a connection

// Largest path length scanmail accepts.
inline constexpr size_t kZvcMaxPathLength = 1024;
// Pieces in which the spool file's content is streamed.
inline constexpr size_t kZvcChunkSize = 4096;

// The verdict of one scan. The record owns everything it points to.
struct ScanResult {
  uint32_t status = 0;                    // status word
  std::optional<std::string> rule;        // name of the matching filter rule
  std::optional<std::string> report;      // report text
  VirusLists viruses;                     // virus names by infection type
  ScanStatistics statistics;              // counters, all 0 at first
  std::optional<std::string> quarantine;  // quarantine file name, set by the filter
  std::unique_ptr<char[]> cured;          // the daemon's cured copy of the file
  size_t cured_length = 0;                // its length
};

// --- Scan result record -----------------------------------------------------------

// A new empty record, or null (logged) when memory runs out. Free with scanresult_delete.
[[nodiscard]] ScanResult* scanresult_new();
// Frees the record and all it owns; null is ignored.
void scanresult_delete(ScanResult* result);
// The status word; 0x8000 (invalid call) for a null record, so that a request that
// ended without a record reads as a scanning error.
uint32_t scanresult_status(const ScanResult* result);
// 1, or 0 for a null record.
int scanresult_set_status(ScanResult* result, uint32_t status);
// The report text, a fixed text for a null record or a record without report. Owned by
// the record (or static); never null.
const char* scanresult_report(const ScanResult* result);
// Replaces the report with a copy of `text` (null removes it). 1, or 0 for a null
// record or no memory (the old report then stays).
int scanresult_set_report(ScanResult* result, const char* text);
// The rule name, or null.
const char* scanresult_rule(const ScanResult* result);
// The virus lists / statistics of the record, or null for a null record.
VirusLists* scanresult_viruses(ScanResult* result);
ScanStatistics* scanresult_stats(ScanResult* result);
// The cured copy or null; its length, 0 when there is none.
const char* scanresult_cured(const ScanResult* result);
size_t scanresult_cured_length(const ScanResult* result);
// Stores a copy of the quarantine name. 0 for a null record or no memory (the record
// then has no name); 1 otherwise (also, without change, for a null name).
int scanresult_set_quarantine(ScanResult* result, const char* name);
// The stored quarantine name, or null.
const char* scanresult_quarantine(const ScanResult* result);

struct ScanResultDeleter {
  void operator()(ScanResult* r) const { scanresult_delete(r); }
};
using ScanResultPtr = std::unique_ptr<ScanResult, ScanResultDeleter>;

// --- Texts --------------------------------------------------------------------------

// The texts of every set status bit joined by ", "; "success" for 0; an empty text when
// no known bit is set.
std::string status_text(uint32_t status);
// One "NAME : VALUE\n" line per non-zero counter (scanned objects excluded); empty when
// all are 0; none for null statistics or no memory.
std::optional<std::string> stat_report(const ScanStatistics* statistics);
// Logs all counters at `level`, after a "zvlib: Statistic:" heading at level 5; nothing
// when `level` is 4 or lower or the statistics are null.
void stat_print(int level, const ScanStatistics* statistics);

// --- Library life cycle and requests ---------------------------------------------

// Starts the library with the primary daemon address. `version` is major * 256 + minor
// (a different major fails, a different minor only warns). `seconds` is the budget of
// every session with that daemon; `cache` resolves host names once and makes a missing
// pid file an error. 0, or -4, -6, -2, -11.
[[nodiscard]] int startup(int version, const char* address, int seconds, int cache);
// Adds a backup daemon address (tried after those added before). 0, or -2.
[[nodiscard]] int add_address(const char* address, int seconds, int cache);
// Stops the library and frees the address list. 0, -6 when not started, -2.
int cleanup();
// True between startup() and cleanup().
bool started();

// Asks the first reachable daemon for its version. 0, -10, -4, -12 or -2.
[[nodiscard]] int get_version(int* major, int* minor);

// Scans the file at `path` (its first `path_length` bytes are the path sent). With
// `local_scan` the daemon reads the file by its path when the session goes to the first
// daemon; otherwise the content is streamed. `extended` is sent when `flags` has
// kScanExtended. `report_limit` caps the report (0 = none). `sender` may be null;
// `recipients` may be null (none). On 0 *result holds a new record the caller deletes
// (it may also be null when the request failed before the answer: the caller reads
// that as a scanning error). Result: 0, -2, -3, -4, -10, -12 or a transport code.
[[nodiscard]] int scanmail(const char* path, size_t path_length, int local_scan, uint32_t flags,
                           uint32_t extended, ScanResult** result, uint32_t report_limit,
                           const char* sender, const StringList* recipients);

// A connected channel to the first daemon of the address list that accepts, or null.
// Only a channel to the list's first entry carries `tag`.
[[nodiscard]] IpcChannel* open_session(int tag, int nodelay);
// Closes a session. 0, or -2 when the close failed.
int close_session(IpcChannel* channel);

namespace scan {
// Reads a scan answer into a new record stored in *result. 0, -9 (no memory) or -2
// (then *result is null).
[[nodiscard]] int daemon_answer(IpcChannel* channel, uint32_t flags, const char* path,
                                ScanResult** result, uint32_t report_limit, int local_scan);
}  // namespace scan
