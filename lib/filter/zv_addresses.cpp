// The non-notified addresses list: see zv_addresses.h. What is its own here is the entry,
// the parser of its file and the query; zv_listfile.h loads, reloads, prints and frees it.
// Locks: the list's own mutex around every query, print, reload and free.
#include "zv_addresses.h"

#include <string>
#include <utility>
#include <vector>

#include "zv_listfile.h"
#include "zv_log.h"

namespace {

struct AddressEntry {
  std::string pattern;  // without the "!" of an inverse entry
  int role = MADDR_ROLE_ANY;
  bool inverse = false;  // hits the addresses the expression does not match
  listfile::RegexPtr re;
};

using AddressEntries = std::vector<AddressEntry>;

const char* role_word(int role) {
  switch (role) {
    case MADDR_ROLE_FROM:
      return "from";
    case MADDR_ROLE_TO:
      return "to";
    default:
      return "any";
  }
}

bool knows_version(unsigned long version) {
  return version == 1;
}

// Parses one entry line into *entry; 0 (logged) when it is wrong.
int parse_line(const listfile::Reader& reader, const char* text, AddressEntry* entry) {
  const int line = reader.line_number();
  static constexpr std::pair<const char*, int> kRoles[] = {
      {"from", MADDR_ROLE_FROM}, {"to", MADDR_ROLE_TO}, {"any", MADDR_ROLE_ANY}};
  entry->role = 0;
  for (const auto& [word, role] : kRoles) {
    if (listfile::take_keyword(&text, word)) {
      entry->role = role;
      break;
    }
  }
  if (entry->role == 0) {
    zv_log(ZV_LOG_ERRORS, "maddr: wrong line(%d)", line);
    return 0;
  }
  entry->pattern = listfile::take_pattern(text);
  if (!entry->pattern.empty() && entry->pattern[0] == '!') {
    entry->inverse = true;
    entry->pattern.erase(0, 1);
  }
  if (entry->pattern.empty()) {
    zv_log(ZV_LOG_ERRORS, "maddr: wrong line(%d)", line);
    return 0;
  }
  entry->re = listfile::compile(entry->pattern, true);
  return entry->re ? 1 : 0;
}

std::string describe(const AddressEntry& entry) {
  return std::string(entry.inverse ? "not " : "") + entry.pattern + " " + role_word(entry.role);
}

constexpr listfile::Format<AddressEntry> kFormat{
    .prefix = "maddr",
    .module = "zv_addresses",
    .mutex_name = MADDR_MUTEX_NAME,
    .load_failed = "maddr: error load addresses list from filename",
    .line_buffer = 4096,
    .knows_version = knows_version,
    .parse = parse_line,
    .print_heading = "maddr: --- print UnNotificableAddressesList: <matching> <role> ---",
    .print_noun = "maddr",
    .describe = describe,
};

}  // namespace

struct UnNotificableAddressesList : listfile::GuardedList<AddressEntry> {
  using GuardedList::GuardedList;
};

UnNotificableAddressesList* maddr_load(const char* path, int with_mutex) {
  return listfile::load_list<UnNotificableAddressesList>(kFormat, path, with_mutex);
}

int maddr_reload(UnNotificableAddressesList* list, const char* path) {
  return list == nullptr ? 1 : list->reload(path);
}

void maddr_print(UnNotificableAddressesList* list, int verbosity) {
  if (list != nullptr) list->print(verbosity);
}

void maddr_free(UnNotificableAddressesList* list) {
  listfile::free_list(list);
}

int maddr_may_notify(UnNotificableAddressesList* list, const char* address, int role) {
  if (list == nullptr || address == nullptr) return 1;
  return list->with_lock(1, [&](const AddressEntries& entries) {
    for (const AddressEntry& entry : entries) {
      const bool matched = listfile::matches(entry.re.get(), address);
      if (matched == entry.inverse) continue;
      if (entry.inverse)
        zv_log(ZV_LOG_VERBOSE, "maddr: address %s is matched to inverse RE %s", address,
               entry.pattern.c_str());
      else
        zv_log(ZV_LOG_VERBOSE, "maddr: address %s is matched to RE %s", address,
               entry.pattern.c_str());
      return (entry.role & role) == role ? 0 : 1;
    }
    return 1;
  });
}
