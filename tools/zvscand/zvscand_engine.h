// Detection engines of the stand-in scanning daemon.
//
// An engine answers two questions about bytes it is given: which findings one object
// (a whole file or one decoded MIME part) holds, and which header rule, if any, the
// header block of a message matches. The MIME layer (zvscand_mime) decides what the
// objects are and what to do with the findings, so further engines can be added behind
// the same interface.
//
// The built-in engine matches byte signatures: the standard 68-byte EICAR test string,
// reported as the known virus "EICAR-Test-File", plus the entries of a signatures file.
// Signatures file: one entry per line, '#' starts a comment line, blank lines are
// ignored, fields are separated by ':' as KIND:NAME:PATTERN[:incurable]. KIND is one of
// the infection-type letters K S M A D J R H, or "rule" (PATTERN is matched against the
// header block when rule filtering is asked for; NAME is the rule's name), or
// "status=0xHEX" (those status bits are set when PATTERN is found; NAME goes into the
// report). PATTERN is hex digits ("58354f21") or text between double quotes, where \\,
// \", \n, \r, \t and \xHH stand for one byte each.
//
// An engine is immutable once built and shared by every session (std::shared_ptr); a
// reload builds a new one. No locks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zvscand {

// What one signature reports.
enum class FindingKind {
  kVirus,   // a malware finding with an infection-type letter
  kStatus,  // other status bits (skipped object, archive restriction, scanning errors, ...)
  kRule,    // header rule
};

struct Signature {
  FindingKind kind = FindingKind::kVirus;
  char type = 'K';         // infection type letter, for kVirus
  uint32_t status = 0;     // status bits it sets (for kVirus the type's bit)
  std::string name;        // virus, rule or finding name
  std::string pattern;     // the bytes to look for
  bool incurable = false;  // never cured (may still be removed)
};

// The status bit of an infection type letter, or 0 for an unknown letter.
uint32_t type_status(char type);

// Parses one signatures-file line (without its line end). Comment and blank lines give
// true with *out left empty (name ""). False with a reason in *error.
[[nodiscard]] bool parse_signature_line(std::string_view line, Signature* out, std::string* error);

// The built-in signatures (EICAR).
std::vector<Signature> builtin_signatures();
// The standard EICAR test string.
std::string eicar_string();

// Interface of a detection engine.
class Engine {
 public:
  virtual ~Engine() = default;
  // The findings (kVirus and kStatus signatures) that `object` contains, each at most
  // once, in the engine's order. Suspicious (type S) findings only with `heuristic`.
  virtual std::vector<const Signature*> scan(std::string_view object, bool heuristic) const = 0;
  // The first header rule that the header block matches, or null.
  virtual const Signature* match_rule(std::string_view headers) const = 0;
};

class SignatureEngine : public Engine {
 public:
  explicit SignatureEngine(std::vector<Signature> signatures);
  std::vector<const Signature*> scan(std::string_view object, bool heuristic) const override;
  const Signature* match_rule(std::string_view headers) const override;
  size_t size() const { return signatures_.size(); }

 private:
  std::vector<Signature> signatures_;
};

// Builds the signature engine from the built-in signatures and, when `path` is not
// empty, the signatures file. Null on a bad file, with "FILE:LINE: reason" in *error.
std::shared_ptr<const Engine> load_engine(const std::string& path, std::string* error);

}  // namespace zvscand
