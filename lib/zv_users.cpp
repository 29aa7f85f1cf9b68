// The deny list and the line reader shared by the three list files: see zv_users.h.
// Locks: the list's own mutex around every query, print, reload and free.
#include "lib/zv_users.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include "lib/zv_log.h"
#include "lib/zv_mutex.h"

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
  if (fclose(file_.release()) != 0) {
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

namespace {

struct DenyEntry {
  std::string pattern;
  int verdict = 1;  // 1 allow (check the mail), 0 deny
  int role = USERS_ROLE_ANY;
  int comparison = USERS_CMP_SUBST;
  listfile::RegexPtr re;  // for USERS_CMP_CREGEX and USERS_CMP_REGEX
};

using DenyEntries = std::vector<DenyEntry>;

const char* role_word(int role) {
  switch (role) {
    case USERS_ROLE_FROM:
      return "from";
    case USERS_ROLE_TO:
      return "to";
    default:
      return "any";
  }
}

const char* comparison_word(int comparison) {
  switch (comparison) {
    case USERS_CMP_CREGEX:
      return "cregex";
    case USERS_CMP_REGEX:
      return "regex";
    case USERS_CMP_EXACT:
      return "exact";
    default:
      return "subst";
  }
}

// Parses one entry line of a file of `version` into *entry; 0 (logged) when it is wrong.
int parse_line(const char* text, unsigned long version, int line, DenyEntry* entry) {
  if (listfile::take_keyword(&text, "allow")) {
    entry->verdict = 1;
  } else if (listfile::take_keyword(&text, "deny")) {
    entry->verdict = 0;
  } else {
    zv_log(ZV_LOG_ERRORS, "users: wrong line(%d)", line);
    return 0;
  }
  if (version == 2) {
    static constexpr std::pair<const char*, int> kRoles[] = {
        {"from", USERS_ROLE_FROM}, {"to", USERS_ROLE_TO}, {"any", USERS_ROLE_ANY}};
    static constexpr std::pair<const char*, int> kComparisons[] = {{"exact", USERS_CMP_EXACT},
                                                                   {"subst", USERS_CMP_SUBST},
                                                                   {"regex", USERS_CMP_REGEX},
                                                                   {"cregex", USERS_CMP_CREGEX}};
    entry->role = 0;
    for (const auto& [word, role] : kRoles) {
      if (listfile::take_keyword(&text, word)) {
        entry->role = role;
        break;
      }
    }
    entry->comparison = -1;
    for (const auto& [word, comparison] : kComparisons) {
      if (entry->role != 0 && listfile::take_keyword(&text, word)) {
        entry->comparison = comparison;
        break;
      }
    }
    if (entry->role == 0 || entry->comparison < 0) {
      zv_log(ZV_LOG_ERRORS, "users: wrong line(%d)", line);
      return 0;
    }
  }
  entry->pattern = listfile::take_pattern(text);
  if (entry->pattern.empty()) {
    zv_log(ZV_LOG_ERRORS, "users: wrong line(%d)", line);
    return 0;
  }
  if (entry->comparison == USERS_CMP_CREGEX || entry->comparison == USERS_CMP_REGEX) {
    entry->re = listfile::compile(entry->pattern, entry->comparison == USERS_CMP_REGEX);
    if (!entry->re) return 0;
  }
  return 1;
}

// Reads the file at `path` into *entries (left untouched on failure). 1, or 0 (logged).
int read_entries(const char* path, DenyEntries* entries) {
  try {
    listfile::Reader reader("users", path, 4096);
    if (reader.open() == 0) return 0;
    DenyEntries fresh;
    while (const char* text = reader.next()) {
      if (reader.version() != 1 && reader.version() != 2) {
        zv_log(ZV_LOG_ERRORS, "users: wrong %lu version of file", reader.version());
        return 0;
      }
      DenyEntry entry;
      if (parse_line(text, reader.version(), reader.line_number(), &entry) == 0) return 0;
      fresh.push_back(std::move(entry));
    }
    if (reader.failed() || reader.close() == 0) return 0;
    entries->swap(fresh);
    return 1;
  } catch (const std::bad_alloc&) {
    listfile::log_no_memory("zv_users", __LINE__);
    return 0;
  }
}

}  // namespace

struct DenyList {
  NamedMutexPtr mutex;  // none for a list made without one
  DenyEntries entries;  // guarded by mutex
};

DenyList* users_load(const char* path, int with_mutex) {
  if (path == nullptr) return nullptr;
  auto* list = new (std::nothrow) DenyList;
  if (list == nullptr) {
    zv_log(ZV_LOG_ERRORS, "users: no memory");
    return nullptr;
  }
  if (with_mutex != 0) {
    list->mutex.reset(zv_mutex_create(USERS_MUTEX_NAME));
    if (!list->mutex) {
      delete list;
      return nullptr;
    }
  }
  if (read_entries(path, &list->entries) == 0) {
    zv_log(ZV_LOG_ERRORS, "users: error load users list from filename %s", path);
    delete list;
    return nullptr;
  }
  return list;
}

int users_reload(DenyList* list, const char* path) {
  if (list == nullptr || path == nullptr) return 1;
  // The file is read before the lock is taken, so queries go on meanwhile against the
  // old entries; the swap under the lock is what they see change.
  DenyEntries fresh;
  const int loaded = read_entries(path, &fresh);
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 0;
  list->entries.swap(fresh);  // on failure fresh is empty: the list is emptied
  (void)lock.unlock();
  return loaded;  // the old entries are freed here, outside the lock
}

void users_print(DenyList* list, int verbosity) {
  if (list == nullptr || verbosity <= ZV_LOG_INFO) return;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return;
  zv_log(ZV_LOG_VERBOSE, "users: --- print DenyList: <on/off> <where> <cmp> <user> ---");
  for (const DenyEntry& entry : list->entries) {
    try {
      const std::string text = std::string(entry.verdict != 0 ? "allow" : "deny") + " " +
                               role_word(entry.role) + " " + comparison_word(entry.comparison) +
                               " " + entry.pattern;
      zv_log(ZV_LOG_VERBOSE, "users: %s", text.c_str());
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "users: print user %s skipped - no memory", entry.pattern.c_str());
    }
  }
}

void users_free(DenyList* list) {
  if (list == nullptr) return;
  DenyEntries old;
  {
    NamedMutexLock lock(list->mutex.get());
    list->entries.swap(old);
  }
  delete list;
}

int users_match(DenyList* list, const char* address, int role, int deny_by_default) {
  const int fallback = deny_by_default != 0 ? 0 : 1;
  if (list == nullptr || address == nullptr) return fallback;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return fallback;
  for (const DenyEntry& entry : list->entries) {
    if ((entry.role & role) == 0) continue;
    const char* pattern = entry.pattern.c_str();
    bool fits = false;
    switch (entry.comparison) {
      case USERS_CMP_CREGEX:
      case USERS_CMP_REGEX:
        fits = listfile::matches(entry.re.get(), address);
        if (fits)
          zv_log(ZV_LOG_VERBOSE, "users: address %s is appropriated for RE %s", address, pattern);
        break;
      case USERS_CMP_EXACT:
        fits = entry.pattern == address;
        if (fits) zv_log(ZV_LOG_VERBOSE, "users: address %s equal to %s", address, pattern);
        break;
      default:
        fits = strstr(address, pattern) != nullptr;
        if (fits) zv_log(ZV_LOG_VERBOSE, "users: address %s is substring for %s", address, pattern);
        break;
    }
    if (fits) return entry.verdict;
  }
  return fallback;
}
