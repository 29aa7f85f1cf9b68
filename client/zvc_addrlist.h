// The ordered list of scanning-daemon addresses.
//
// The first address added is the primary daemon, every later one a backup; requests walk
// the list from the front and use the first daemon that accepts a connection. An address
// is given in the transport's syntax, or as "pid:PATH", the daemon's pid file, which is
// read once when the address is added and yields one entry per listening address.
//
// Owns its entries and their parsed addresses. The mutex "ZvLib::AddressListLocker"
// guards the links; a walk takes it only for the moment of reading one link. Entries are
// never removed one by one, so an entry returned by addrlist_next stays valid until
// addrlist_destroy, which runs only while no request does.
#pragma once

#include "zv_mutex.h"
#include "zvc_ipc.h"

inline constexpr const char* kAddressListMutexName = "ZvLib::AddressListLocker";
// The address that stands for a missing pid file when host names are not cached.
inline constexpr const char* kPlaceholderAddress = "local:/nonexisten";

struct DaemonAddress {
  int timeout = 0;                // seconds: the budget of one session with this daemon
  int family = 0;                 // kIpcTcp or kIpcUnix
  IpcAddress* address = nullptr;  // owned
  DaemonAddress* next = nullptr;  // guarded by the list's mutex
};

struct DaemonAddressList {
  DaemonAddress* first = nullptr;  // guarded by mutex
  DaemonAddress* last = nullptr;   // guarded by mutex
  NamedMutex* mutex = nullptr;     // "ZvLib::AddressListLocker", owned
};

// A new empty list, or null (logged).
[[nodiscard]] DaemonAddressList* addrlist_create();
// Appends the entries `address` yields (one, or one per address line of a pid file),
// each with the session time-out `seconds`. With `cache` host names are resolved now
// and a missing pid file is an error; without it a missing pid file yields the
// placeholder address that never connects. 1 when every address was appended, 0
// otherwise (entries appended before a failure stay).
[[nodiscard]] int addrlist_add(DaemonAddressList* list, const char* address, int seconds,
                               int cache);
// The entry after `entry`, or the first one for null; null at the end or when the lock
// fails.
DaemonAddress* addrlist_next(DaemonAddressList* list, const DaemonAddress* entry);
// Frees all entries and the list; null is ignored.
void addrlist_destroy(DaemonAddressList* list);
