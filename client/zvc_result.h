// The scan result record and the texts of status words and statistics.
//
// One scan request yields one ScanResult: the daemon's status word, the virus names by
// infection type, the report, the statistics counters, the matching filter rule and the
// daemon's cured copy of the file. The record owns everything it points to and belongs
// to one thread at a time (the one processing its message). No shared state, no lock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "zvc_proto.h"

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
