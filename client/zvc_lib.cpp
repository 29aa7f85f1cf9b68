// Library life cycle, sessions and requests: see zvc_lib.h.
#include "zvc_lib.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_addrlist.h"

namespace {

inline constexpr const char* kModule = "zvc_lib";
inline constexpr const char* kEmptyFileText = " - the size of the file is equal to zero, skipped";

// Written only by startup / cleanup on the main thread while no request runs; read by
// every request. The list itself guards its links with its own mutex.
std::atomic<bool> g_started{false};
std::atomic<DaemonAddressList*> g_addresses{nullptr};

using zv::UniqueFd;

// Reads exactly `length` bytes (a regular file gives fewer only at its end). 1 or 0.
int read_piece(int fd, char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::read(fd, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    done += static_cast<size_t>(n);
  }
  return 1;
}

// The code of a failed exchange: a time-out that used up the session's budget is passed
// up as such (the caller may log it differently); anything else is -2.
int exchange_failure(const IpcChannel* channel) {
  return channel->budget_ms == kIpcBudgetUsedUp ? kIpcTimeout : kZvcExchangeFailed;
}

// Sends the request header, the envelope and the path. 1 or 0.
int send_request(IpcChannel* ch, uint32_t flags, uint32_t extended, const char* sender,
                 const StringList* recipients, const char* path, size_t path_length) {
  if (proto::write_int(ch, kZvcCommandScan) == 0 || proto::write_int(ch, flags) == 0) return 0;
  if ((flags & kScanExtended) != 0 && proto::write_int(ch, extended) == 0) return 0;
  uint32_t sender_length = sender != nullptr ? static_cast<uint32_t>(strlen(sender)) : 0;
  if (proto::write_bytestring(ch, sender_length, sender) == 0) return 0;
  uint32_t count = recipients != nullptr ? static_cast<uint32_t>(recipients->items.size()) : 0;
  if (proto::write_int(ch, count) == 0) return 0;
  if (recipients != nullptr) {
    for (const std::string& r : recipients->items) {
      if (proto::write_bytestring(ch, static_cast<uint32_t>(r.size()), r.c_str()) == 0) return 0;
    }
  }
  return proto::write_bytestring(ch, static_cast<uint32_t>(path_length), path);
}

// The record of an empty spool file, made without asking the daemon.
ScanResult* empty_file_result(const std::string& path, uint32_t flags, uint32_t limit) {
  ScanResultPtr result(scanresult_new());
  if (!result) return nullptr;
  result->status = kStatusCompositeClean;
  if ((flags & kScanReport) != 0) {
    try {
      std::string text = path + kEmptyFileText + "\n";
      if (limit > 0 && limit < text.size() + 3) text.resize(limit > 2 ? limit - 2 : 0);
      result->report = std::move(text);
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "zvlib: %s(%d): no memory for report", kModule, __LINE__);
      return nullptr;
    }
  }
  return result.release();
}

}  // namespace

int startup(int version, const char* address, int seconds, int cache) {
  int major = (version >> 8) & 0xFF;
  int minor = version & 0xFF;
  if (major != kZvcMajorVersion) {
    zv_log(ZV_LOG_ERRORS,
           "zvlib: startup: library major version (%d) and requested (%d) is different",
           kZvcMajorVersion, major);
    return kZvcBadParameters;
  }
  if (minor != kZvcMinorVersion)
    zv_log(ZV_LOG_ALERTS,
           "zvlib: startup: library minor version (%d) and requested (%d) is different",
           kZvcMinorVersion, minor);
  if (g_started.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: startup: library already initialized");
    return kZvcWrongState;
  }
  if (address == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: startup: daemon address not specified");
    return kZvcBadParameters;
  }
  if (ipc::init() != kIpcOk) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: startup: cannot initialize internal IPC system");
    return kZvcExchangeFailed;
  }
  DaemonAddressList* list = addrlist_create();
  if (list == nullptr) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: startup: cannot initialize internal IPC system");
    (void)ipc::deinit();
    return kZvcInternal;
  }
  if (addrlist_add(list, address, seconds, cache) != 1) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: startup: cannot create IPC with specification <%s>", address);
    addrlist_destroy(list);
    (void)ipc::deinit();
    return kZvcExchangeFailed;
  }
  g_addresses.store(list);
  g_started.store(true);
  return kZvcOk;
}

int add_address(const char* address, int seconds, int cache) {
  DaemonAddressList* list = g_started.load() ? g_addresses.load() : nullptr;
  return addrlist_add(list, address, seconds, cache) == 1 ? kZvcOk : kZvcExchangeFailed;
}

int cleanup() {
  if (!g_started.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: cleanup: library has not been initialized");
    return kZvcWrongState;
  }
  addrlist_destroy(g_addresses.exchange(nullptr));
  if (ipc::deinit() != kIpcOk) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: cleanup: deinitialization of internal IPC system failed");
    g_started.store(false);
    return kZvcExchangeFailed;
  }
  zv_log_destroy_error_mutex();
  g_started.store(false);
  return kZvcOk;
}

bool started() {
  return g_started.load();
}

IpcChannel* open_session(int tag, int nodelay) {
  DaemonAddressList* list = g_addresses.load();
  for (DaemonAddress* e = addrlist_next(list, nullptr); e != nullptr; e = addrlist_next(list, e)) {
    IpcChannel* channel = nullptr;
    int rc = ipc::open(e->family, e->address, e->timeout, tag, &channel);
    if (rc == kIpcOk) rc = ipc::connect(channel);
    if (rc == kIpcOk) {
      if (nodelay) (void)ipc::set_nodelay(channel, 1);
      return channel;
    }
    if (channel != nullptr) (void)ipc::close(&channel);
    tag = 0;  // only a channel to the first daemon carries the tag
  }
  zv_log(ZV_LOG_ERRORS, "zvlib: cannot create connection with a Zarvik daemon");
  return nullptr;
}

int close_session(IpcChannel* channel) {
  if (ipc::close(&channel) != kIpcOk) {
    zv_log(ZV_LOG_VERBOSE, "zvlib: ipc-channel closing failed");
    return kZvcExchangeFailed;
  }
  return kZvcOk;
}

int get_version(int* major, int* minor) {
  if (!g_started.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: library is not initialized");
    return kZvcNotStarted;
  }
  if (major == nullptr || minor == nullptr) {
    zv_log(ZV_LOG_ERRORS, "zvlib: null major or minor version storage passed");
    return kZvcBadParameters;
  }
  IpcChannel* channel = open_session(0, 1);
  if (channel == nullptr) return kZvcNoDaemon;
  uint32_t version = 0;
  if (proto::write_int(channel, kZvcCommandVersion) == 0 ||
      proto::read_int(channel, &version) == 0) {
    int rc = exchange_failure(channel);
    (void)close_session(channel);
    return rc;
  }
  *major = static_cast<int>(version / 100);
  *minor = static_cast<int>(version % 100);
  return close_session(channel);
}

namespace scan {

int daemon_answer(IpcChannel* channel, uint32_t flags, const char* path, ScanResult** result,
                  uint32_t report_limit, int local_scan, uint32_t sent_size) {
  if (result == nullptr) return kZvcExchangeFailed;
  *result = nullptr;
  ScanResultPtr record(scanresult_new());
  if (!record) return kZvcNoMemory;
  if (proto::read_int(channel, &record->status) == 0) return kZvcExchangeFailed;
  if ((flags & kScanVirusLists) != 0 &&
      proto::read_list(channel, combiner::parse_viruses, &record->viruses, nullptr,
                       kMaxAnswerListCount, kMaxVirusLineLength) == 0)
    return kZvcExchangeFailed;
  if ((flags & kScanRuleName) != 0) {
    size_t length = 0;
    std::unique_ptr<char[]> rule;
    if (proto::read_bytestring(channel, &length, &rule, 1, kMaxRuleNameLength) == 0)
      return kZvcExchangeFailed;
    try {
      record->rule.emplace(rule.get());
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "zvlib: %s(%d): no memory for rule name", kModule, __LINE__);
      return kZvcExchangeFailed;
    }
  }
  if ((flags & kScanReport) != 0) {
    record->report = proto::read_report(channel, report_limit, path);
    if (!record->report) return kZvcExchangeFailed;
  }
  if ((flags & kScanStatistics) != 0 && proto::read_stat(channel, &record->statistics) == 0)
    return kZvcExchangeFailed;
  if ((record->status & (kStatusCured | kStatusDeleted)) != 0 && !local_scan) {
    zv_log(ZV_LOG_DEBUG, "zvlib: scan::daemon_answer going to receive cured file");
    if (proto::read_bytestring(channel, &record->cured_length, &record->cured, 0,
                               max_cured_length(sent_size)) == 0)
      return kZvcExchangeFailed;
    zv_log(ZV_LOG_VERBOSE, "zvlib: scan::daemon_answer cured file length %ld",
           static_cast<long>(record->cured_length));
  }
  *result = record.release();
  return kZvcOk;
}

}  // namespace scan

namespace {

// The path is sent with the caller's length and opened as a C string: both must agree.
// 0 with the path in *file_path, or -4 (logged).
int take_path(const char* path, size_t path_length, std::string* file_path) {
  if (path == nullptr || path_length < 1 || path_length > kZvcMaxPathLength ||
      strnlen(path, path_length) != path_length) {
    zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: bad parameters");
    return kZvcBadParameters;
  }
  try {
    file_path->assign(path, path_length);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: bad parameters");
    return kZvcBadParameters;
  }
  return kZvcOk;
}

// Whether the daemon reads the file by its path: only when asked and only the first
// daemon of the list (the channel carries its tag).
bool scans_locally(const IpcChannel* channel, int local_scan) {
  if (!local_scan) return false;
  if (ipc::tag(channel) != 0) return true;
  zv_log(ZV_LOG_ALERTS, "zvlib: scanmail: cannot use <localscan> mode on backup zarvikd");
  return false;
}

// Opens the spool file and takes its size, which travels as one 32-bit int. 0 or -3
// (logged).
int open_spool_file(const std::string& file_path, UniqueFd* file, uint32_t* size) {
  file->reset(::open(file_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file->get() < 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: cannot open file <%s> : %s", file_path.c_str(),
           stdlib_errno_text());
    return kZvcFileError;
  }
  off_t end = lseek(file->get(), 0, SEEK_END);
  if (end < 0 || end > static_cast<off_t>(UINT32_MAX) || lseek(file->get(), 0, SEEK_SET) != 0) {
    zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: cannot determine file <%s> size", file_path.c_str());
    return kZvcFileError;
  }
  *size = static_cast<uint32_t>(end);
  return kZvcOk;
}

// Streams `size` bytes of the spool file in pieces of kZvcChunkSize. 0, -3 (the file
// cannot be read, logged) or the code of a failed exchange.
int stream_content(IpcChannel* channel, int fd, uint32_t size, const std::string& file_path) {
  char buffer[kZvcChunkSize];
  for (uint32_t left = size; left > 0;) {
    size_t piece = std::min<size_t>(left, sizeof(buffer));
    if (read_piece(fd, buffer, piece) == 0) {
      zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: cannot read file <%s>", file_path.c_str());
      return kZvcFileError;
    }
    if (proto::write_buf(channel, piece, buffer) == 0) return exchange_failure(channel);
    left -= static_cast<uint32_t>(piece);
  }
  return kZvcOk;
}

// The one way out of a scan session: closes the session, and hands the record to the
// caller on success or deletes it on failure.
int finish_scan(IpcChannel* channel, int rc, ScanResult* record, ScanResult** result) {
  int closed = close_session(channel);
  if (rc == kZvcOk) rc = closed;
  if (rc != kZvcOk) {
    zv_log(ZV_LOG_DEBUG, "zvlib: scanfile failed");
    scanresult_delete(record);
    return rc;
  }
  *result = record;
  return kZvcOk;
}

// The conversation of one scan on an open session: the request, the content unless the
// daemon reads the file itself, and the answer. 0 with the record in *record, or a code.
// `file_path` is opened when the content is streamed; `daemon_path` is the name the
// request carries and the daemon's report speaks of.
int converse(IpcChannel* channel, const std::string& file_path, const std::string& daemon_path,
             int local_scan, uint32_t flags, uint32_t extended, uint32_t report_limit,
             const char* sender, const StringList* recipients, ScanResult** record) {
  bool local = scans_locally(channel, local_scan);
  UniqueFd file;
  uint32_t size = 0;
  if (!local) {
    int rc = open_spool_file(file_path, &file, &size);
    if (rc != kZvcOk) return rc;
    if (size == 0) {
      *record = empty_file_result(daemon_path, flags, report_limit);
      return *record != nullptr ? kZvcOk : kZvcExchangeFailed;
    }
  }
  // The request's small items leave together.
  ipc::hold(channel);
  if (send_request(channel, flags, extended, sender, recipients, daemon_path.c_str(),
                   daemon_path.size()) == 0 ||
      proto::write_int(channel, size) == 0 || ipc::flush(channel) != kIpcOk)
    return exchange_failure(channel);
  int rc = stream_content(channel, file.get(), size, file_path);
  if (rc != kZvcOk) return rc;
  if (scan::daemon_answer(channel, flags, daemon_path.c_str(), record, report_limit, local, size) !=
      kZvcOk)
    return exchange_failure(channel);
  return kZvcOk;
}

}  // namespace

int scanmail(const char* path, size_t path_length, int local_scan, uint32_t flags,
             uint32_t extended, ScanResult** result, uint32_t report_limit, const char* sender,
             const StringList* recipients) {
  return scanmail_file(nullptr, path, path_length, local_scan, flags, extended, result,
                       report_limit, sender, recipients);
}

int scanmail_file(const char* file, const char* path, size_t path_length, int local_scan,
                  uint32_t flags, uint32_t extended, ScanResult** result, uint32_t report_limit,
                  const char* sender, const StringList* recipients) {
  if (result == nullptr) {
    zv_log_bad_parameter("zvlib: scanmail");
    return kZvcBadParameters;
  }
  *result = nullptr;
  if (!g_started.load()) {
    zv_log(ZV_LOG_ERRORS, "zvlib: scanmail: library is not initialized");
    return kZvcNotStarted;
  }
  flags |= kScanMail;
  std::string daemon_path;
  int rc = take_path(path, path_length, &daemon_path);
  if (rc != kZvcOk) return rc;
  std::string file_path;
  rc = take_path(file != nullptr ? file : daemon_path.c_str(),
                 file != nullptr ? strnlen(file, kZvcMaxPathLength + 1) : daemon_path.size(),
                 &file_path);
  if (rc != kZvcOk) return rc;
  IpcChannel* channel = open_session(local_scan, (flags & kScanNoDelay) != 0);
  if (channel == nullptr) {
    zv_log(ZV_LOG_DEBUG, "zvlib: scanmail: cannot open scan session with zarvikd");
    return kZvcNoDaemon;
  }
  ScanResult* record = nullptr;
  rc = converse(channel, file_path, daemon_path, local_scan, flags, extended, report_limit, sender,
                recipients, &record);
  return finish_scan(channel, rc, record, result);
}
