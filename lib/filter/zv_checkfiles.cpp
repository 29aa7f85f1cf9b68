// File tests of the configuration check (see zv_checkfiles.h).
#include "zv_checkfiles.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "zv_badparam.h"
#include "zv_files.h"
#include "zv_log.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zvc_lib.h"
#include "zvc_result.h"
#include "zvc_strings.h"

namespace {

constexpr size_t kTemplateProbe = 10;  // bytes a template must at least hold

// The test message around the EICAR string, and the string in two halves.
constexpr std::string_view kMessageHead =
    "Subject: Standard antivirus test file\r\n"
    "Mime-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"test\"\r\n"
    "Content-Disposition: inline\r\n"
    "\r\n"
    "--test\r\n"
    "Content-Type: text/plain; charset=us-ascii\r\n"
    "Content-Disposition: inline\r\n"
    "\r\n"
    "Attachment to this message contains standard antivirus test file.\r\n"
    "--test\r\n"
    "Content-Type: application/x-msdos-program\r\n"
    "Content-Disposition: attachment; filename=\"eicar.com\"\r\n"
    "\r\n";
constexpr std::string_view kEicarFront = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-";
constexpr std::string_view kEicarBack = "ANTIVIRUS-TEST-FILE!$H+H*";
constexpr std::string_view kMessageTail = "\r\n--test--\r\n";
// The text and its terminating zero byte.
static_assert(kMessageHead.size() + kEicarFront.size() + kEicarBack.size() + kMessageTail.size() +
                  1 ==
              kCheckMessageLength);
static_assert(kEicarFront.size() + kEicarBack.size() == 68);
// The first piece ends after the seventh character of the EICAR string.
static_assert(kMessageHead.size() + 7 == kCheckMessageFirstPiece);

using CString = zv::UniqueMalloc<char>;
using zv::UniqueFd;

// Removes the file at `path` when it goes out of scope, unless released.
class RemoveOnExit {
 public:
  explicit RemoveOnExit(const char* path) : path_(path) {}
  ~RemoveOnExit() {
    if (path_ != nullptr) (void)unlink(path_);
  }
  RemoveOnExit(const RemoveOnExit&) = delete;
  RemoveOnExit& operator=(const RemoveOnExit&) = delete;
  void release() { path_ = nullptr; }

 private:
  const char* path_;
};

// Removes a file of the quarantine test; one that is already gone is fine. false (logged)
// when it is still there.
bool remove_test_file(const char* path) {
  if (path == nullptr || unlink(path) == 0 || errno == ENOENT) return true;
  int err = errno;
  zv_log(ZV_LOG_ERRORS, "check_move: cannot unlink %s - (%d) %s", path, err, stdlib_error(err));
  return false;
}

}  // namespace

CheckMessage check_message() {
  CheckMessage message{};
  char* at = message.data();
  for (std::string_view piece : {kMessageHead, kEicarFront, kEicarBack, kMessageTail}) {
    std::memcpy(at, piece.data(), piece.size());
    at += piece.size();
  }
  *at = '\0';
  return message;
}

int check_scan(const SpoolFileSpec* spool, int local_scan, const char* prefix, int strip,
               char** name) {
  if (spool == nullptr || name == nullptr) {
    zv_log_bad_parameters("check_scan:", spool == nullptr, name == nullptr);
    return 0;
  }
  *name = nullptr;
  char* raw = nullptr;
  UniqueFd fd(open_tmpfile(spool, &raw));
  CString path(raw);
  if (!fd.valid()) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_scan: cannot create spool file %s - (%d) %s",
           path ? path.get() : "null", err, stdlib_error(err));
    return 0;
  }
  RemoveOnExit remove(path.get());

  const CheckMessage message = check_message();
  if (!write_buffer(fd.get(), message.data(), kCheckMessageFirstPiece) ||
      !write_buffer(fd.get(), message.data() + kCheckMessageFirstPiece,
                    kCheckMessageLength - kCheckMessageFirstPiece)) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_scan: cannot write to spool file - (%d) %s", err,
           stdlib_error(err));
    return 0;
  }
  if (fd.close() != 0) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_scan: cannot close spool file - (%d) %s", err, stdlib_error(err));
    return 0;
  }

  CString daemon_name(normalize_path(path.get(), local_scan, prefix, strip));
  if (!daemon_name) {
    zv_log(ZV_LOG_ERRORS,
           "check_scan: cannot normalize path %s with expand=%d, prefix=%s, shift=%d", path.get(),
           local_scan, prefix != nullptr ? prefix : "null", strip);
    return 0;
  }

  StringListPtr recipients(strings::create(0));
  if (!recipients || !strings::add(recipients.get(), kCheckAddress)) {
    zv_log(ZV_LOG_ERRORS, "check_scan: cannot create test envelope - no memory");
    return 0;
  }

  ScanResult* raw_result = nullptr;
  int code = scanmail_file(path.get(), daemon_name.get(), std::strlen(daemon_name.get()),
                           local_scan, kCheckScanFlags, 0, &raw_result, kCheckReportLimit,
                           kCheckAddress, recipients.get());
  ScanResultPtr result(raw_result);
  if (code != 0) {
    zv_log(ZV_LOG_ERRORS, "check_scan: cannot scan spool file (%d)", code);
    return 0;
  }

  uint32_t status = scanresult_status(result.get());
  std::string text;
  bool have_text = true;
  try {
    text = status_text(status);
  } catch (const std::bad_alloc&) {
    have_text = false;
  }
  const char* shown = have_text ? text.c_str() : "null";
  zv_log(ZV_LOG_INFO, "check_scan: daemon return %#x code (%s)", status, shown);
  if ((status & kStatusKnownVirus) != 0) {
    remove.release();
    *name = path.release();
    return 1;
  }
  zv_log(ZV_LOG_ERRORS, "check_scan: daemon cannot detect standard test file (EICAR) - (0x%x) %s",
         status, shown);
  return 0;
}

int check_spool(const SpoolFileSpec* spool, int local_scan, const char* prefix, int strip) {
  char* raw = nullptr;
  if (!check_scan(spool, local_scan, prefix, strip, &raw)) {
    zv_log(ZV_LOG_ERRORS, "check_spool: cannot test spool file");
    return -1;
  }
  CString path(raw);
  if (unlink(path.get()) != 0) {
    zv_log(ZV_LOG_ERRORS, "check_spool: cannot unlink spool file");
    return -1;
  }
  return 0;
}

int check_move(const SpoolFileSpec* spool, const SpoolFileSpec* quarantine, int local_scan,
               const char* prefix, int strip) {
  if (quarantine == nullptr) {
    zv_log_bad_parameters("check_move:", spool == nullptr, quarantine == nullptr);
    return -1;
  }
  char* raw = nullptr;
  if (!check_scan(spool, local_scan, prefix, strip, &raw)) {
    zv_log(ZV_LOG_ERRORS, "check_move: cannot test spool-file");
    return -1;
  }
  CString test(raw);
  raw = nullptr;
  UniqueFd fd(open_tmpfile(quarantine, &raw));
  CString archive(raw);
  int result = -1;
  if (!fd.valid()) {
    zv_log(ZV_LOG_ERRORS, "check_move: cannot create archive file %s",
           archive ? archive.get() : "null");
  } else if (fd.close() != 0) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_move: cannot close archive file %s - (%d) %s", archive.get(), err,
           stdlib_error(err));
  } else if (move_file(test.get(), archive.get(), quarantine->mode) != 0) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_move: cannot rename temporary file to archive file - (%d) %s.\n",
           err, stdlib_error(err));
  } else {
    result = 0;
  }
  // The moved file is gone from the spool; a passed test leaves neither file behind.
  bool removed = remove_test_file(test.get());
  if (!remove_test_file(archive.get())) removed = false;
  return removed ? result : -1;
}

int check_file(const char* path) {
  if (path == nullptr) {
    zv_log(ZV_LOG_ERRORS, "check_file: no files specify to check");
    return -1;
  }
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    int err = errno;
    zv_log(ZV_LOG_ERRORS, "check_file: cannot open %s - (%d) %s", path, err, stdlib_error(err));
    return -1;
  }
  if (lseek(fd.get(), 0, SEEK_END) < 0 || lseek(fd.get(), 0, SEEK_SET) != 0) {
    zv_log(ZV_LOG_ERRORS, "check_file: incorrect file %s size", path);
    return -1;
  }
  char probe[kTemplateProbe];
  size_t got = 0;
  int err = 0;
  while (got < sizeof probe) {
    ssize_t n = read(fd.get(), probe + got, sizeof probe - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got < sizeof probe) {
    zv_log(ZV_LOG_INFO, "check_file: error reading %s - (%d) %s", path, err, stdlib_error(err));
    return -1;
  }
  return 0;
}
