// The line reader and field parsers of the list files: see zv_listfile.h. The guarded
// list itself is a template and lives in the header. Locks: none here.
#include "zv_listfile.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

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

RegexPtr compile(const std::string& pattern, bool ignore_case) {
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
