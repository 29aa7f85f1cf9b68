// The non-notified viruses list: see zv_viruses.h. The file is read with the line reader
// of zv_users.h. Locks: the list's own mutex around every query, print, reload and free.
#include "lib/zv_viruses.h"

#include <new>
#include <string>
#include <utility>
#include <vector>

#include "lib/zv_log.h"
#include "lib/zv_mutex.h"
#include "lib/zv_users.h"
#include "lib/zvc_strings.h"

namespace {

struct VirusEntry {
  std::string pattern;
  int admin = 1;  // each column: 1 allow, 0 deny
  int sender = 1;
  int rcpts = 1;
  int quarantine = 1;
  listfile::RegexPtr re;
};

using VirusEntries = std::vector<VirusEntry>;

// Lines longer than 127 bytes are read in pieces, each taken as a line of its own.
constexpr std::size_t kLineBuffer = 128;

const char* verdict_word(int verdict) {
  return verdict != 0 ? "allow" : "deny";
}

// Parses one entry line of a file of `version` into *entry; 0 (logged) when it is wrong.
int parse_line(const listfile::Reader& reader, const char* text, VirusEntry* entry) {
  int* columns[] = {&entry->admin, &entry->sender, &entry->rcpts, &entry->quarantine};
  const int count = reader.version() == 2 ? 4 : 3;
  for (int i = 0; i < count; ++i) {
    if (listfile::take_keyword(&text, "allow")) {
      *columns[i] = 1;
    } else if (listfile::take_keyword(&text, "deny")) {
      *columns[i] = 0;
    } else {
      zv_log(ZV_LOG_ERRORS, "virus: wrong line(%d)", reader.line_number());
      zv_log(ZV_LOG_ERRORS, "virus: wrong line %d : %s", reader.line_number(),
             reader.raw_line().c_str());
      return 0;
    }
  }
  entry->pattern = listfile::take_pattern(text);
  if (entry->pattern.empty()) {
    zv_log(ZV_LOG_ERRORS, "virus: wrong line(%d)", reader.line_number());
    return 0;
  }
  entry->re = listfile::compile(entry->pattern, true);
  return entry->re ? 1 : 0;
}

// Reads the file at `path` into *entries (left untouched on failure). 1, or 0 (logged).
int read_entries(const char* path, VirusEntries* entries) {
  try {
    listfile::Reader reader("virus", path, kLineBuffer);
    if (reader.open() == 0) return 0;
    VirusEntries fresh;
    while (const char* text = reader.next()) {
      if (reader.version() > 2) {
        zv_log(ZV_LOG_ERRORS, "virus: wrong %lu version of file", reader.version());
        return 0;
      }
      VirusEntry entry;
      if (parse_line(reader, text, &entry) == 0) return 0;
      fresh.push_back(std::move(entry));
    }
    if (reader.failed() || reader.close() == 0) return 0;
    entries->swap(fresh);
    return 1;
  } catch (const std::bad_alloc&) {
    listfile::log_no_memory("zv_viruses", __LINE__);
    return 0;
  }
}

// The first entry (file order) whose expression matches `name`, or null.
const VirusEntry* find_entry(const VirusEntries& entries, const char* name) {
  for (const VirusEntry& entry : entries) {
    zv_log(ZV_LOG_DEBUG, "viruses: try match %s to %s", name, entry.pattern.c_str());
    if (listfile::matches(entry.re.get(), name)) {
      zv_log(ZV_LOG_VERBOSE, "viruses: entry %s matched by %s", name, entry.pattern.c_str());
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace

struct UnNotificableVirusesList {
  NamedMutexPtr mutex;   // none for a list made without one
  VirusEntries entries;  // guarded by mutex
};

UnNotificableVirusesList* viruses_load(const char* path, int with_mutex) {
  if (path == nullptr) return nullptr;
  auto* list = new (std::nothrow) UnNotificableVirusesList;
  if (list == nullptr) {
    zv_log(ZV_LOG_ERRORS, "virus: no memory");
    return nullptr;
  }
  if (with_mutex != 0) {
    list->mutex.reset(zv_mutex_create(VIRUSES_MUTEX_NAME));
    if (!list->mutex) {
      delete list;
      return nullptr;
    }
  }
  if (read_entries(path, &list->entries) == 0) {
    zv_log(ZV_LOG_ERRORS, "virus: error loading viruses list from filename %s", path);
    delete list;
    return nullptr;
  }
  return list;
}

int viruses_reload(UnNotificableVirusesList* list, const char* path) {
  if (list == nullptr || path == nullptr) return 1;
  // Read first, then swap under the lock: queries meanwhile see the old entries.
  VirusEntries fresh;
  const int loaded = read_entries(path, &fresh);
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 0;
  list->entries.swap(fresh);  // on failure fresh is empty: the list is emptied
  (void)lock.unlock();
  return loaded;
}

void viruses_print(UnNotificableVirusesList* list, int verbosity) {
  if (list == nullptr || verbosity <= ZV_LOG_INFO) return;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return;
  zv_log(ZV_LOG_VERBOSE,
         "virus: --- print UnNotificableVirusesList: <matching> <admin> <sender> <rcpts> "
         "<quarantine> ---");
  for (const VirusEntry& entry : list->entries) {
    try {
      const std::string text = entry.pattern + " " + verdict_word(entry.admin) + " " +
                               verdict_word(entry.sender) + " " + verdict_word(entry.rcpts) + " " +
                               verdict_word(entry.quarantine);
      zv_log(ZV_LOG_VERBOSE, "virus: %s", text.c_str());
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "virus: print virus %s skipped - no memory", entry.pattern.c_str());
    }
  }
}

void viruses_free(UnNotificableVirusesList* list) {
  if (list == nullptr) return;
  VirusEntries old;
  {
    NamedMutexLock lock(list->mutex.get());
    list->entries.swap(old);
  }
  delete list;
}

int viruses_may_notify(UnNotificableVirusesList* list, StringList* names, int role) {
  if (list == nullptr || names == nullptr) return 1;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 1;
  for (const std::string& name : names->items) {
    const VirusEntry* entry = find_entry(list->entries, name.c_str());
    if (entry == nullptr) continue;
    switch (role) {
      case VIRUSES_ROLE_SENDER:
        return entry->sender;
      case VIRUSES_ROLE_RCPTS:
        return entry->rcpts;
      case VIRUSES_ROLE_ADMIN:
        return entry->admin;
      default:
        return 1;
    }
  }
  return 1;
}

int viruses_may_quarantine(UnNotificableVirusesList* list, StringList* names) {
  if (list == nullptr || names == nullptr) return 1;
  NamedMutexLock lock(list->mutex.get());
  if (!lock.locked()) return 1;
  for (const std::string& name : names->items) {
    const VirusEntry* entry = find_entry(list->entries, name.c_str());
    if (entry != nullptr && entry->quarantine == 0) return 0;
  }
  return 1;
}
