// The line reader and field parsers of the list files: see zv_listfile.h. The guarded
// list itself is a template and lives in the header. Locks: none here.
#include "zv_listfile.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

namespace listfile {

namespace {

const char* skip_space(const char* text) {
  while (*text != '\0' && isspace(static_cast<unsigned char>(*text)) != 0) ++text;
  return text;
}

}  // namespace

Reader::Reader(const char* prefix, const char* path, std::size_t buffer_size)
    : prefix_(prefix), path_(path), buffer_(buffer_size, '\0') {}

int Reader::open() {
  file_.reset(fopen(path_.c_str(), "re"));
  if (!file_) {
    zv_log(ZV_LOG_ERRORS, "%s: cannot open file %s - %s", prefix_, path_.c_str(),
           stdlib_error(errno));
    return 0;
  }
  return 1;
}

std::string Reader::raw_line() const {
  std::string line(buffer_.c_str());
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return line;
}

const char* Reader::next() {
  if (!file_ || failed_) return nullptr;
  for (;;) {
    if (fgets(buffer_.data(), static_cast<int>(buffer_.size()), file_.get()) == nullptr) {
      if (ferror(file_.get()) != 0) {
        zv_log(ZV_LOG_ERRORS, "%s: cannot read file %s - %s", prefix_, path_.c_str(),
               stdlib_error(errno));
        failed_ = true;
      }
      return nullptr;
    }
    ++line_;
    const char* text = skip_space(buffer_.c_str());
    if (*text == '\0' || *text == '#') continue;
    if (first_) {
      first_ = false;
      if (*text == '[') {
        if (parse_version_header(text) == 0) {
          failed_ = true;
          return nullptr;
        }
        continue;
      }
    }
    return text;
  }
}

int Reader::parse_version_header(const char* text) {
  const char* token = text + 1;
  if (strncasecmp(token, "version", 7) != 0) {
    zv_log(ZV_LOG_ERRORS, "%s: parse version token - wrong line(%d) %s", prefix_, line_,
           raw_line().c_str());
    return 0;
  }
  const char* equals = strchr(token + 7, '=');
  const char* close = equals != nullptr ? strchr(equals + 1, ']') : nullptr;
  if (close == nullptr) {
    zv_log(ZV_LOG_ERRORS, "%s: parse version - wrong line(%d) %s", prefix_, line_,
           raw_line().c_str());
    return 0;
  }
  const std::string number(equals + 1, close);
  char* end = nullptr;
  errno = 0;
  const unsigned long version = strtoul(number.c_str(), &end, 10);
  if (*end != '\0' || version == ULONG_MAX) {
    zv_log(ZV_LOG_ERRORS, "%s: parse version number - wrong line(%d) %s", prefix_, line_,
           raw_line().c_str());
    return 0;
  }
  version_ = version;
  return 1;
}

int Reader::close() {
  if (!file_) return 1;
  if (zv::close_file(file_) != 0) {
    zv_log(ZV_LOG_ERRORS, "cannot close %s - %s", path_.c_str(), stdlib_error(errno));
    return 0;
  }
  return 1;
}

bool take_keyword(const char** text, const char* keyword) {
  const size_t length = strlen(keyword);
  if (strncasecmp(*text, keyword, length) != 0) return false;
  *text = skip_space(*text + length);
  return true;
}

std::string take_pattern(const char* text) {
  std::string pattern;
  bool quoted = false;
  for (; *text != '\0'; ++text) {
    const char c = *text;
    if (c == '"') {
      quoted = !quoted;
    } else if (quoted || isspace(static_cast<unsigned char>(c)) == 0) {
      pattern.push_back(c);
    }
  }
  return pattern;
}

namespace {

// The work that glibc's regcomp does grows with the square of the copies a bounded
// repetition makes of its piece (a{1,32767} takes it 20 s and then fails), and doubles
// with each repetition operator stacked on another (a+++++...). An administrator's
// pattern that asks for either could stall the start or a reload for minutes, so both
// are refused before compiling: stacked operators (which POSIX leaves undefined anyway)
// and patterns whose repeated pieces cost more than kMaxRepetitionCost, counted as the
// square of each repeated piece's expanded size (a{1,1024} is the most one piece may be).
constexpr double kMaxRepetitionCost = 1024.0 * 1024.0;

// One level of parentheses while a pattern is walked.
struct Group {
  double size = 0;            // atoms in the group so far, repeated pieces expanded
  double last = 0;            // expanded size of the last piece, already in `size`
  bool after_piece = false;   // the last token was an atom or a group (may be repeated)
  bool after_repeat = false;  // the last token was a repetition operator
};

// The upper bound of the interval at pattern[*at] == '{' ({m}, {m,}, {m,n} or {,n}); *at moves
// to its "}". 0 when it is no well-formed interval (regcomp then says what is wrong).
double interval_bound(const std::string& pattern, size_t* at) {
  size_t i = *at + 1;
  auto number = [&](double* out) {
    size_t start = i;
    double v = 0;
    while (i < pattern.size() && isdigit(static_cast<unsigned char>(pattern[i])) != 0)
      v = v * 10 + (pattern[i++] - '0');
    *out = v;
    return i > start;
  };
  double low = 0, high = 0;
  const bool has_low = number(&low);  // glibc reads {,n} as {0,n}
  high = low;
  if (i < pattern.size() && pattern[i] == ',') {
    ++i;
    if (!number(&high)) high = low + 1;  // {m,}: m copies and a closure
  } else if (!has_low) {
    return 0;
  }
  if (i >= pattern.size() || pattern[i] != '}') return 0;
  *at = i;
  return high > 1 ? high : 1;
}

// Moves *at from the "[" that opens a bracket expression to its closing "]"; false when
// there is none.
bool skip_bracket(const std::string& pattern, size_t* at) {
  size_t i = *at + 1;
  if (i < pattern.size() && pattern[i] == '^') ++i;
  if (i < pattern.size() && pattern[i] == ']') ++i;
  for (; i < pattern.size(); ++i) {
    if (pattern[i] == '[' && i + 1 < pattern.size() &&
        (pattern[i + 1] == ':' || pattern[i + 1] == '=' || pattern[i + 1] == '.')) {
      const char close[] = {pattern[i + 1], ']', '\0'};
      size_t end = pattern.find(close, i + 2);
      if (end == std::string::npos) return false;
      i = end + 1;
    } else if (pattern[i] == ']') {
      *at = i;
      return true;
    }
  }
  return false;
}

}  // namespace

const char* repetition_refusal(const std::string& pattern) {
  std::vector<Group> groups(1);
  double cost = 0;
  auto atom = [&](double size) {
    Group& g = groups.back();
    g.size += size;
    g.last = size;
    g.after_piece = true;
    g.after_repeat = false;
  };
  for (size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    Group& g = groups.back();
    double bound = 1;
    if (c == '{' && (bound = interval_bound(pattern, &i)) == 0) {
      atom(1);  // no interval: regcomp refuses it or takes the brace as it is
    } else if (c == '*' || c == '+' || c == '?' || c == '{') {
      if (g.after_repeat) return "repetition operators follow each other";
      if (g.after_piece && bound > 1) {
        const double expanded = g.last * bound;
        g.size += expanded - g.last;
        g.last = expanded;
        cost += expanded * expanded;
        if (cost > kMaxRepetitionCost) return "repetition too large to compile";
      }
      g.after_repeat = true;
      g.after_piece = false;
    } else if (c == '(') {
      groups.emplace_back();
    } else if (c == ')' && groups.size() > 1) {
      const double size = groups.back().size;
      groups.pop_back();
      atom(size);
    } else if (c == '|') {
      g.after_piece = g.after_repeat = false;
    } else if (c == '\\') {
      ++i;
      atom(1);
    } else if (c == '[') {
      if (!skip_bracket(pattern, &i)) return nullptr;
      atom(1);
    } else {
      atom(1);
    }
  }
  return nullptr;
}

RegexPtr compile(const std::string& pattern, bool ignore_case) {
  if (const char* why = repetition_refusal(pattern)) {
    zv_log(ZV_LOG_ERRORS, "cannot compile regular expression (%s) - %s", pattern.c_str(), why);
    return nullptr;
  }
  auto* re = new (std::nothrow) regex_t;
  if (re == nullptr) throw std::bad_alloc();
  const int flags = REG_EXTENDED | REG_NOSUB | (ignore_case ? REG_ICASE : 0);
  const int code = regcomp(re, pattern.c_str(), flags);
  if (code != 0) {
    char text[256];
    regerror(code, re, text, sizeof text);
    delete re;
    zv_log(ZV_LOG_ERRORS, "cannot compile regular expression (%s) - %s", pattern.c_str(), text);
    return nullptr;
  }
  return RegexPtr(re);
}

bool matches(const regex_t* re, const char* text) {
  return re != nullptr && regexec(re, text, 0, nullptr, 0) == 0;
}

void log_no_memory(const char* module, int line) {
  zv_log(ZV_LOG_ERRORS, "%s(%d) - cannot allocate memory", module, line);
}

}  // namespace listfile
