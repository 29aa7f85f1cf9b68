// The non-notified addresses list: addresses that never receive notifications, as
// sender, as recipient or either.
//
// Entries are case-insensitive POSIX extended expressions; an entry written with "!" is
// inverse and hits the addresses its expression does not match. The first entry that hits
// decides. Log lines start with "maddr: ".
//
// Locks: each list carries its own named mutex ("ZvLib::MailAddressesLocker" in the
// filter), taken for the whole of every query, print, reload and free; a reload swaps the
// freshly read entries in under it, so a query sees either the old or the new list.
// Loading, reloading, printing and freeing are the shared ones of zv_listfile.h.
#pragma once

#include <memory>

struct UnNotificableAddressesList;

// Roles of entries and of the asked address (bits: "any" covers both).
inline constexpr int MADDR_ROLE_FROM = 1;
inline constexpr int MADDR_ROLE_TO = 2;
inline constexpr int MADDR_ROLE_ANY = 3;

inline constexpr const char* MADDR_MUTEX_NAME = "ZvLib::MailAddressesLocker";

// Loads the list at `path` (version 1), with its mutex when `with_mutex` is set. The new
// list (free with maddr_free), or null: no path, no memory, or the file failed to load
// (logged; nothing is left allocated).
[[nodiscard]] UnNotificableAddressesList* maddr_load(const char* path, int with_mutex);
// Replaces the entries with those of `path`. 1, or 0 when the file failed to load; the
// list is then empty. A null list or path gives 1.
[[nodiscard]] int maddr_reload(UnNotificableAddressesList* list, const char* path);
// Logs the list at Verbose when `verbosity` is above Info.
void maddr_print(UnNotificableAddressesList* list, int verbosity);
// Frees the list, its entries and its mutex; null is ignored.
void maddr_free(UnNotificableAddressesList* list);
// 0 when the first entry that hits `address` has a role covering every bit of `role`
// (MADDR_ROLE_FROM or MADDR_ROLE_TO): it must not be notified. 1 otherwise, also for a
// null list or address.
[[nodiscard]] int maddr_may_notify(UnNotificableAddressesList* list, const char* address, int role);

struct AddressesListDeleter {
  void operator()(UnNotificableAddressesList* l) const { maddr_free(l); }
};
using AddressesListPtr = std::unique_ptr<UnNotificableAddressesList, AddressesListDeleter>;
