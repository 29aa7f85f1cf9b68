// The non-notified addresses list: see zv_addresses.h. The file is read with the line
// reader of zv_users.h. Locks: the list's own mutex around every query, print, reload and
// free.
#include "lib/zv_addresses.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "lib/zv_log.h"
#include "lib/zv_mutex.h"
#include "lib/zv_users.h"

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

// Parses one entry line into *entry; 0 (logged) when it is wrong.
int parse_line(const char* text, int line, AddressEntry* entry) {
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

// Reads the file at `path` into *entries (left untouched on failure). 1, or 0 (logged).
int read_entries(const char* path, AddressEntries* entries) {
  try {
    listfile::Reader reader("maddr", path, 4096);
    if (reader.open() == 0) return 0;
    AddressEntries fresh;
    while (const char* text = reader.next()) {
      if (reader.version() != 1) {
        zv_log(ZV_LOG_ERRORS, "maddr: wrong %lu version of file", reader.version());
        return 0;
      }
      AddressEntry entry;
      if (parse_line(text, reader.line_number(), &entry) == 0) return 0;
      fresh.push_back(std::move(entry));
    }
    if (reader.failed() || reader.close() == 0) return 0;
    entries->swap(fresh);
    return 1;
  } catch (const std::bad_alloc&) {
    listfile::log_no_memory("zv_addresses", __LINE__);
    return 0;
  }
}

}  // namespace

struct UnNotificableAddressesList {
  NamedMutexPtr mutex;     // none for a list made without one
  AddressEntries entries;  // guarded by mutex
};

UnNotificableAddressesList* maddr_load(const char* path, int with_mutex) {
  if (path == nullptr) return nullptr;
  auto* list = new (std::nothrow) UnNotificableAddressesList;
  if (list == nullptr) {
    zv_log(ZV_LOG_ERRORS, "maddr: no memory");
    return nullptr;
  }
  if (with_mutex != 0) {
    list->mutex.reset(zv_mutex_create(MADDR_MUTEX_NAME));
    if (!list->mutex) {
      delete list;
      return nullptr;
    }
  }
  if (read_entries(path, &list->entries) == 0) {
    zv_log(ZV_LOG_ERRORS, "maddr: error load addresses list from filename %s", path);
    delete list;
    return nullptr;
  }
  return list;
}

int maddr_reload(UnNotificableAddressesList* list, const char* path) {
  if (list == nullptr || path == nullptr) return 1;
  // Read first, then swap under the lock: queries meanwhile see the old entries.
  AddressEntries fresh;
  const int loaded = read_entries(path, &fresh);
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 0;
  list->entries.swap(fresh);  // on failure fresh is empty: the list is emptied
  (void)lock.unlock();
  return loaded;
}

void maddr_print(UnNotificableAddressesList* list, int verbosity) {
  if (list == nullptr || verbosity <= ZV_LOG_INFO) return;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return;
  zv_log(ZV_LOG_VERBOSE, "maddr: --- print UnNotificableAddressesList: <matching> <role> ---");
  for (const AddressEntry& entry : list->entries) {
    try {
      const std::string text =
          std::string(entry.inverse ? "not " : "") + entry.pattern + " " + role_word(entry.role);
      zv_log(ZV_LOG_VERBOSE, "maddr: %s", text.c_str());
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "maddr: print maddr %s skipped - no memory", entry.pattern.c_str());
    }
  }
}

void maddr_free(UnNotificableAddressesList* list) {
  if (list == nullptr) return;
  AddressEntries old;
  {
    NamedMutexLock lock(list->mutex.get());
    list->entries.swap(old);
  }
  delete list;
}

int maddr_may_notify(UnNotificableAddressesList* list, const char* address, int role) {
  if (list == nullptr || address == nullptr) return 1;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 1;
  for (const AddressEntry& entry : list->entries) {
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
}
