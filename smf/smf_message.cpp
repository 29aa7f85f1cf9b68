// The per-connection private record and the procedures the callbacks share.
#include "smf_message.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#include "zv_files.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_users.h"

sfsistat action_to_status(int action) {
  switch (action) {
    case ACTION_PASS:
      return SMFIS_ACCEPT;
    case ACTION_QUARANTINE:
    case ACTION_DISCARD:
    case ACTION_REDIRECT:
      return SMFIS_DISCARD;
    case ACTION_TEMPFAIL:
      return SMFIS_TEMPFAIL;
    case ACTION_CONTINUE:
      return SMFIS_CONTINUE;
    default:  // reject, remove, cure and anything unknown
      return SMFIS_REJECT;
  }
}

void setreply(SMFICTX* ctx, const char* text, int action) {
  zv_log(ZV_LOG_DEBUG, "zvlib: scan::setreply try to set '%s' as reply for action %d",
         text != nullptr ? text : "", action);
  if (!filter_config()->actions.use_custom_reply || action != ACTION_REJECT) return;
  zv_log(ZV_LOG_VERBOSE, "zvlib: scan::setreply set '%s' as reply", text != nullptr ? text : "");
  if (smfi_setreply(ctx, const_cast<char*>("554"), const_cast<char*>("5.7.0"),
                    const_cast<char*>(text)) != MI_SUCCESS)
    zv_log(ZV_LOG_ALERTS, "zvlib: scan::setreply cannot set custom reply");
}

const char* source_name(const std::source_location& where) {
  const char* name = where.file_name();
  const char* slash = strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

smf_private* smf_fetch(SMFICTX* ctx) {
  return static_cast<smf_private*>(smfi_getpriv(ctx));
}

bool smf_store(SMFICTX* ctx, smf_private* record) {
  return smfi_setpriv(ctx, record) == MI_SUCCESS;
}

namespace {

// The connections that hold a record: written by connection threads, read by main after
// libmilter's loop has returned. A plain counter, no lock.
std::atomic<int> open_connections{0};

// The messages in progress, so that the stop can find the idle ones, and every record's
// busy and dropped marks. Connection threads take the mutex for a moment at each callback's
// entry and exit and when a message begins or ends; main takes it at the stop.
std::mutex messages_mutex;
smf_private* first_message = nullptr;  // guarded by messages_mutex
int messages_in_progress = 0;          // guarded by messages_mutex

// Takes the record out of the list of messages in progress; the caller holds the mutex.
void unlink_message(smf_private* record) {
  if (record->previous_message != nullptr)
    record->previous_message->next_message = record->next_message;
  else
    first_message = record->next_message;
  if (record->next_message != nullptr)
    record->next_message->previous_message = record->previous_message;
  record->previous_message = record->next_message = nullptr;
  record->in_progress = false;
  --messages_in_progress;
}

}  // namespace

sfsistat smf_processing_error(SMFICTX* ctx) {
  const ActionsConfig& actions = filter_config()->actions;
  setreply(ctx, actions.reply_error, actions.processing_errors);
  return action_to_status(actions.processing_errors);
}

sfsistat smf_no_record(SMFICTX* ctx, std::source_location where) {
  zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot extract private data from context",
         source_name(where), static_cast<int>(where.line()));
  if (!smf_store(ctx, nullptr))
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store message private data",
           source_name(where), static_cast<int>(where.line()));
  return smf_processing_error(ctx);
}

void smf_reset_message(smf_private* record) {
  if (record->in_progress) {
    std::lock_guard<std::mutex> lock(messages_mutex);
    if (record->in_progress) unlink_message(record);
  }
  if (record->fd >= 0) {
    (void)fsync(record->fd);
    (void)close(record->fd);
  }
  if (record->mail != nullptr) {
    int unlink_file = record->hash_ok ? 1 : !filter_config()->logging.debug_spool;
    mail_delete(record->mail, unlink_file);
  }
  record->fd = -1;
  record->mail = nullptr;
  record->body_offset = 0;
  record->rcpt_count = 0;
  record->uncheckable_rcpts = 0;
  record->hash_ok = false;
  record->cte_count = 0;
}

smf_private* smf_new_private() {
  smf_private* record = new (std::nothrow) smf_private;
  if (record != nullptr) ++open_connections;
  return record;
}

void smf_free_private(smf_private* record) {
  if (record == nullptr) return;
  smf_reset_message(record);
  delete record;
  --open_connections;
}

void smf_begin_message(smf_private* record) {
  std::lock_guard<std::mutex> lock(messages_mutex);
  if (record->in_progress) return;
  record->in_progress = true;
  record->previous_message = nullptr;
  record->next_message = first_message;
  if (first_message != nullptr) first_message->previous_message = record;
  first_message = record;
  ++messages_in_progress;
}

int smf_open_connections() {
  return open_connections.load();
}

int smf_messages_in_progress() {
  std::lock_guard<std::mutex> lock(messages_mutex);
  return messages_in_progress;
}

smf_private* smf_enter_callback(SMFICTX* ctx, bool* dropped) {
  std::lock_guard<std::mutex> lock(messages_mutex);
  smf_private* record = smf_fetch(ctx);
  *dropped = record != nullptr && record->dropped;
  if (record == nullptr || *dropped) return nullptr;
  record->busy = true;
  return record;
}

void smf_leave_callback(SMFICTX* ctx) {
  std::lock_guard<std::mutex> lock(messages_mutex);
  smf_private* record = smf_fetch(ctx);
  if (record != nullptr && !record->dropped) record->busy = false;
}

int smf_drop_idle_messages() {
  // Taken out of the list under the mutex and marked dropped, the records are the
  // caller's alone: no callback touches a dropped record.
  smf_private* idle = nullptr;
  {
    std::lock_guard<std::mutex> lock(messages_mutex);
    for (smf_private* record = first_message; record != nullptr;) {
      smf_private* next = record->next_message;
      if (!record->busy) {
        unlink_message(record);
        record->dropped = true;
        record->next_message = idle;
        idle = record;
      }
      record = next;
    }
  }
  int count = 0;
  while (idle != nullptr) {
    smf_private* record = idle;
    idle = record->next_message;
    record->next_message = nullptr;
    const char* from = record->mail != nullptr ? e_from(mail_envelope(record->mail)) : nullptr;
    zv_log(ZV_LOG_ALERTS, "[%s]: message from %s is dropped - its connection was idle at the stop",
           smf_qid(record), from != nullptr ? from : "unknown");
    smf_reset_message(record);
    ++count;
  }
  return count;
}

sfsistat smf_fail(SMFICTX* ctx, smf_private* record) {
  std::source_location where = std::source_location::current();
  if (record != nullptr) smf_reset_message(record);
  if (!smf_store(ctx, record))
    zv_log(ZV_LOG_ERRORS, "%s(%d) - FATAL ERROR: cannot store message private data",
           source_name(where), static_cast<int>(where.line()));
  return smf_processing_error(ctx);
}

sfsistat smf_finish(SMFICTX* ctx, smf_private* record, sfsistat status,
                    std::source_location where) {
  if (smf_store(ctx, record)) return status;
  zv_log(ZV_LOG_ERRORS, "[%s]: %s(%d) - FATAL ERROR: cannot store private data", smf_qid(record),
         source_name(where), static_cast<int>(where.line()));
  return smf_fail(ctx, record);
}

const char* smf_qid(const smf_private* record) {
  const char* id = record != nullptr && record->mail != nullptr
                       ? static_cast<const char*>(mail_get(record->mail, MAIL_MESSAGE_ID))
                       : nullptr;
  return id != nullptr ? id : "???";
}

bool spool_write(smf_private* record, const char* text) {
  if (write_string(record->fd, text)) return true;
  int error = errno;
  const char* qid = smf_qid(record);
  zv_log(ZV_LOG_ERRORS, "[%s]: cannot write(%s) to %d - (%d) %s", qid, text, record->fd, error,
         stdlib_error(error));
  if (fstat(record->fd, &record->st) == 0) {
    zv_log(ZV_LOG_ERRORS, "[%s]: fd %d -> { mode = %#o, uid = %d, size =%d }", qid, record->fd,
           static_cast<unsigned>(record->st.st_mode), static_cast<int>(record->st.st_uid),
           static_cast<int>(record->st.st_size));
  } else {
    int stat_error = errno;
    zv_log(ZV_LOG_ERRORS, "[%s]: cannot stat fd %d - (%d) %s", qid, record->fd, stat_error,
           stdlib_error(stat_error));
  }
  errno = error;
  return false;
}

bool spool_write(smf_private* record, std::initializer_list<const char*> pieces) {
  // A header line is a handful of small texts; a write each would cost a system call each.
  char joined[1024];
  size_t length = 0;
  for (const char* piece : pieces) {
    if (piece == nullptr) continue;  // a part that this line leaves out
    const size_t n = strlen(piece);
    if (n >= sizeof joined - length) {
      for (const char* p : pieces)
        if (p != nullptr && !spool_write(record, p)) return false;
      return true;
    }
    memcpy(joined + length, piece, n);
    length += n;
  }
  joined[length] = '\0';
  return spool_write(record, joined);
}

bool check_deny_mode(smf_private* record, const char* address, int role) {
  const ScanningConfig& scanning = filter_config()->scanning;
  const int mode = scanning.deny_mode;
  if (address == nullptr) {
    switch (mode) {
      case DENY_BY_ALL:
        return record->rcpt_count == record->uncheckable_rcpts && record->sender_uncheckable;
      case DENY_BY_SENDER_AND_ONE_RECIPIENT:
        return record->uncheckable_rcpts > 0 && record->sender_uncheckable;
      case DENY_BY_ALL_RECIPIENTS:
        return record->rcpt_count == record->uncheckable_rcpts;
      default:  // the other modes decide at the sender or at a recipient
        return false;
    }
  }
  const bool uncheckable =
      users_match(scanning.deny_list, address, role, scanning.deny_by_default) == 0;
  if (role == kRoleSender) {
    if (uncheckable && (mode == DENY_BY_ONE || mode == DENY_BY_SENDER)) {
      zv_log(ZV_LOG_INFO, "zvlib: mail: sender %s is uncheckable - skip check (by deny_mode)",
             address);
      return true;
    }
    record->sender_uncheckable = uncheckable;
    return false;
  }
  if (uncheckable) {
    if (mode == DENY_BY_ONE || mode == DENY_BY_ONE_RECIPIENT ||
        (mode == DENY_BY_SENDER_AND_ONE_RECIPIENT && record->sender_uncheckable)) {
      zv_log(ZV_LOG_INFO, "zvlib: mail: rcpt %s is uncheckable - skip check (by deny_mode)",
             address);
      return true;
    }
    ++record->uncheckable_rcpts;
  }
  ++record->rcpt_count;
  return false;
}
