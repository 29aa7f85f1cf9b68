// The scanning-daemon client library: start-up with the daemon addresses, and the scan
// and version requests. The scan result record they fill is in zvc_result.h.
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

#include "zvc_ipc.h"
#include "zvc_proto.h"
#include "zvc_result.h"
#include "zvc_strings.h"

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

// Asks the first reachable daemon for its version (the daemon's int V gives major V / 100
// and minor V % 100). 0, -10, -4, -12, -13 (the session's budget ran out) or -2.
[[nodiscard]] int get_version(int* major, int* minor);

// Scans the file at `path` (its first `path_length` bytes are the path sent). With
// `local_scan` the daemon reads the file by its path when the session goes to the first
// daemon; otherwise the content is streamed. `extended` is sent when `flags` has
// kScanExtended. `report_limit` caps the report (0 = none). `sender` may be null;
// `recipients` may be null (none). On 0 *result holds a new record the caller deletes;
// otherwise it is null. A path whose first `path_length` bytes hold a zero byte is
// refused. Result: 0, -2 (exchange failed, no record), -3, -4, -10,
// -12, or -13 when the session's budget ran out during the exchange.
[[nodiscard]] int scanmail(const char* path, size_t path_length, int local_scan, uint32_t flags,
                           uint32_t extended, ScanResult** result, uint32_t report_limit,
                           const char* sender, const StringList* recipients);

// scanmail() for a daemon that sees the file under another name (a chroot, a shared
// mount): `path` (its first `path_length` bytes) is the daemon's name of the file, sent
// in the request and read by the daemon in a local scan; `file` is this process's name
// of it, opened when the content is streamed (without local scan, or when the session
// went to a backup daemon). A null `file` opens `path`. Results as scanmail().
[[nodiscard]] int scanmail_file(const char* file, const char* path, size_t path_length,
                                int local_scan, uint32_t flags, uint32_t extended,
                                ScanResult** result, uint32_t report_limit, const char* sender,
                                const StringList* recipients);

// A connected channel to the first daemon of the address list that accepts, or null.
// Only a channel to the list's first entry carries `tag`.
[[nodiscard]] IpcChannel* open_session(int tag, int nodelay);
// Closes a session. 0, or -2 when the close failed.
int close_session(IpcChannel* channel);

namespace scan {
// Reads a scan answer into a new record stored in *result. `sent_size` is the size of
// the streamed content, which bounds the cured copy. An item longer (or a list longer)
// than its cap in zvc_proto.h fails the exchange. 0, -9 (no memory) or -2 (then
// *result is null).
[[nodiscard]] int daemon_answer(IpcChannel* channel, uint32_t flags, const char* path,
                                ScanResult** result, uint32_t report_limit, int local_scan,
                                uint32_t sent_size);
}  // namespace scan
