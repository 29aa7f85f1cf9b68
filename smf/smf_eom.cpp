// The end-of-message callback and the replies.
#include "smf_eom.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "smf_message.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailscan.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zvc_result.h"

namespace {

constexpr size_t kReadPiece = 4096;

const char* sender_of(const smf_private* record) {
  const char* from = record->mail != nullptr ? e_from(mail_envelope(record->mail)) : nullptr;
  return from != nullptr ? from : "unknown";
}

// A verified notification leaves without its hash header, or not at all.
sfsistat pass_notification(SMFICTX* ctx, const char* qid) {
  zv_log(ZV_LOG_INFO, "[%s]: notification with valid secure-hash - pass without check", qid);
  if (smfi_chgheader(ctx, const_cast<char*>("X-zarvik-hash"), 1, const_cast<char*>("")) ==
      MI_SUCCESS)
    return SMFIS_ACCEPT;
  zv_log(ZV_LOG_ALERTS, "[%s]: cannot remove secure-hash from notification, so discard it", qid);
  return SMFIS_DISCARD;
}

// The CureFail answer when a cured message cannot be handed back.
sfsistat cure_failed(SMFICTX* ctx) {
  const ActionsConfig& actions = filter_config()->actions;
  setreply(ctx, actions.reply_error, actions.cure_fail);
  return action_to_status(actions.cure_fail);
}

// Replaces the received body by the cured spool file. The status to answer with;
// *headers_follow becomes false when the message ends without the X-Antivirus headers
// (its headers could not be read or changed).
sfsistat hand_back_cured(SMFICTX* ctx, smf_private* record, uint32_t code, const char* qid,
                         bool* headers_follow) {
  zv_log(ZV_LOG_VERBOSE, "[%s]: send cured message back to sendmail", qid);
  const int* length = record->mail != nullptr
                          ? static_cast<const int*>(mail_get(record->mail, MAIL_HEADERS_LENGTH))
                          : nullptr;
  if (length == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot got length of cured message headers", qid);
    zv_log(ZV_LOG_ALERTS, "[%s]: cannot update message info", qid);
    *headers_follow = false;
    return cure_failed(ctx);
  }
  record->body_offset = *length;  // the cured file's headers start at offset 0
  if ((code & kStatusDeleted) != 0 && record->cte_count > 0 &&
      smfi_chgheader(ctx, const_cast<char*>("Content-Transfer-Encoding"), record->cte_count,
                     const_cast<char*>("7bit")) != MI_SUCCESS) {
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot change headers in cured message", qid);
    *headers_follow = false;
    return cure_failed(ctx);
  }
  if (replace_body(ctx, mail_path(record->mail), record->body_offset) != 0) {
    zv_log(ZV_LOG_ALERTS, "[%s]: cannot send cured message back to sendmail - mark as incureable",
           qid);
    return cure_failed(ctx);
  }
  return SMFIS_ACCEPT;
}

void add_x_headers(SMFICTX* ctx, uint32_t code, const char* qid) {
  const ScanningConfig& scanning = filter_config()->scanning;
  if (!scanning.add_x_headers) return;
  char text[23];
  snprintf(text, sizeof text, "%" PRIX32, code);
  if (smfi_addheader(ctx, const_cast<char*>("X-Antivirus"), scanning.x_antivirus) != MI_SUCCESS ||
      smfi_addheader(ctx, const_cast<char*>("X-Antivirus-Code"), text) != MI_SUCCESS)
    zv_log(ZV_LOG_ALERTS, "[%s]: cannot add X-Antivirus header to message", qid);
}

}  // namespace

int replace_body(SMFICTX* ctx, const char* path, off_t offset) {
  struct stat status {};
  if (path == nullptr || stat(path, &status) != 0) {
    int error = errno;
    zv_log(ZV_LOG_VERBOSE, "cannot stat cured message %s - %s", path != nullptr ? path : "(null)",
           stdlib_error(error));
    errno = error;
    return -1;
  }
  if (offset < 0 || offset > status.st_size) {
    zv_log(ZV_LOG_VERBOSE, "body offset %ld is beyond the end of %s", static_cast<long>(offset),
           path);
    errno = EINVAL;
    return -1;
  }
  size_t size = static_cast<size_t>(status.st_size - offset);
  zv::UniqueMalloc<unsigned char> body(static_cast<unsigned char*>(malloc(size > 0 ? size : 1)));
  if (body == nullptr) {
    zv_log(ZV_LOG_VERBOSE, "no memory for the cured body of %s (%zu bytes)", path, size);
    errno = ENOMEM;
    return -1;
  }
  zv::UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid() || lseek(fd.get(), offset, SEEK_SET) != offset) {
    int error = errno;
    zv_log(ZV_LOG_VERBOSE, "cannot open %s at offset %ld - %s", path, static_cast<long>(offset),
           stdlib_error(error));
    errno = error;
    return -1;
  }
  size_t done = 0;
  while (done < size) {
    size_t want = size - done < kReadPiece ? size - done : kReadPiece;
    ssize_t got = read(fd.get(), body.get() + done, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      int error = errno;
      zv_log(ZV_LOG_VERBOSE, "cannot read %s - %s", path, stdlib_error(error));
      errno = error;
      return -1;
    }
    if (got == 0) break;  // the file shrank: hand back what there is
    done += static_cast<size_t>(got);
  }
  if (fd.close() != 0) {
    int error = errno;
    zv_log(ZV_LOG_VERBOSE, "cannot close %s - %s", path, stdlib_error(error));
    errno = error;
    return -1;
  }
  if (smfi_replacebody(ctx, body.get(), static_cast<int>(done)) != MI_SUCCESS) {
    zv_log(ZV_LOG_VERBOSE, "libmilter refused the cured body of %s (%zu bytes)", path, done);
    return -1;
  }
  return 0;
}

sfsistat smf_eom(SMFICTX* ctx) {
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  FilterConfig* config = filter_config();
  const char* qid = smf_qid(record);
  zv_log(ZV_LOG_DEBUG, "[%s]: end of message chunks", qid);
  if (record->fd >= 0) {
    // A late write error shows only here; a file that did not reach the disk whole must
    // not be scanned as the message. A verified notification is not scanned at all.
    int error = fsync(record->fd) == 0 ? 0 : errno;
    if (close(record->fd) != 0 && error == 0) error = errno;
    record->fd = -1;
    if (error != 0 && !record->hash_ok) {
      zv_log(ZV_LOG_ERRORS, "[%s]: cannot save message to temporary file - (%d) %s", qid, error,
             stdlib_error(error));
      return smf_fail(ctx, record);
    }
  }
  sfsistat status;
  if (record->hash_ok) {
    status = pass_notification(ctx, qid);
  } else {
    zv_log(ZV_LOG_VERBOSE, "[%s]: start scanning message from %s ...", qid, sender_of(record));
    uint32_t code = kScanFailedStatus;
    int action = scan_message(record->mail, &config->scanning, &config->actions, &config->mailer,
                              &config->agent, &code);
    const char* reply = record->mail != nullptr
                            ? static_cast<const char*>(mail_get(record->mail, MAIL_REPLY_STRING))
                            : nullptr;
    setreply(ctx, reply, action);
    status = action_to_status(action);
    bool headers_follow = true;
    if (config->scanning.local_scan && status == SMFIS_ACCEPT &&
        (code & (kStatusCured | kStatusDeleted)) != 0)
      status = hand_back_cured(ctx, record, code, qid, &headers_follow);
    if (headers_follow) add_x_headers(ctx, code, qid);
  }
  zv_log(ZV_LOG_INFO, "[%s]: processing message from %s is over", qid, sender_of(record));
  smf_reset_message(record);  // qid and the sender are gone from here on
  if (smf_store(ctx, record)) return status;
  zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - FATAL ERROR: cannot store private data", "???",
         source_name(std::source_location::current()), __LINE__);
  return smf_fail(ctx, record);
}
