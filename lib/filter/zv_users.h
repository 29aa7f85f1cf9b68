// The deny list: which envelope senders and recipients are checked at all.
//
// A DenyList holds the entries of the administrator's list file in file order, each an
// allow or deny verdict for the sender, a recipient or either, with an exact, substring,
// case-insensitive or case-sensitive POSIX extended regular expression pattern. The list
// is loaded while the configuration is read, replaced wholesale on SIGHUP and matched
// from every connection thread. Log lines start with "users: ".
//
// Locks: each list carries its own named mutex ("ZvLib::UsersLocker" in the filter); every
// query, print, reload and free takes it for the whole operation, and nothing else is
// locked meanwhile. A reload reads the new file before taking the mutex and swaps the
// entries in under it, so a query sees either the old or the new list, never a mix.
// Loading, reloading, printing and freeing are the shared ones of zv_listfile.h.
#pragma once

#include <memory>

struct DenyList;
struct NamedMutex;

// Roles of entries and of the asked address (bits: "any" covers both).
inline constexpr int USERS_ROLE_FROM = 1;
inline constexpr int USERS_ROLE_TO = 2;
inline constexpr int USERS_ROLE_ANY = 3;

// Comparisons of the entries.
inline constexpr int USERS_CMP_CREGEX = 0;
inline constexpr int USERS_CMP_REGEX = 1;
inline constexpr int USERS_CMP_EXACT = 2;
inline constexpr int USERS_CMP_SUBST = 3;

inline constexpr const char* USERS_MUTEX_NAME = "ZvLib::UsersLocker";

// Loads the list at `path`, with a mutex of that name when `with_mutex` is set. The new
// list (free with users_free), or null: no path, no memory, or the file failed to load
// (logged with the line at fault; nothing is left allocated).
[[nodiscard]] DenyList* users_load(const char* path, int with_mutex);
// Replaces the entries with those of `path`. 1, or 0 when the file failed to load; the
// list is then empty. A null list or path gives 1.
[[nodiscard]] int users_reload(DenyList* list, const char* path);
// Logs the list at Verbose when `verbosity` is above Info.
void users_print(DenyList* list, int verbosity);
// Frees the list, its entries and its mutex; null is ignored.
void users_free(DenyList* list);
// The verdict of the first entry (file order) whose role shares a bit with `role` and
// whose pattern fits `address`: 1 allow (check the mail), 0 deny. Without such an entry,
// or for a null list or address: 0 when `deny_by_default` is set, else 1.
[[nodiscard]] int users_match(DenyList* list, const char* address, int role, int deny_by_default);

struct DenyListDeleter {
  void operator()(DenyList* l) const { users_free(l); }
};
using DenyListPtr = std::unique_ptr<DenyList, DenyListDeleter>;
