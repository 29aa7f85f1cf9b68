// The non-notified viruses list: per virus-name pattern, whether the administrator, the
// sender and the recipients may be told about a message that holds such a virus, and
// whether such a message may be quarantined.
//
// Entries are case-insensitive POSIX extended expressions matched against the virus
// names of a scan result, in file order. Log lines start with "virus: " (loading and
// printing) or "viruses: " (matching).
//
// Locks: each list carries its own named mutex ("ZvLib::VirusAddressesLocker" in the
// filter), taken for the whole of every query, print, reload and free; a reload swaps the
// freshly read entries in under it, so a query sees either the old or the new list.
// Loading, reloading, printing and freeing are the shared ones of zv_listfile.h.
#pragma once

#include <memory>

struct UnNotificableVirusesList;
struct StringList;

// Roles of viruses_may_notify.
inline constexpr int VIRUSES_ROLE_SENDER = 0;
inline constexpr int VIRUSES_ROLE_RCPTS = 1;
inline constexpr int VIRUSES_ROLE_ADMIN = 2;

inline constexpr const char* VIRUSES_MUTEX_NAME = "ZvLib::VirusAddressesLocker";

// Loads the list at `path` (versions 0 to 2), with its mutex when `with_mutex` is set.
// The new list (free with viruses_free), or null: no path, no memory, or the file failed
// to load (logged; nothing is left allocated).
[[nodiscard]] UnNotificableVirusesList* viruses_load(const char* path, int with_mutex);
// Replaces the entries with those of `path`. 1, or 0 when the file failed to load; the
// list is then empty. A null list or path gives 1.
[[nodiscard]] int viruses_reload(UnNotificableVirusesList* list, const char* path);
// Logs the list at Verbose when `verbosity` is above Info.
void viruses_print(UnNotificableVirusesList* list, int verbosity);
// Frees the list, its entries and its mutex; null is ignored.
void viruses_free(UnNotificableVirusesList* list);
// The first virus name (list order) that some entry matches decides, by the first such
// entry's column for `role` (VIRUSES_ROLE_*): 1 may notify, 0 must not. 1 when no name
// has an entry, for another role, or for a null list or name list.
[[nodiscard]] int viruses_may_notify(UnNotificableVirusesList* list, StringList* names, int role);
// 0 when some name's first matching entry denies quarantine, else 1 (also for a null
// list or name list).
[[nodiscard]] int viruses_may_quarantine(UnNotificableVirusesList* list, StringList* names);

struct VirusesListDeleter {
  void operator()(UnNotificableVirusesList* l) const { viruses_free(l); }
};
using VirusesListPtr = std::unique_ptr<UnNotificableVirusesList, VirusesListDeleter>;
