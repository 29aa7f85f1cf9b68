// The deny list: see zv_users.h. What is its own here is the entry, the parser of its two
// file versions and the match; zv_listfile.h loads, reloads, prints and frees it. Locks:
// the list's own mutex around every query, print, reload and free.
#include "zv_users.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "zv_listfile.h"
#include "zv_log.h"

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

bool knows_version(unsigned long version) {
  return version == 1 || version == 2;
}

// Parses one entry line of a file of the reader's version into *entry; 0 (logged) when it
// is wrong.
int parse_line(const listfile::Reader& reader, const char* text, DenyEntry* entry) {
  const int line = reader.line_number();
  if (listfile::take_keyword(&text, "allow")) {
    entry->verdict = 1;
  } else if (listfile::take_keyword(&text, "deny")) {
    entry->verdict = 0;
  } else {
    zv_log(ZV_LOG_ERRORS, "users: wrong line(%d)", line);
    return 0;
  }
  if (reader.version() == 2) {
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

std::string describe(const DenyEntry& entry) {
  return std::string(entry.verdict != 0 ? "allow" : "deny") + " " + role_word(entry.role) + " " +
         comparison_word(entry.comparison) + " " + entry.pattern;
}

constexpr listfile::Format<DenyEntry> kFormat{
    .prefix = "users",
    .module = "zv_users",
    .mutex_name = USERS_MUTEX_NAME,
    .load_failed = "users: error load users list from filename",
    .line_buffer = 4096,
    .knows_version = knows_version,
    .parse = parse_line,
    .print_heading = "users: --- print DenyList: <on/off> <where> <cmp> <user> ---",
    .print_noun = "user",
    .describe = describe,
};

}  // namespace

struct DenyList : listfile::GuardedList<DenyEntry> {
  using GuardedList::GuardedList;
};

DenyList* users_load(const char* path, int with_mutex) {
  return listfile::load_list<DenyList>(kFormat, path, with_mutex);
}

int users_reload(DenyList* list, const char* path) {
  return list == nullptr ? 1 : list->reload(path);
}

void users_print(DenyList* list, int verbosity) {
  if (list != nullptr) list->print(verbosity);
}

void users_free(DenyList* list) {
  listfile::free_list(list);
}

int users_match(DenyList* list, const char* address, int role, int deny_by_default) {
  const int fallback = deny_by_default != 0 ? 0 : 1;
  if (list == nullptr || address == nullptr) return fallback;
  return list->with_lock(fallback, [&](const DenyEntries& entries) {
    for (const DenyEntry& entry : entries) {
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
          if (fits)
            zv_log(ZV_LOG_VERBOSE, "users: address %s is substring for %s", address, pattern);
          break;
      }
      if (fits) return entry.verdict;
    }
    return fallback;
  });
}
