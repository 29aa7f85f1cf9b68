// Signature engine and signatures-file reader; see zvscand_engine.h.
#include "zvscand_engine.h"

#include <strings.h>

#include <cctype>
#include <fstream>
#include <new>

#include "zvc_lib.h"

namespace zvscand {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// PATTERN: hex digits, or a quoted text with escapes. `rest` starts at the pattern;
// *consumed is how much of it the pattern took.
bool parse_pattern(std::string_view rest, std::string* out, size_t* consumed, std::string* error) {
  out->clear();
  if (!rest.empty() && rest[0] == '"') {
    size_t i = 1;
    for (; i < rest.size() && rest[i] != '"'; ++i) {
      char c = rest[i];
      if (c != '\\') {
        out->push_back(c);
        continue;
      }
      if (++i >= rest.size()) break;
      switch (rest[i]) {
        case '\\':
          out->push_back('\\');
          break;
        case '"':
          out->push_back('"');
          break;
        case 'n':
          out->push_back('\n');
          break;
        case 'r':
          out->push_back('\r');
          break;
        case 't':
          out->push_back('\t');
          break;
        case 'x': {
          int hi = i + 1 < rest.size() ? hex_value(rest[i + 1]) : -1;
          int lo = i + 2 < rest.size() ? hex_value(rest[i + 2]) : -1;
          if (hi < 0 || lo < 0) {
            *error = "\\x needs two hex digits";
            return false;
          }
          out->push_back(static_cast<char>(hi * 16 + lo));
          i += 2;
          break;
        }
        default:
          *error = std::string("unknown escape \\") + rest[i];
          return false;
      }
    }
    if (i >= rest.size()) {
      *error = "unterminated quoted pattern";
      return false;
    }
    *consumed = i + 1;
  } else {
    size_t end = rest.find(':');
    if (end == std::string_view::npos) end = rest.size();
    std::string_view hex = rest.substr(0, end);
    if (hex.size() % 2 != 0) {
      *error = "odd number of hex digits in pattern";
      return false;
    }
    for (size_t i = 0; i < hex.size(); i += 2) {
      int hi = hex_value(hex[i]), lo = hex_value(hex[i + 1]);
      if (hi < 0 || lo < 0) {
        *error = "pattern is neither hex digits nor quoted text";
        return false;
      }
      out->push_back(static_cast<char>(hi * 16 + lo));
    }
    *consumed = end;
  }
  if (out->empty()) {
    *error = "empty pattern";
    return false;
  }
  return true;
}

}  // namespace

uint32_t type_status(char type) {
  switch (type) {
    case 'K':
      return kStatusKnownVirus;
    case 'S':
      return kStatusSuspicious;
    case 'M':
      return kStatusModification;
    case 'A':
      return kStatusAdware;
    case 'D':
      return kStatusDialer;
    case 'J':
      return kStatusJoke;
    case 'R':
      return kStatusRiskware;
    case 'H':
      return kStatusHacktool;
    default:
      return 0;
  }
}

bool parse_signature_line(std::string_view line, Signature* out, std::string* error) {
  *out = Signature{};
  out->name.clear();
  while (!line.empty() &&
         (line.back() == '\r' || std::isspace(static_cast<unsigned char>(line.back()))))
    line.remove_suffix(1);
  size_t first = 0;
  while (first < line.size() && std::isspace(static_cast<unsigned char>(line[first]))) ++first;
  line.remove_prefix(first);
  if (line.empty() || line[0] == '#') return true;

  size_t c1 = line.find(':');
  size_t c2 = c1 == std::string_view::npos ? c1 : line.find(':', c1 + 1);
  if (c2 == std::string_view::npos) {
    *error = "expected KIND:NAME:PATTERN[:incurable]";
    return false;
  }
  std::string_view kind = line.substr(0, c1);
  std::string_view name = line.substr(c1 + 1, c2 - c1 - 1);
  if (name.empty()) {
    *error = "empty name";
    return false;
  }
  out->name.assign(name);
  if (kind.size() == 1 && type_status(kind[0]) != 0) {
    out->kind = FindingKind::kVirus;
    out->type = kind[0];
    out->status = type_status(kind[0]);
  } else if (kind.size() == 4 && ::strncasecmp(kind.data(), "rule", 4) == 0) {
    out->kind = FindingKind::kRule;
    out->status = kStatusRuleReject;
  } else if (kind.size() > 7 && ::strncasecmp(kind.data(), "status=", 7) == 0) {
    std::string hex(kind.substr(7));
    char* end = nullptr;
    unsigned long bits = std::strtoul(hex.c_str(), &end, 16);
    if (hex.size() < 3 || ::strncasecmp(hex.c_str(), "0x", 2) != 0 || *end != '\0' || bits == 0 ||
        bits > 0xFFFFFFFFul) {
      *error = "status needs non-zero bits as status=0xHEX";
      return false;
    }
    out->kind = FindingKind::kStatus;
    out->status = static_cast<uint32_t>(bits);
  } else {
    *error = "unknown kind '" + std::string(kind) + "' (K S M A D J R H, rule or status=0xHEX)";
    return false;
  }
  size_t consumed = 0;
  std::string_view rest = line.substr(c2 + 1);
  if (!parse_pattern(rest, &out->pattern, &consumed, error)) return false;
  rest.remove_prefix(consumed);
  if (!rest.empty()) {
    if (rest == ":incurable") {
      out->incurable = true;
    } else {
      *error = "unexpected text after the pattern: " + std::string(rest);
      return false;
    }
  }
  return true;
}

std::string eicar_string() {
  // Kept in two halves so that this source file does not carry the test string whole.
  return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-") + "ANTIVIRUS-TEST-FILE!$H+H*";
}

std::vector<Signature> builtin_signatures() {
  Signature eicar;
  eicar.kind = FindingKind::kVirus;
  eicar.type = 'K';
  eicar.status = kStatusKnownVirus;
  eicar.name = "EICAR-Test-File";
  eicar.pattern = eicar_string();
  return {eicar};
}

SignatureEngine::SignatureEngine(std::vector<Signature> signatures)
    : signatures_(std::move(signatures)) {}

std::vector<const Signature*> SignatureEngine::scan(std::string_view object, bool heuristic) const {
  std::vector<const Signature*> found;
  for (const auto& s : signatures_) {
    if (s.kind == FindingKind::kRule) continue;
    if (s.kind == FindingKind::kVirus && s.type == 'S' && !heuristic) continue;
    if (object.find(s.pattern) != std::string_view::npos) found.push_back(&s);
  }
  return found;
}

const Signature* SignatureEngine::match_rule(std::string_view headers) const {
  for (const auto& s : signatures_)
    if (s.kind == FindingKind::kRule && headers.find(s.pattern) != std::string_view::npos)
      return &s;
  return nullptr;
}

std::shared_ptr<const Engine> load_engine(const std::string& path, std::string* error) {
  try {
    std::vector<Signature> all = builtin_signatures();
    if (!path.empty()) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        *error = path + ": cannot open";
        return nullptr;
      }
      std::string line;
      int number = 0;
      while (std::getline(in, line)) {
        ++number;
        Signature s;
        std::string why;
        if (!parse_signature_line(line, &s, &why)) {
          *error = path + ":" + std::to_string(number) + ": " + why;
          return nullptr;
        }
        if (!s.name.empty()) all.push_back(std::move(s));
      }
      if (in.bad()) {
        *error = path + ": read error";
        return nullptr;
      }
    }
    return std::make_shared<SignatureEngine>(std::move(all));
  } catch (const std::bad_alloc&) {
    *error = path + ": no memory";
    return nullptr;
  }
}

}  // namespace zvscand
