// The daemon address list: see zvc_addrlist.h.
#include "zvc_addrlist.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_strings.h"

namespace {

inline constexpr const char* kModule = "zvc_addrlist";
// Pid-file lines are read in pieces of at most this many characters.
inline constexpr int kPidLineMax = 253;

using FilePtr = zv::UniqueFile;

struct EntryDeleter {
  void operator()(DaemonAddress* e) const {
    ipc::free_address(e->address);
    delete e;
  }
};
using EntryPtr = std::unique_ptr<DaemonAddress, EntryDeleter>;

// Removes every white-space character that is not between double quotes (the quotes
// stay), as the configuration reader does with its lines.
void remove_blanks(char* line) {
  bool quoted = false;
  char* out = line;
  for (char* p = line; *p != '\0'; ++p) {
    if (*p == '"') quoted = !quoted;
    if (!quoted && isspace(static_cast<unsigned char>(*p))) continue;
    *out++ = *p;
  }
  *out = '\0';
}

// Turns one address line of a pid file into an address string and adds it to `specs`.
// 1 or 0 (logged).
int add_pidfile_line(StringList* specs, const char* line, const char* path) {
  std::string spec;
  try {
    if (line[0] == '/') {
      spec = std::string("local:") + line;
    } else {
      const char* colon = strrchr(line, ':');
      if (colon == nullptr) {
        zv_log(ZV_LOG_ERRORS, "zvlib: read pidfile: cannot parse inet-address in %s from pidfile",
               path);
        return 0;
      }
      std::string host(line, static_cast<size_t>(colon - line));
      char buffer[2 * (kPidLineMax + 1) + 16];
      int n = snprintf(buffer, sizeof(buffer), "inet:%s@%s", colon + 1, host.c_str());
      if (n < 0 || static_cast<size_t>(n) >= sizeof(buffer)) {
        zv_log(ZV_LOG_ERRORS, "zvlib: read pidfile: cannot format inet-address string");
        return 0;
      }
      spec = buffer;
    }
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: no memory for address spec %s", line);
    return 0;
  }
  if (strings::add(specs, spec) != 1) {
    zv_log(ZV_LOG_ERRORS, "zvlib: cannot add %s address from pidfile to list", spec.c_str());
    return 0;
  }
  return 1;
}

// Reads the daemon's pid file into address strings. 1 or 0 (logged).
int read_pidfile(StringList* specs, const char* path, int cache) {
  FilePtr file(fopen(path, "re"));
  if (!file) {
    int err = errno;
    if (err == ENOENT && !cache) {
      zv_log(ZV_LOG_ERRORS,
             "zvlib: cannot open daemon pidfile %s - no such file, set ipc address to "
             "/nonexisten",
             path);
      if (strings::add(specs, kPlaceholderAddress) != 1) {
        zv_log(ZV_LOG_ERRORS, "zvlib: cannot add %s address to list", kPlaceholderAddress);
        return 0;
      }
      return 1;
    }
    zv_log(ZV_LOG_ERRORS, "zvlib: cannot open daemon pidfile %s - %s", path, stdlib_error(err));
    return 0;
  }
  char line[kPidLineMax + 1];
  if (fgets(line, sizeof(line), file.get()) == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: cannot read line %d from daemon pidfile %s", 1, path);
    return 0;
  }
  int pid = 0;
  if (sscanf(line, "%d", &pid) != 1) {
    zv_log(ZV_LOG_ERRORS, "zvlib: cannot read PID from daemon pidfile %s", path);
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "zvlib: daemon pid = %d", pid);
  // The rest of a long first line is not an address.
  while (strchr(line, '\n') == nullptr && fgets(line, sizeof(line), file.get()) != nullptr) {
  }
  int addresses = 0;
  while (fgets(line, sizeof(line), file.get()) != nullptr) {
    remove_blanks(line);
    if (line[0] == '\0') continue;  // blank lines carry no address
    if (add_pidfile_line(specs, line, path) == 0) return 0;
    ++addresses;
  }
  if (addresses == 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: cannot read line %d from daemon pidfile %s", 2, path);
    return 0;
  }
  return 1;
}

}  // namespace

DaemonAddressList* addrlist_create() {
  auto* list = new (std::nothrow) DaemonAddressList{};
  if (list == nullptr) {
    zv_log(ZV_LOG_ERRORS, "%s(%d): zvlib: no memory for address list", kModule, __LINE__);
    return nullptr;
  }
  list->mutex = zv_mutex_create(kAddressListMutexName);
  if (list->mutex == nullptr) {
    delete list;
    return nullptr;
  }
  return list;
}

int addrlist_add(DaemonAddressList* list, const char* address, int seconds, int cache) {
  if (list == nullptr || address == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: null args passed to addrlist_add routine");
    return 0;
  }
  StringListPtr specs(strings::create(0));
  if (!specs) {
    zv_log(ZV_LOG_ERRORS, "%s(%d): zvlib: no memory for address specs", kModule, __LINE__);
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "zvlib: set timeout for each scanning session with %s to %d seconds",
         address, seconds);
  if (strncasecmp(address, "pid:", 4) != 0) {
    zv_log(ZV_LOG_DEBUG, "zvlib: dont match to pid: prefix for pidfile addressing");
    if (strings::add(specs.get(), address) != 1 || strings::count(specs.get()) != 1) {
      zv_log(ZV_LOG_ERRORS, "zvlib: cannot add %s address to list", address);
      return 0;
    }
  } else if (read_pidfile(specs.get(), strchr(address, ':') + 1, cache) == 0) {
    return 0;
  }

  int appended = 0;
  for (const std::string& spec : specs->items) {
    EntryPtr entry(new (std::nothrow) DaemonAddress{});
    if (!entry) {
      zv_log(ZV_LOG_ERRORS, "%s(%d): zvlib: no memory for address entry", kModule, __LINE__);
      return 0;
    }
    entry->address = ipc::parse_address(spec.c_str(), cache, &entry->family);
    if (entry->address == nullptr) return 0;
    entry->timeout = seconds;
    NamedMutexLock lock(list->mutex);
    if (!lock.locked()) {
      zv_log(ZV_LOG_ERRORS, "zvlib: FATAL ERROR: cannot lock address list");
      return 0;
    }
    DaemonAddress* e = entry.release();
    if (list->last != nullptr)
      list->last->next = e;
    else
      list->first = e;
    list->last = e;
    if (lock.unlock() != 1) {
      zv_log(ZV_LOG_ERRORS, "zvlib: FATAL ERROR: cannot unlock address list");
      return 0;
    }
    zv_log(ZV_LOG_DEBUG, "zvlib: address %s added to list", spec.c_str());
    ++appended;
  }
  return appended > 0 ? 1 : 0;
}

DaemonAddress* addrlist_next(DaemonAddressList* list, const DaemonAddress* entry) {
  if (list == nullptr) return nullptr;
  NamedMutexLock lock(list->mutex);
  if (!lock.locked()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: FATAL ERROR: cannot lock address list");
    return nullptr;
  }
  DaemonAddress* next = entry != nullptr ? entry->next : list->first;
  if (lock.unlock() != 1) {
    zv_log(ZV_LOG_ERRORS, "zvlib: FATAL ERROR: cannot lock address list");
    return nullptr;
  }
  return next;
}

void addrlist_destroy(DaemonAddressList* list) {
  if (list == nullptr) return;
  {
    NamedMutexLock lock(list->mutex);
    if (!lock.locked()) {
      zv_log(ZV_LOG_ERRORS, "zvlib: FATAL ERROR: cannot lock address list");
      return;
    }
    DaemonAddress* e = list->first;
    list->first = list->last = nullptr;
    while (e != nullptr) {
      DaemonAddress* next = e->next;
      EntryDeleter()(e);
      e = next;
    }
  }
  zv_mutex_destroy(list->mutex);
  delete list;
}
