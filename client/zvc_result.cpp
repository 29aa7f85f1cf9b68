// The scan result record and its texts: see zvc_result.h.
#include "zvc_result.h"

#include <cstdio>
#include <new>

#include "zv_log.h"
#include "zvc_strings.h"

namespace {

inline constexpr const char* kModule = "zvc_lib";

struct StatusText {
  uint32_t bit;
  const char* text;
};
inline constexpr StatusText kStatusTexts[] = {
    {0x1, "read error"},
    {0x2, "write error"},
    {0x4, "no memory for operation"},
    {0x8, "CRC error (archive with wrong CRC)"},
    {0x10, "socket error"},
    {0x20, "known virus is found"},
    {0x40, "possible unknown virus is found"},
    {0x80, "virus modification is found"},
    {0x100, "one (or more) object(s) has been cured"},
    {0x200, "operation timed out"},
    {0x400, "symlink is found"},
    {0x800, "no regular file is found"},
    {0x1000, "skipped object"},
    {0x2000, "too big file after extraction"},
    {0x4000, "too high compression ratio"},
    {0x8000, "invalid call"},
    {0x20000, "rejected by rule filter"},
    {0x40000, "too big nesting level in archive"},
    {0x80000, "one (or more) object(s) has been deleted"},
    {0x100000, "after scanning/curing composite object is clean"},
    {0x400000, "an adware is found"},
    {0x800000, "a dialer is found"},
    {0x1000000, "a joke(hoax) is found"},
    {0x2000000, "a riskware is found"},
    {0x4000000, "a hacktool is found"},
};

struct CounterName {
  const char* name;
  int32_t ScanStatistics::*counter;
};
// The statistics texts' order; scanned objects first, which stat_report leaves out.
inline constexpr CounterName kCounters[] = {
    {"Scanned objects", &ScanStatistics::scanned},
    {"Known viruses", &ScanStatistics::known},
    {"Modifications", &ScanStatistics::modifications},
    {"Suspicious", &ScanStatistics::suspicious},
    {"Advertising software", &ScanStatistics::adware},
    {"Dialer program", &ScanStatistics::dialers},
    {"Joke(Hoax) program", &ScanStatistics::jokes},
    {"Potentially dangerous software", &ScanStatistics::riskware},
    {"Intrusion tool", &ScanStatistics::hacktools},
    {"Cured", &ScanStatistics::cured},
    {"Deleted", &ScanStatistics::deleted},
    {"FilterRule Reject", &ScanStatistics::rule_rejects},
    {"Skipped object", &ScanStatistics::skipped},
    {"Archive restriction", &ScanStatistics::archive_restrictions},
    {"Scanning error", &ScanStatistics::errors},
};
// Longest statistics line, newline included.
inline constexpr size_t kStatLineMax = 62;

inline constexpr const char* kNullReport = "FATAL ERROR: null pointer passed";
inline constexpr const char* kNoReport =
    "Zarvik Daemon report was not requested in this configuration.";

}  // namespace

ScanResult* scanresult_new() {
  auto* r = new (std::nothrow) ScanResult{};
  if (r == nullptr)
    zv_log(ZV_LOG_ERRORS, "zvlib: %s(%d): no memory for results", kModule, __LINE__);
  return r;
}

void scanresult_delete(ScanResult* result) {
  delete result;
}

uint32_t scanresult_status(const ScanResult* result) {
  if (result == nullptr) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: try to get status from NULL pointer");
    return kStatusInvalidCall;
  }
  return result->status;
}

int scanresult_set_status(ScanResult* result, uint32_t status) {
  if (result == nullptr) return 0;
  result->status = status;
  return 1;
}

const char* scanresult_report(const ScanResult* result) {
  if (result == nullptr) return kNullReport;
  return result->report ? result->report->c_str() : kNoReport;
}

int scanresult_set_report(ScanResult* result, const char* text) {
  if (result == nullptr) return 0;
  if (text == nullptr) {
    result->report.reset();
    return 1;
  }
  try {
    std::string copy(text);
    result->report = std::move(copy);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: %s(%d): no memory for report", kModule, __LINE__);
    return 0;
  }
  return 1;
}

const char* scanresult_rule(const ScanResult* result) {
  return result != nullptr && result->rule ? result->rule->c_str() : nullptr;
}

VirusLists* scanresult_viruses(ScanResult* result) {
  return result != nullptr ? &result->viruses : nullptr;
}

ScanStatistics* scanresult_stats(ScanResult* result) {
  return result != nullptr ? &result->statistics : nullptr;
}

const char* scanresult_cured(const ScanResult* result) {
  return result != nullptr ? result->cured.get() : nullptr;
}

size_t scanresult_cured_length(const ScanResult* result) {
  return result != nullptr && result->cured ? result->cured_length : 0;
}

int scanresult_set_quarantine(ScanResult* result, const char* name) {
  if (result == nullptr) return 0;
  if (name == nullptr) return 1;
  if (result->quarantine) {
    zv_log(ZV_LOG_DEBUG, "zvlib: try to reset quarantine name in scanresult");
    result->quarantine.reset();
  }
  try {
    result->quarantine.emplace(name);
  } catch (const std::bad_alloc&) {
    result->quarantine.reset();
    zv_log(ZV_LOG_ERRORS, "zvlib: no memory for filename (quarantine)");
    return 0;
  }
  return 1;
}

const char* scanresult_quarantine(const ScanResult* result) {
  return result != nullptr && result->quarantine ? result->quarantine->c_str() : nullptr;
}

std::string status_text(uint32_t status) {
  try {
    if (status == 0) return "success";
    std::string text;
    for (const StatusText& s : kStatusTexts) {
      if ((status & s.bit) == 0) continue;
      if (!text.empty()) text += ", ";
      text += s.text;
    }
    return text;
  } catch (const std::bad_alloc&) {
    return "(null)";  // fits the small-string buffer: no allocation
  }
}

std::optional<std::string> stat_report(const ScanStatistics* statistics) {
  if (statistics == nullptr) return std::nullopt;
  try {
    std::string text;
    for (size_t i = 1; i < std::size(kCounters); ++i) {
      int32_t value = statistics->*kCounters[i].counter;
      if (value == 0) continue;
      char line[kStatLineMax + 1];
      snprintf(line, sizeof(line), "%s : %d\n", kCounters[i].name, value);
      text += line;
    }
    return text;
  } catch (const std::bad_alloc&) {
    return std::nullopt;
  }
}

void stat_print(int level, const ScanStatistics* statistics) {
  if (level <= ZV_LOG_INFO || statistics == nullptr) return;
  zv_log(ZV_LOG_VERBOSE, "zvlib: Statistic:");
  for (const CounterName& c : kCounters)
    zv_log(level, "zvlib: stat: %s : %d", c.name, statistics->*c.counter);
}
