// Message scanning and treatment with GMime; see zvscand_mime.h.
#include "zvscand_mime.h"

#include <gmime/gmime.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <mutex>
#include <set>

#include "zvc_lib.h"

namespace zvscand {
namespace {

std::once_flag mime_once;

std::string hex(uint32_t v) {
  char b[16];
  snprintf(b, sizeof b, "%#x", v);
  return b;
}

struct GObjectUnref {
  void operator()(void* p) const {
    if (p != nullptr) g_object_unref(p);
  }
};
template <typename T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

enum class Action { kNone, kCure, kRemove };

// What the request asks to be done with one finding.
Action action_for(const Signature& s, uint32_t flags, uint32_t extended) {
  if (s.kind != FindingKind::kVirus) return Action::kNone;
  switch (s.type) {
    case 'K':
    case 'M':
      if ((flags & kScanCure) && !s.incurable) return Action::kCure;
      if ((flags & kScanRemoveInfected) || (s.incurable && (flags & kScanRemoveIncurable)))
        return Action::kRemove;
      return Action::kNone;
    case 'S':
      return (flags & kScanRemoveSuspicious) ? Action::kRemove : Action::kNone;
    case 'A':
      return (extended & kRemoveAdware) ? Action::kRemove : Action::kNone;
    case 'D':
      return (extended & kRemoveDialers) ? Action::kRemove : Action::kNone;
    case 'J':
      return (extended & kRemoveJokes) ? Action::kRemove : Action::kNone;
    case 'R':
      return (extended & kRemoveRiskware) ? Action::kRemove : Action::kNone;
    case 'H':
      return (extended & kRemoveHacktools) ? Action::kRemove : Action::kNone;
    default:
      return Action::kNone;
  }
}

}  // namespace

// How the report names a finding of each infection type.
const char* type_words(char type) {
  switch (type) {
    case 'K':
      return "infected with";
    case 'S':
      return "suspicious of";
    case 'M':
      return "infected with a modification of";
    case 'A':
      return "contains adware";
    case 'D':
      return "contains a dialer";
    case 'J':
      return "contains a joke program";
    case 'R':
      return "contains riskware";
    case 'H':
      return "contains a hacktool";
    default:
      return "contains";
  }
}

// The counter a set of status bits belongs to, in the order in which the client sorts
// statistics pairs.
int32_t* counter_for(ScanStatistics* st, uint32_t bits) {
  struct Row {
    uint32_t mask;
    int32_t ScanStatistics::*field;
  };
  static constexpr Row rows[] = {
      {kMaskKnown, &ScanStatistics::known},
      {kMaskModifications, &ScanStatistics::modifications},
      {kMaskSuspicious, &ScanStatistics::suspicious},
      {kMaskSkipped, &ScanStatistics::skipped},
      {kMaskArchive, &ScanStatistics::archive_restrictions},
      {kMaskRuleReject, &ScanStatistics::rule_rejects},
      {kMaskErrors, &ScanStatistics::errors},
      {kMaskCured, &ScanStatistics::cured},
      {kMaskDeleted, &ScanStatistics::deleted},
      {kStatusAdware, &ScanStatistics::adware},
      {kStatusDialer, &ScanStatistics::dialers},
      {kStatusJoke, &ScanStatistics::jokes},
      {kStatusRiskware, &ScanStatistics::riskware},
      {kStatusHacktool, &ScanStatistics::hacktools},
  };
  for (const auto& r : rows)
    if (bits & r.mask) return &(st->*r.field);
  return nullptr;
}

namespace {

// Printable ASCII only, so that names from the message cannot break report lines; a
// file name also loses its slashes, as it becomes the last step of an object's name.
std::string printable(const char* text, bool slash_ok) {
  std::string out;
  for (const char* p = text; p != nullptr && *p != '\0' && out.size() < 200; ++p)
    out.push_back(*p >= 0x20 && *p < 0x7f && (slash_ok || *p != '/') ? *p : '_');
  return out;
}

// One leaf part and where it hangs in the tree.
struct Leaf {
  GMimeObject* container = nullptr;  // GMimeMultipart or GMimeMessage holding the part
  int index = -1;                    // position in a multipart
  std::string object;                // its name in the report
  std::string description;           // filename or content type, for the notice
  std::string decoded;               // content with the transfer encoding undone
};

struct Walker {
  std::string path;
  std::vector<Leaf> leaves = {};
  bool too_deep = false;
  std::vector<std::string> boundaries = {};  // of every multipart met

  void walk(GMimeObject* obj, GMimeObject* container, int index, const std::string& number,
            int depth) {
    if (obj == nullptr) return;
    if (depth > kMaxMimeDepth) {
      too_deep = true;
      return;
    }
    if (GMIME_IS_MULTIPART(obj)) {
      GMimeMultipart* mp = GMIME_MULTIPART(obj);
      if (const char* b = g_mime_multipart_get_boundary(mp); b != nullptr && *b != '\0')
        boundaries.emplace_back(b);
      int n = g_mime_multipart_get_count(mp);
      for (int i = 0; i < n; ++i) {
        std::string sub = (number.empty() ? "" : number + ".") + std::to_string(i + 1);
        walk(g_mime_multipart_get_part(mp, i), obj, i, sub, depth + 1);
      }
    } else if (GMIME_IS_MESSAGE_PART(obj)) {
      GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
      if (inner != nullptr)
        walk(g_mime_message_get_mime_part(inner), GMIME_OBJECT(inner), -1,
             number.empty() ? "1" : number, depth + 1);
    } else if (GMIME_IS_PART(obj)) {
      Leaf leaf;
      leaf.container = container;
      leaf.index = index;
      const char* filename = g_mime_part_get_filename(GMIME_PART(obj));
      std::string fname = filename != nullptr ? printable(filename, false) : "";
      leaf.object = number.empty() ? path : path + "/" + (fname.empty() ? "part" + number : fname);
      if (!fname.empty()) {
        leaf.description = "\"" + fname + "\"";
      } else {
        GMimeContentType* ct = g_mime_object_get_content_type(obj);
        char* mt = ct != nullptr ? g_mime_content_type_get_mime_type(ct) : nullptr;
        leaf.description = mt != nullptr ? printable(mt, true) : "part " + number;
        g_free(mt);
      }
      GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(obj));
      if (content != nullptr) {
        GPtr<GMimeStream> mem(g_mime_stream_mem_new());
        g_mime_data_wrapper_write_to_stream(content, mem.get());
        GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
        if (bytes != nullptr && bytes->len > 0)
          leaf.decoded.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
      }
      leaves.push_back(std::move(leaf));
    }
  }
};

// The longest of `boundaries` that `text` starts with after "--", or null.
const std::string* delimiter_at(std::string_view text, const std::vector<std::string>& boundaries) {
  const std::string* best = nullptr;
  if (text.substr(0, 2) != "--") return nullptr;
  for (const std::string& b : boundaries)
    if (text.substr(2, b.size()) == b && (best == nullptr || b.size() > best->size())) best = &b;
  return best;
}

// A close delimiter that runs into the next delimiter on the same line ("--inner----outer")
// is no delimiter line to the parser, which keeps the whole line, and every part after it,
// inside the part before it, undecoded; a mail reader that matches delimiters by their
// start shows those parts. Such lines are split in two, so that every part after them is
// parsed (and scanned) as a part. `changed` tells whether a line was split.
std::string split_run_on_delimiters(std::string_view data,
                                    const std::vector<std::string>& boundaries, const char* eol,
                                    bool* changed) {
  std::string out;
  out.reserve(data.size());
  *changed = false;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\n', start);
    end = end == std::string_view::npos ? data.size() : end + 1;
    std::string_view line = data.substr(start, end - start);
    for (;;) {
      const std::string* b = delimiter_at(line, boundaries);
      if (b == nullptr || line.substr(2 + b->size(), 2) != "--") break;
      std::string_view rest = line.substr(4 + b->size());
      if (delimiter_at(rest, boundaries) == nullptr) break;
      out.append(line.substr(0, 4 + b->size())).append(eol);
      line = rest;
      *changed = true;
    }
    out.append(line);
    start = end;
  }
  return out;
}

// `data` with every bare LF made CR LF. The parser takes the line end of a message as
// fixed: in a CR LF message it drops two bytes before each delimiter, which from a part
// whose lines end in a bare LF cuts the last base64 character away and the decoded
// attachment short. A mail reader, and sendmail on delivery, takes either line end.
std::string with_crlf_line_ends(std::string_view data) {
  std::string out;
  out.reserve(data.size() + data.size() / 32);
  for (size_t i = 0; i < data.size(); ++i) {
    if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) out.push_back('\r');
    out.push_back(data[i]);
  }
  return out;
}

// Whether `data` holds a LF without a CR before it.
bool has_bare_lf(std::string_view data) {
  for (size_t at = data.find('\n'); at != std::string_view::npos; at = data.find('\n', at + 1))
    if (at == 0 || data[at - 1] != '\r') return true;
  return false;
}

// The header block: everything before the first empty line.
std::string_view header_block(std::string_view data) {
  size_t crlf = data.find("\r\n\r\n");
  size_t lf = data.find("\n\n");
  size_t end = std::min(crlf == std::string_view::npos ? data.size() : crlf + 2,
                        lf == std::string_view::npos ? data.size() : lf + 1);
  return data.substr(0, end);
}

// Replaces one leaf by a text/plain notice. False when the tree refused.
bool replace_leaf(const Leaf& leaf, const std::string& notice) {
  GPtr<GMimeTextPart> text(g_mime_text_part_new_with_subtype("plain"));
  g_mime_text_part_set_text(text.get(), notice.c_str());
  g_mime_part_set_content_encoding(GMIME_PART(text.get()), GMIME_CONTENT_ENCODING_7BIT);
  if (GMIME_IS_MULTIPART(leaf.container)) {
    GMimeObject* old = g_mime_multipart_replace(GMIME_MULTIPART(leaf.container), leaf.index,
                                                GMIME_OBJECT(text.get()));
    if (old == nullptr) return false;
    g_object_unref(old);
    return true;
  }
  if (GMIME_IS_MESSAGE(leaf.container)) {
    g_mime_message_set_mime_part(GMIME_MESSAGE(leaf.container), GMIME_OBJECT(text.get()));
    return true;
  }
  return false;
}

// One scan of one file: the request's options, what has been found so far and the
// outcome being built. Each step below adds to it.
class MessageScan {
 public:
  MessageScan(const Engine& engine, const std::string& path, std::string_view data, uint32_t flags,
              uint32_t extended)
      : engine_(engine),
        path_(path),
        data_(data),
        flags_(flags),
        extended_(extended),
        heuristic_((flags & kScanHeuristic) != 0),
        crlf_(data.find("\r\n") != std::string_view::npos) {}

  ScanOutcome run() {
    std::vector<Leaf> leaves = parse();
    for (const Leaf& leaf : leaves) scan_leaf(leaf);
    scan_raw();
    if (flags_ & kScanRuleFilter) match_rules();
    if (replaced_any_ && message_ != nullptr) rewrite();
    if (out_.report.empty()) out_.report.push_back(path_ + " ok\n");
    return std::move(out_);
  }

 private:
  // Parses the message and collects its leaf parts; a file GMime cannot read as a
  // message has none and is scanned raw only. A message that mixes CR LF and bare LF line
  // ends is parsed with CR LF throughout; one with run-on delimiters is parsed a second
  // time with those lines split.
  std::vector<Leaf> parse() {
    std::string_view text = data_;
    if (crlf_ && has_bare_lf(data_)) {
      uniform_ = with_crlf_line_ends(data_);
      text = uniform_;
    }
    Walker walker = parse_text(text);
    if (!walker.boundaries.empty()) {
      bool changed = false;
      split_ = split_run_on_delimiters(text, walker.boundaries, crlf_ ? "\r\n" : "\n", &changed);
      if (changed) walker = parse_text(split_);
    }
    if (walker.too_deep) {
      out_.status |= kStatusNesting;
      out_.stats.archive_restrictions++;
      out_.report.push_back(path_ + " nesting of parts too deep, inner parts not scanned\n");
    }
    return std::move(walker.leaves);
  }

  // Parses `text` as the message (replacing an earlier parse) and walks its parts.
  Walker parse_text(std::string_view text) {
    message_.reset();
    parser_.reset();
    stream_.reset(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    parser_.reset(g_mime_parser_new_with_stream(stream_.get()));
    message_.reset(g_mime_parser_construct_message(parser_.get(), nullptr));
    Walker walker{path_};
    if (message_ != nullptr)
      walker.walk(g_mime_message_get_mime_part(message_.get()), GMIME_OBJECT(message_.get()), -1,
                  "", 0);
    return walker;
  }

  // Counts a finding in the status word and its statistics counter.
  void count(const Signature& s) {
    out_.status |= s.status;
    if (int32_t* c = counter_for(&out_.stats, s.status)) ++*c;
  }

  void add_virus_line(const Signature& s) {
    std::string line = s.name + "," + s.type;
    if (lines_seen_.insert(line).second) out_.virus_lines.push_back(line);
  }

  // Scans one decoded part; replaces it by a notice when every virus finding in it is to
  // be cured or removed, and reports each finding.
  void scan_leaf(const Leaf& leaf) {
    std::vector<const Signature*> found = engine_.scan(leaf.decoded, heuristic_);
    if (found.empty()) return;
    bool any_action = false, all_treated = true;
    std::string names;
    for (const Signature* s : found) {
      found_in_parts_.insert(s);
      if (s->kind != FindingKind::kVirus) continue;
      names += (names.empty() ? "" : ", ") + s->name;
      if (action_for(*s, flags_, extended_) == Action::kNone)
        all_treated = false;
      else
        any_action = true;
    }
    bool treat = any_action && all_treated && replace(leaf, names);
    if (!treat) left_in_parts_.insert(found.begin(), found.end());
    for (const Signature* s : found) report_in_leaf(leaf, *s, treat);
  }

  // Puts the notice in place of a treated part. False (reported) when the tree refused.
  bool replace(const Leaf& leaf, const std::string& names) {
    std::string notice = "The part " + leaf.description +
                         " of this message was removed by the virus scanner: it contained " +
                         names + "." + (crlf_ ? "\r\n" : "\n");
    if (replace_leaf(leaf, notice)) {
      replaced_any_ = true;
      return true;
    }
    out_.status |= kStatusWriteError;
    out_.stats.errors++;
    out_.report.push_back(leaf.object + " cannot be replaced\n");
    return false;
  }

  // The report line and counters of one finding in a part; `treated` when the part was
  // replaced.
  void report_in_leaf(const Leaf& leaf, const Signature& s, bool treated) {
    count(s);
    if (s.kind == FindingKind::kStatus) {
      out_.report.push_back(leaf.object + ": " + s.name + " (status " + hex(s.status) + ")\n");
      return;
    }
    add_virus_line(s);
    Action a = action_for(s, flags_, extended_);
    const char* done = "";
    if (treated && a == Action::kCure) {
      out_.status |= kStatusCured;
      ++out_.stats.cured;
      done = " - cured";
    } else if (treated && a == Action::kRemove) {
      out_.status |= kStatusDeleted;
      ++out_.stats.deleted;
      if (s.type == 'K' || s.type == 'M') ++out_.stats.cured;
      done = " - removed";
    }
    out_.report.push_back(leaf.object + " " + type_words(s.type) + " " + s.name + done + "\n");
  }

  // Whatever the raw bytes hold that no part explains (headers, broken structure, a
  // file that is not a message) is reported on the file itself and cannot be treated.
  void scan_raw() {
    for (const Signature* s : engine_.scan(data_, heuristic_)) {
      if (found_in_parts_.count(s) != 0) continue;
      count(*s);
      if (s->kind == FindingKind::kStatus) {
        out_.report.push_back(path_ + ": " + s->name + " (status " + hex(s->status) + ")\n");
      } else {
        add_virus_line(*s);
        out_.report.push_back(path_ + " " + type_words(s->type) + " " + s->name + "\n");
      }
    }
  }

  void match_rules() {
    if (const Signature* rule = engine_.match_rule(header_block(data_))) {
      out_.status |= kStatusRuleReject;
      out_.stats.rule_rejects++;
      out_.rule = rule->name;
      out_.report.push_back(path_ + " rejected by rule " + rule->name + "\n");
    }
  }

  // Writes the treated message out with the line ends it came with, then checks what is
  // left of the treated signatures.
  void rewrite() {
    GMimeFormatOptions* fo = g_mime_format_options_new();
    g_mime_format_options_set_newline_format(
        fo, crlf_ ? GMIME_NEWLINE_FORMAT_DOS : GMIME_NEWLINE_FORMAT_UNIX);
    GPtr<GMimeStream> mem(g_mime_stream_mem_new());
    g_mime_object_write_to_stream(GMIME_OBJECT(message_.get()), fo, mem.get());
    g_mime_format_options_free(fo);
    GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(mem.get()));
    out_.content.assign(reinterpret_cast<const char*>(bytes->data), bytes->len);
    out_.modified = true;
    report_left_outside();
  }

  // A signature that the treated parts held but that the rewritten message still shows
  // outside the parts left alone (say, also in a header) was not removed: it counts as a
  // further finding that nothing treated.
  void report_left_outside() {
    for (const Signature* s : engine_.scan(out_.content, heuristic_)) {
      if (found_in_parts_.count(s) == 0 || left_in_parts_.count(s) != 0) continue;
      count(*s);
      out_.report.push_back(path_ +
                            (s->kind == FindingKind::kStatus
                                 ? ": " + s->name + " (status " + hex(s->status) + ")"
                                 : " " + std::string(type_words(s->type)) + " " + s->name) +
                            " - left outside the treated parts\n");
    }
  }

  const Engine& engine_;
  const std::string& path_;
  std::string_view data_;
  const uint32_t flags_;
  const uint32_t extended_;
  const bool heuristic_;
  const bool crlf_;
  std::string uniform_;  // the message with CR LF line ends only, when it mixed them
  std::string split_;    // the message with its run-on delimiters split, when it had any
  GPtr<GMimeStream> stream_;
  GPtr<GMimeParser> parser_;
  GPtr<GMimeMessage> message_;
  ScanOutcome out_;
  std::set<std::string> lines_seen_;
  std::set<const Signature*> found_in_parts_;  // in any part
  std::set<const Signature*> left_in_parts_;   // in a part that stays as it was
  bool replaced_any_ = false;
};

}  // namespace

void mime_init() {
  std::call_once(mime_once, [] { g_mime_init(); });
}

ScanOutcome scan_content(const Engine& engine, const std::string& path, std::string_view data,
                         uint32_t flags, uint32_t extended) {
  mime_init();
  return MessageScan(engine, path, data, flags, extended).run();
}

}  // namespace zvscand
