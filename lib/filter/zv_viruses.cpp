// The non-notified viruses list: see zv_viruses.h. What is its own here is the entry, the
// parser of its file versions and the queries; zv_listfile.h loads, reloads, prints and
// frees it. Locks: the list's own mutex around every query, print, reload and free.
#include "zv_viruses.h"

#include <string>
#include <utility>
#include <vector>

#include "zv_listfile.h"
#include "zv_log.h"
#include "zvc_strings.h"

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

bool knows_version(unsigned long version) {
  return version <= 2;
}

// Parses one entry line of a file of the reader's version into *entry; 0 (logged) when it
// is wrong.
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

std::string describe(const VirusEntry& entry) {
  return entry.pattern + " " + verdict_word(entry.admin) + " " + verdict_word(entry.sender) + " " +
         verdict_word(entry.rcpts) + " " + verdict_word(entry.quarantine);
}

constexpr listfile::Format<VirusEntry> kFormat{
    .prefix = "virus",
    .module = "zv_viruses",
    .mutex_name = VIRUSES_MUTEX_NAME,
    .load_failed = "virus: error loading viruses list from filename",
    .line_buffer = kLineBuffer,
    .knows_version = knows_version,
    .parse = parse_line,
    .print_heading =
        "virus: --- print UnNotificableVirusesList: <matching> <admin> <sender> <rcpts> "
        "<quarantine> ---",
    .print_noun = "virus",
    .describe = describe,
};

}  // namespace

struct UnNotificableVirusesList : listfile::GuardedList<VirusEntry> {
  using GuardedList::GuardedList;
};

UnNotificableVirusesList* viruses_load(const char* path, int with_mutex) {
  return listfile::load_list<UnNotificableVirusesList>(kFormat, path, with_mutex);
}

int viruses_reload(UnNotificableVirusesList* list, const char* path) {
  return list == nullptr ? 1 : list->reload(path);
}

void viruses_print(UnNotificableVirusesList* list, int verbosity) {
  if (list != nullptr) list->print(verbosity);
}

void viruses_free(UnNotificableVirusesList* list) {
  listfile::free_list(list);
}

int viruses_may_notify(UnNotificableVirusesList* list, StringList* names, int role) {
  if (list == nullptr || names == nullptr) return 1;
  return list->with_lock(1, [&](const VirusEntries& entries) {
    for (const std::string& name : names->items) {
      const VirusEntry* entry = find_entry(entries, name.c_str());
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
  });
}

int viruses_may_quarantine(UnNotificableVirusesList* list, StringList* names) {
  if (list == nullptr || names == nullptr) return 1;
  return list->with_lock(1, [&](const VirusEntries& entries) {
    for (const std::string& name : names->items) {
      const VirusEntry* entry = find_entry(entries, name.c_str());
      if (entry != nullptr && entry->quarantine == 0) return 0;
    }
    return 1;
  });
}
