// One scanning session; see zvscand_session.h.
#include "zvscand_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

#include "zv_log.h"
#include "zv_owned.h"
#include "zvc_lib.h"
#include "zvs_server.h"
#include "zvs_wire.h"
#include "zvscand_mime.h"
#include "zvscand_whole.h"

namespace zvscand {
namespace {

// Why a local file could not be read, as a status bit and a report line.
struct ReadFailure {
  uint32_t status = 0;
  std::string text;
};

bool read_local(const std::string& path, std::string* out, struct stat* st, ReadFailure* why) {
  zv::UniqueFd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY));
  if (f.get() < 0) {
    int e = errno;
    why->status = e == ELOOP ? kStatusSymlink : kStatusReadError;
    why->text = path + (e == ELOOP ? " is a symbolic link, skipped\n"
                                   : std::string(" cannot be opened: ") + stdlib_error(e) + "\n");
    return false;
  }
  if (::fstat(f.get(), st) != 0 || !S_ISREG(st->st_mode)) {
    why->status = kStatusNotRegular;
    why->text = path + " is not a regular file, skipped\n";
    return false;
  }
  if (static_cast<unsigned long long>(st->st_size) > kMaxContent) {
    why->status = kStatusSkipped;
    why->text = path + " is too big, skipped\n";
    return false;
  }
  out->resize(static_cast<size_t>(st->st_size));
  size_t done = 0;
  while (done < out->size()) {
    ssize_t n = ::read(f.get(), out->data() + done, out->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      why->status = kStatusReadError;
      why->text = path + " cannot be read: " + (n < 0 ? stdlib_error(errno) : "file shrank") + "\n";
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// Replaces the file at `path` with `content` through a temporary file in the same
// directory, exchanged with it, keeping the original owner and mode. Fails when the file
// is no longer there.
bool write_local(const std::string& path, const std::string& content, const struct stat& st,
                 std::string* error) {
  size_t slash = path.rfind('/');
  std::string tmp =
      (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/.zvscand.XXXXXX";
  zv::UniqueFd f(::mkostemp(tmp.data(), O_CLOEXEC));
  if (f.get() < 0) {
    *error = std::string("cannot create a file beside it: ") + stdlib_error(errno);
    return false;
  }
  auto fail = [&](const char* what) {
    *error = std::string(what) + ": " + stdlib_error(errno);
    ::unlink(tmp.c_str());
    return false;
  };
  size_t done = 0;
  while (done < content.size()) {
    ssize_t n = ::write(f.get(), content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write");
    done += static_cast<size_t>(n);
  }
  struct stat now {};
  if (::fstat(f.get(), &now) != 0) return fail("fstat");
  if ((now.st_uid != st.st_uid || now.st_gid != st.st_gid) &&
      ::fchown(f.get(), st.st_uid, st.st_gid) != 0)
    return fail("cannot keep the owner");
  if (::fchmod(f.get(), st.st_mode & 07777) != 0) return fail("cannot keep the mode");
  if (::fsync(f.get()) != 0) return fail("fsync");
  if (f.close() != 0) return fail("close");
  // Exchanged, not renamed over: a client that gave up on a slow answer has removed its
  // file by now, and a rename would bring it back with nobody left to remove it.
  if (::renameat2(AT_FDCWD, tmp.c_str(), AT_FDCWD, path.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL) return fail(errno == ENOENT ? "the file is gone" : "exchange");
    // A file system without exchanges: replace it, if it is still there.
    if (::access(path.c_str(), F_OK) != 0) return fail("the file is gone");
    if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("rename");
    return true;
  }
  ::unlink(tmp.c_str());  // the original content, now under the temporary name
  return true;
}

void put_statistics(zvs::WireConn& conn, const ScanStatistics& s) {
  const std::pair<uint32_t, int32_t> pairs[] = {
      {kMaskKnown, s.known},
      {kMaskModifications, s.modifications},
      {kMaskSuspicious, s.suspicious},
      {kMaskSkipped, s.skipped},
      {kMaskArchive, s.archive_restrictions},
      {kMaskRuleReject, s.rule_rejects},
      {kMaskErrors, s.errors},
      {kMaskCured, s.cured},
      {kMaskDeleted, s.deleted},
      {kStatusAdware, s.adware},
      {kStatusDialer, s.dialers},
      {kStatusJoke, s.jokes},
      {kStatusRiskware, s.riskware},
      {kStatusHacktool, s.hacktools},
  };
  conn.put_int(static_cast<uint32_t>(std::size(pairs)));
  for (const auto& [mask, value] : pairs) {
    conn.put_int(mask);
    conn.put_int(static_cast<uint32_t>(value));
  }
}

long elapsed_ms(std::chrono::steady_clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count());
}

void serve_scan(zvs::WireConn& conn, const DaemonSettings& settings, const EngineStore& engines,
                const std::atomic<bool>& stopping) {
  auto start = std::chrono::steady_clock::now();
  uint32_t flags = 0, extended = 0, count = 0, size = 0;
  std::string sender, recipient, path, content;
  bool ok = conn.read_int(&flags) && (!(flags & kScanExtended) || conn.read_int(&extended)) &&
            conn.read_bytestring(kMaxEnvelopeText, &sender) && conn.read_int(&count);
  if (ok && count > kMaxRecipients) {
    zv_log(ZV_LOG_ERRORS, "zvscand: scan request with %u recipients refused", count);
    return;
  }
  for (uint32_t i = 0; ok && i < count; ++i)
    ok = conn.read_bytestring(kMaxEnvelopeText, &recipient);
  ok = ok && conn.read_bytestring(kMaxEnvelopeText, &path) && conn.read_int(&size);
  if (ok && size > kMaxContent) {
    zv_log(ZV_LOG_ERRORS, "zvscand: scan request with %u bytes of content refused", size);
    return;
  }
  ok = ok && conn.read_raw(size, &content);
  if (!ok) {
    zv_log(ZV_LOG_ERRORS, "zvscand: bad scan request: %s", conn.error().c_str());
    return;
  }
  while (!path.empty() && path.back() == '\0') path.pop_back();
  const bool local = size == 0;

  if (settings.drop) {
    zv_log(ZV_LOG_INFO, "zvscand: scan <%s> dropped without answer", path.c_str());
    return;
  }

  ScanOutcome out;
  struct stat st {};
  ReadFailure failure;
  std::shared_ptr<const Engine> engine = engines.get();
  // An engine that reads whole messages takes one pass unless parts are to be treated;
  // one that looks at nothing is not handed the file at all.
  auto* whole = dynamic_cast<const WholeMessageEngine*>(engine.get());
  const bool needs_content = whole == nullptr || whole->needs_content();
  if (local && needs_content && !read_local(path, &content, &st, &failure)) {
    out.status = failure.status;
    if (int32_t* c = failure.status == kStatusReadError ? &out.stats.errors : &out.stats.skipped)
      ++*c;
    out.report.push_back(failure.text);
  } else {
    out = whole != nullptr && !wants_treatment(flags, extended)
              ? scan_whole_message(*whole, path, content, flags)
              : scan_content(*engine, path, content, flags, extended);
  }
  // A slow daemon has read and scanned the file, and takes its time before the rest.
  if (settings.delay_ms > 0) zvs::sleep_unless_stopping(settings.delay_ms, stopping);
  if (local && out.modified) {
    std::string error;
    if (!write_local(path, out.content, st, &error)) {
      // The file keeps what it had: nothing was cured or removed after all.
      out.status = (out.status & ~(kStatusCured | kStatusDeleted)) | kStatusWriteError;
      out.stats.cured = 0;
      out.stats.deleted = 0;
      out.stats.errors++;
      out.modified = false;
      out.report.push_back(path + " cannot be rewritten: " + error + "\n");
    }
  }
  uint32_t status = settings.force_status ? settings.status : out.status;

  conn.put_int(status);
  if (flags & kScanVirusLists) conn.put_list(out.virus_lines);
  if (flags & kScanRuleName) conn.put_bytestring(out.rule);
  if (flags & kScanReport) conn.put_list(out.report);
  if (flags & kScanStatistics) put_statistics(conn, out.stats);
  if ((status & (kStatusCured | kStatusDeleted)) && !local)
    conn.put_bytestring(out.modified ? out.content : content);
  bool sent = conn.flush();

  std::string names;
  for (const auto& v : out.virus_lines) names += " " + v;
  if (!out.rule.empty()) names += " rule:" + out.rule;
  zv_log(ZV_LOG_INFO, "zvscand: scan <%s> %s %zu bytes: status %#x%s%s%s, %ld ms%s", path.c_str(),
         local ? "local" : "streamed", content.size(), status, names.empty() ? "" : ",",
         names.c_str(), out.modified ? ", rewritten" : "", elapsed_ms(start),
         sent ? "" : ", answer not delivered");
}

}  // namespace

std::shared_ptr<const Engine> EngineStore::get() const {
  std::lock_guard<std::mutex> g(mu_);
  return engine_;
}

void EngineStore::set(std::shared_ptr<const Engine> engine) {
  std::lock_guard<std::mutex> g(mu_);
  engine_ = std::move(engine);
}

void serve_session(int fd, const DaemonSettings& settings, const EngineStore& engines,
                   const std::atomic<bool>& stopping) {
  try {
    zvs::WireConn conn(fd, kIdleMs);
    uint32_t command = 0;
    bool eof = false;
    if (!conn.read_int(&command, &eof)) {
      if (!eof) zv_log(ZV_LOG_ERRORS, "zvscand: no request: %s", conn.error().c_str());
      return;
    }
    if (command == kZvcCommandVersion) {
      if (settings.delay_ms > 0) zvs::sleep_unless_stopping(settings.delay_ms, stopping);
      if (settings.drop) {
        zv_log(ZV_LOG_INFO, "zvscand: version request dropped without answer");
        return;
      }
      conn.put_int(settings.version);
      bool sent = conn.flush();
      zv_log(ZV_LOG_INFO, "zvscand: version request answered with %u%s", settings.version,
             sent ? "" : " (not delivered)");
    } else if (command == kZvcCommandScan) {
      serve_scan(conn, settings, engines, stopping);
    } else {
      zv_log(ZV_LOG_ERRORS, "zvscand: unknown command %u - session closed", command);
    }
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "zvscand: no memory - session closed");
  }
}

}  // namespace zvscand
