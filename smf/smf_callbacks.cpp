// The Milter callbacks from connection to body, abort and close, and the spooling.
#include "smf_callbacks.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string>

#include "smf_message.h"
#include "zv_files.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailutil.h"
#include "zv_options.h"
#include "zv_owned.h"

namespace {

constexpr const char* kFilterName = "Zarvik (R) Filter for sendmail ver.4.33";
constexpr const char* kHashHeader = "X-zarvik-hash";

// A macro's value, or `fallback` when sendmail did not send it.
const char* macro(SMFICTX* ctx, const char* name, const char* fallback) {
  const char* value = smfi_getsymval(ctx, const_cast<char*>(name));
  return value != nullptr ? value : fallback;
}

bool starts_with(const char* text, const char* prefix) {
  return strncmp(text, prefix, strlen(prefix)) == 0;
}

// The texts that the MTA hands in (HELO name, relay, queue identifier, sender) go into the
// lines below through one_line(): a line break in one of them would end the spooled
// header block early and take the message's own MIME headers out of the scan.

// Writes the synthesised Received: header. false after a failed write or when memory runs
// out.
bool write_received(smf_private* record, const char* qid, const char* relay) {
  const char* host = filter_config()->scanning.hostname;
  const bool helo = record->helo != nullptr;
  char date[64];
  time_t now = time(nullptr);
  struct tm local {};
  const bool dated = localtime_r(&now, &local) != nullptr &&
                     strftime(date, sizeof date, "%a, %d %b %Y %T %z", &local) > 0;
  if (!dated) zv_log(ZV_LOG_ALERTS, "[%s]: cannot get current time", qid);
  std::string from, by, id;
  try {
    from = helo ? one_line(record->helo.get()) + " ( " + one_line(relay) + " )" : one_line(relay);
    by = one_line(host != nullptr ? host : "unknown hostname");
    id = one_line(qid);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", qid);
    return false;
  }
  return spool_write(
      record, {"Received: from ", from.c_str(), "\r\n\tby ", by.c_str(), " (", kFilterName,
               ")\r\n\tid ", id.c_str(), dated ? "; " : nullptr, dated ? date : nullptr, "\r\n"});
}

// Writes the Return-Path: line. false after a failed write or when memory runs out.
bool write_return_path(smf_private* record, const char* qid, const char* sender) {
  std::string path;
  try {
    path = one_line(sender);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", qid);
    return false;
  }
  return spool_write(record, {"Return-Path: ", path.c_str(), "\r\n"});
}

// Creates the spool file and the message record of a new message and writes its
// Return-Path: line and Received: header. SMFIS_CONTINUE, or the failure exit's status.
sfsistat start_spool(SMFICTX* ctx, smf_private* record, const char* from, const char* qid,
                     const char* relay) {
  const std::source_location here = std::source_location::current();
  const char* file = source_name(here);
  char* name = nullptr;
  smf_begin_message(record);
  record->fd = open_tmpfile(&filter_config()->scanning.spool, &name);
  zv::UniqueMalloc<char> path(name);
  if (record->fd < 0 || path == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - cannot create mail file", qid, file, __LINE__);
    if (record->fd >= 0) (void)close(record->fd);
    record->fd = -1;
    return smf_fail(ctx, record);
  }
  record->mail = mail_create(path.get());
  if (record->mail == nullptr) {
    // Without a record nothing else would remove the new file.
    zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - cannot create mail info", qid, file, __LINE__);
    (void)unlink(path.get());
    return smf_fail(ctx, record);
  }
  if (!e_set_from(mail_envelope(record->mail), from)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - cannot save from", qid, file, __LINE__);
    return smf_fail(ctx, record);
  }
  if (!mail_set(record->mail, MAIL_MESSAGE_ID, qid)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - cannot save message ID", qid, file, __LINE__);
    return smf_fail(ctx, record);
  }
  const char* sender = e_from(mail_envelope(record->mail));
  if (sender == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", qid);
    return smf_fail(ctx, record);
  }
  if (!write_return_path(record, qid, sender)) return smf_fail(ctx, record);
  off_t position = lseek(record->fd, 0, SEEK_CUR);
  int offset = static_cast<int>(position);
  if (position < 0 || !mail_set(record->mail, MAIL_HEADERS_OFFSET, &offset)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot save headers offset", qid);
    return smf_fail(ctx, record);
  }
  if (!write_received(record, qid, relay)) return smf_fail(ctx, record);
  return SMFIS_CONTINUE;
}

// Writes one header of the message as it came, except for a line break that does not
// begin a folded line of the value (an empty line in it, a break at its end, any break in
// the name): that would end the spooled header block early and becomes a blank. sendmail
// never hands such a header. false after a failed write or when memory runs out.
bool write_header(smf_private* record, const char* name, const char* value) {
  if (value == nullptr) value = "<NULL>";
  if (strpbrk(name, "\r\n") == nullptr && strpbrk(value, "\r\n") == nullptr)
    return spool_write(record, {name, ": ", value, "\r\n"});
  std::string line_name, line_value;
  try {
    line_name = one_line(name);
    line_value = one_line(value, true);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", smf_qid(record));
    return false;
  }
  return spool_write(record, {line_name.c_str(), ": ", line_value.c_str(), "\r\n"});
}

// Ends a message that the deny list or the empty-sender rule takes out of checking.
sfsistat end_unchecked(SMFICTX* ctx, smf_private* record, sfsistat status) {
  smf_reset_message(record);
  return smf_finish(ctx, record, status);
}

}  // namespace

sfsistat smf_connect(SMFICTX* ctx, char* host, _SOCK_ADDR*) {
  zv_log(ZV_LOG_VERBOSE, "connect with %s", host != nullptr ? host : "unknown");
  smf_private* record = smf_new_private();
  if (record == nullptr) {
    zv_log(ZV_LOG_ERRORS, "cannot create private data");
    if (!smf_store(ctx, nullptr))
      zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store connection private data",
             source_name(std::source_location::current()), __LINE__);
    return SMFIS_REJECT;
  }
  if (!smf_store(ctx, record)) {
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store private data",
           source_name(std::source_location::current()), __LINE__);
    smf_free_private(record);
    (void)smf_store(ctx, nullptr);
    return SMFIS_REJECT;
  }
  return SMFIS_CONTINUE;
}

sfsistat smf_helo(SMFICTX* ctx, char* name) {
  const char* file = source_name(std::source_location::current());
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) {
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot extract private data from context", file,
           __LINE__);
    if (!smf_store(ctx, nullptr))
      zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store connection private data", file,
             __LINE__);
    return SMFIS_REJECT;
  }
  if (name != nullptr && *name != '\0' && record->helo == nullptr) {
    zv_log(ZV_LOG_VERBOSE, "helo %s", name);
    record->helo.reset(strdup(name));  // no memory: the connection goes on without a name
  } else {
    zv_log(ZV_LOG_VERBOSE, "helo <unknown>");
  }
  if (smf_store(ctx, record)) return SMFIS_CONTINUE;
  zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store private data", file, __LINE__);
  smf_free_private(record);
  if (!smf_store(ctx, nullptr))
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store connection private data", file,
           __LINE__);
  return SMFIS_REJECT;
}

sfsistat smf_envfrom(SMFICTX* ctx, char** argv) {
  const char* first = argv != nullptr ? argv[0] : nullptr;
  zv_log(ZV_LOG_VERBOSE, "envelope from %s", first != nullptr ? first : "<>");
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  // A message left over from an earlier transaction is ended properly, never leaked.
  smf_reset_message(record);
  const char* qid = macro(ctx, "{i}", "???");
  const ActionsConfig& actions = filter_config()->actions;
  zv::UniqueMalloc<char> normalised;
  if (first == nullptr || *first == '\0') {
    if (actions.empty_from != ACTION_CONTINUE) {
      zv_log(ZV_LOG_ALERTS, "processing from <> is blocked");
      setreply(ctx, actions.reply_empty_from, actions.empty_from);
      return end_unchecked(ctx, record, action_to_status(actions.empty_from));
    }
    zv_log(ZV_LOG_VERBOSE, "processing with from=<> is allowed - continue");
    normalised.reset(strdup("<>"));
  } else {
    normalised.reset(mail_address(first));
  }
  if (normalised == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", qid);
    return smf_fail(ctx, record);
  }
  zv_log(ZV_LOG_VERBOSE, "got message-id[%d] = %s", static_cast<int>(strlen(qid)), qid);
  const char* relay = macro(ctx, "{_}", "unknown");
  zv_log(ZV_LOG_VERBOSE, "[%s]: retrieve last relay[%d] = %s", qid, static_cast<int>(strlen(relay)),
         relay);
  zv_log(ZV_LOG_VERBOSE, "[%s]: start processing from %s", qid, normalised.get());
  if (check_deny_mode(record, normalised.get(), kRoleSender)) {
    zv_log(ZV_LOG_ALERTS, "[%s]: skip check this mail - sender=%s is <uncheckable>", qid,
           normalised.get());
    return end_unchecked(ctx, record, SMFIS_ACCEPT);
  }
  sfsistat status = start_spool(ctx, record, first, qid, relay);
  if (status != SMFIS_CONTINUE) return status;
  return smf_finish(ctx, record, SMFIS_CONTINUE);
}

sfsistat smf_envrcpt(SMFICTX* ctx, char** argv) {
  const char* first = argv != nullptr ? argv[0] : nullptr;
  if (first == nullptr || *first == '\0') return SMFIS_CONTINUE;
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  const char* qid = smf_qid(record);
  zv::UniqueMalloc<char> normalised(mail_address(first));
  if (normalised == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: no memory for private data", qid);
    return smf_fail(ctx, record);
  }
  zv_log(ZV_LOG_VERBOSE, "[%s]: envelope to %s", qid, normalised.get());
  if (check_deny_mode(record, normalised.get(), kRoleRecipient)) {
    zv_log(ZV_LOG_ALERTS, "[%s]: skip check this mail - rcpt=%s is <uncheckable>", qid,
           normalised.get());
    return end_unchecked(ctx, record, SMFIS_ACCEPT);
  }
  if (!e_add_rcpt(mail_envelope(record->mail), first)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - FATAL ERROR: cannot add recipient to list %s", qid,
           source_name(std::source_location::current()), __LINE__, first);
    return smf_fail(ctx, record);
  }
  return smf_finish(ctx, record, SMFIS_CONTINUE);
}

sfsistat smf_header(SMFICTX* ctx, char* name, char* value) {
  if (name == nullptr) return SMFIS_CONTINUE;
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  const char* qid = smf_qid(record);
  zv_log(ZV_LOG_DEBUG, "[%s]: header - %s:%s", qid, name, value != nullptr ? value : "");
  if (record->hash_ok) return smf_finish(ctx, record, SMFIS_CONTINUE);
  if (check_deny_mode(record, nullptr, 0)) {
    zv_log(ZV_LOG_ALERTS, "[%s]: skip check this mail by deny mode", qid);
    return end_unchecked(ctx, record, SMFIS_ACCEPT);
  }
  const FilterConfig* config = filter_config();
  if (starts_with(name, kHashHeader) && is_own_mark(&config->actions, value)) {
    // A redirected or re-injected copy of the filter's own: it passes as a notification.
    zv_log(ZV_LOG_VERBOSE, "[%s]: message is the filter's own copy", qid);
    record->hash_ok = true;
  } else if (config->notification_options.fast_notify && starts_with(name, kHashHeader)) {
    const char* hash = config->notification_options.secure_hash;
    // An empty token would let every value through; FastNotify always makes one.
    if (value != nullptr && *hash != '\0' && starts_with(value, hash)) {
      zv_log(ZV_LOG_VERBOSE, "[%s]: message contains secure hash", qid);
      record->hash_ok = true;
    } else {
      zv_log(ZV_LOG_ALERTS, "[%s]: ALERT: anybody tries pass message with incorrect hash", qid);
    }
  }
  if (value != nullptr) {
    if (starts_with(name, "Subject")) {
      if (!mail_set(record->mail, MAIL_SUBJECT, value)) {
        zv_log(ZV_LOG_ERRORS, "[%s]: no memory to story subject", qid);
        return smf_fail(ctx, record);
      }
    } else if (starts_with(name, "Content-Transfer-Encoding")) {
      ++record->cte_count;
    }
  }
  if (!write_header(record, name, value)) return smf_fail(ctx, record);
  return smf_finish(ctx, record, SMFIS_CONTINUE);
}

sfsistat smf_eoh(SMFICTX* ctx) {
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  const char* qid = smf_qid(record);
  zv_log(ZV_LOG_VERBOSE, "[%s]: end of headers", qid);
  if (record->hash_ok) return smf_finish(ctx, record, SMFIS_CONTINUE);
  const int* offset = static_cast<const int*>(mail_get(record->mail, MAIL_HEADERS_OFFSET));
  off_t position = record->fd >= 0 ? lseek(record->fd, 0, SEEK_CUR) : -1;
  int length = offset != nullptr ? static_cast<int>(position) - *offset : 0;
  zv_log(ZV_LOG_VERBOSE, "[%s]: headers { offset=%d, length=%d }", qid,
         offset != nullptr ? *offset : 0, length);
  if (position < 0 || !mail_set(record->mail, MAIL_HEADERS_LENGTH, &length)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot save headers length", qid);
    return smf_fail(ctx, record);
  }
  if (!spool_write(record, "\r\n")) return smf_fail(ctx, record);
  return smf_finish(ctx, record, SMFIS_CONTINUE);
}

sfsistat smf_body(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return smf_no_record(ctx);
  const char* qid = smf_qid(record);
  zv_log(ZV_LOG_DEBUG, "[%s]: message chunk - %d bytes", qid, static_cast<int>(length));
  if (record->hash_ok) return smf_finish(ctx, record, SMFIS_CONTINUE);
  if (!write_buffer(record->fd, chunk, length)) {
    int error = errno;
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot save message body to temporary file - (%d) %s", qid, error,
           stdlib_error(error));
    return smf_fail(ctx, record);
  }
  return smf_finish(ctx, record, SMFIS_CONTINUE);
}

sfsistat smf_abort(SMFICTX* ctx) {
  const ActionsConfig& actions = filter_config()->actions;
  smf_private* record = smf_fetch(ctx);
  if (record == nullptr) return action_to_status(actions.processing_errors);
  if (record->mail != nullptr) {
    const char* from = e_from(mail_envelope(record->mail));
    zv_log(ZV_LOG_ALERTS, "[%s]: message from %s is aborted", smf_qid(record),
           from != nullptr ? from : "unknown");
  } else {
    zv_log(ZV_LOG_ALERTS, "message from %s is aborted", "unknown");
  }
  smf_reset_message(record);
  if (!smf_store(ctx, record))
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store private data",
           source_name(std::source_location::current()), __LINE__);
  return action_to_status(actions.processing_errors);
}

sfsistat smf_close(SMFICTX* ctx) {
  zv_log(ZV_LOG_VERBOSE, "end of a SMTP session");
  smf_private* record = smf_fetch(ctx);
  if (record != nullptr) {
    smf_free_private(record);
    if (!smf_store(ctx, nullptr)) {
      zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store private data",
             source_name(std::source_location::current()), __LINE__);
      const ActionsConfig& actions = filter_config()->actions;
      setreply(ctx, actions.reply_error, actions.processing_errors);
    }
  }
  return SMFIS_CONTINUE;
}
