// One-pass scans through whole-message engines; see zvscand_whole.h.
#include "zvscand_whole.h"

#include <cstdio>

#include "zvc_lib.h"

namespace zvscand {
namespace {

// The header block: everything before the first empty line.
std::string_view header_block(std::string_view data) {
  size_t crlf = data.find("\r\n\r\n");
  size_t lf = data.find("\n\n");
  size_t end = data.size();
  if (crlf != std::string_view::npos) end = crlf + 2;
  if (lf != std::string_view::npos && lf + 1 < end) end = lf + 1;
  return data.substr(0, end);
}

}  // namespace

bool wants_treatment(uint32_t flags, uint32_t extended) {
  constexpr uint32_t kTreat =
      kScanCure | kScanRemoveInfected | kScanRemoveIncurable | kScanRemoveSuspicious;
  constexpr uint32_t kTreatExtended =
      kRemoveAdware | kRemoveDialers | kRemoveJokes | kRemoveRiskware | kRemoveHacktools;
  return (flags & kTreat) != 0 || ((flags & kScanExtended) && (extended & kTreatExtended) != 0);
}

ScanOutcome scan_whole_message(const WholeMessageEngine& engine, const std::string& path,
                               std::string_view data, uint32_t flags) {
  ScanOutcome out;
  const bool heuristic = (flags & kScanHeuristic) != 0;
  for (const Signature* s : engine.scan_whole(data, heuristic)) {
    out.status |= s->status;
    if (int32_t* c = counter_for(&out.stats, s->status)) ++*c;
    if (s->kind == FindingKind::kStatus) {
      char bits[16];
      std::snprintf(bits, sizeof bits, "%#x", s->status);
      out.report.push_back(path + ": " + s->name + " (status " + bits + ")\n");
      continue;
    }
    out.virus_lines.push_back(s->name + "," + s->type);
    out.report.push_back(path + " " + type_words(s->type) + " " + s->name + "\n");
  }
  if (flags & kScanRuleFilter) {
    if (const Signature* rule = engine.match_rule(header_block(data))) {
      out.status |= kStatusRuleReject;
      out.stats.rule_rejects++;
      out.rule = rule->name;
      out.report.push_back(path + " rejected by rule " + rule->name + "\n");
    }
  }
  if (out.report.empty()) out.report.push_back(path + " ok\n");
  return out;
}

}  // namespace zvscand
