// The per-connection private record of the Milter callbacks and the procedures they
// share: the record's life in libmilter's per-context slot, the message clean-up, the
// processing failure exit, the mapping of actions to libmilter statuses, the one place
// that sets a custom SMTP reply, spool writes with their failure diagnostics, and the
// deny-mode decision.
//
// One record belongs to one SMTP connection. libmilter calls a connection's callbacks one
// after the other, though not always on the same thread, so the record lives only in the
// context's private slot and never in thread-local storage; records of different
// connections are never shared. One mutex of this module guards the list of messages in
// progress and each record's busy and dropped marks (see smf_enter_callback); it is held
// only for those few fields. The deny-list query takes the list's mutex.
#pragma once

#include <libmilter/mfapi.h>
#include <sys/stat.h>

#include <initializer_list>
#include <source_location>

#include "zv_owned.h"

struct mail_info;

struct smf_private {
  int fd = -1;                      // open spool file, -1 when none
  mail_info* mail = nullptr;        // the current message, owned; null between messages
  int body_offset = 0;              // body offset in the spool file of a cured message
  int rcpt_count = 0;               // recipients counted by the deny-mode check
  int uncheckable_rcpts = 0;        // of those, the ones found uncheckable
  bool sender_uncheckable = false;  // connection-wide: the last sender was uncheckable
  bool hash_ok = false;             // the message is the filter's own notification
  zv::UniqueMalloc<char> helo;      // connection-wide: first non-empty HELO name
  int cte_count = 0;                // Content-Transfer-Encoding headers of the message
  bool in_progress = false;         // a message is being spooled or scanned
  // The stop's marks and the list of messages in progress, guarded by the module's mutex:
  bool busy = true;                         // a callback runs on the record (connect made it)
  bool dropped = false;                     // the stop ended its message while it was idle
  smf_private* previous_message = nullptr;  // neighbours in the list of messages in progress
  smf_private* next_message = nullptr;
  struct stat st {};  // scratch for the diagnostics after a failed write
};

// Roles of an address in the deny-mode decision.
inline constexpr int kRoleSender = 1;
inline constexpr int kRoleRecipient = 2;

// The libmilter status for a FilterAction code (SMFIS_REJECT for an unknown code).
[[nodiscard]] sfsistat action_to_status(int action);

// Sets `text` as the SMTP reply "554 5.7.0" when custom replies are configured and
// `action` is "reject"; any other action leaves libmilter's default reply.
void setreply(SMFICTX* ctx, const char* text, int action);

// The base name of a source file, for the log lines that name where they come from.
const char* source_name(const std::source_location& where);

// The record in the context's slot; null when there is none.
[[nodiscard]] smf_private* smf_fetch(SMFICTX* ctx);

// Stores `record` (may be null) in the context's slot. false when libmilter refuses it;
// the caller logs what that means for it.
[[nodiscard]] bool smf_store(SMFICTX* ctx, smf_private* record);

// A callback found no record: logs it, stores a null record and answers with the
// ProcessingErrors action (custom reply included).
[[nodiscard]] sfsistat smf_no_record(SMFICTX* ctx,
                                     std::source_location where = std::source_location::current());

// Ends the message in the record: closes the spool file, deletes the message record (the
// file is unlinked unless DebugSpool keeps it; a verified notification's file always is,
// a kept file never) and resets every message field. The connection fields stay.
void smf_reset_message(smf_private* record);

// A new record, counted as an open connection until smf_free_private; null without memory.
[[nodiscard]] smf_private* smf_new_private();

// Frees the record and all it holds.
void smf_free_private(smf_private* record);

// Counts the message that `record` starts to spool; smf_reset_message ends it.
void smf_begin_message(smf_private* record);

// For an orderly stop: the connections that hold a record, and the messages between
// their envelope sender and their end. main waits for the messages before it takes the
// client library down, and frees the configuration only when no connection is left that
// could still read it.
int smf_open_connections();
int smf_messages_in_progress();

// A callback's entry and exit, around its whole body (smf_guard.h). The entry marks the
// context's record busy and gives it back; null when there is none, or when the stop has
// dropped its message (*dropped is then true and the record must not be touched). The
// exit clears the mark of whatever record the context holds by then.
[[nodiscard]] smf_private* smf_enter_callback(SMFICTX* ctx, bool* dropped);
void smf_leave_callback(SMFICTX* ctx);

// For the stop, once libmilter's loop has returned: ends every message in progress whose
// record no callback runs on. Such a message waits for its MTA, and libmilter serves no
// connection after its loop has ended, so nothing else would ever close or remove its
// spool file. Each one is logged; a later callback on its record only answers the
// ProcessingErrors status. The number of messages ended.
int smf_drop_idle_messages();

// The answer to a message-level failure: the ProcessingErrors action's status, with its
// custom reply.
[[nodiscard]] sfsistat smf_processing_error(SMFICTX* ctx);

// The processing failure exit: message clean-up, record stored, ProcessingErrors action
// with its reply. Returns the status of that action.
[[nodiscard]] sfsistat smf_fail(SMFICTX* ctx, smf_private* record);

// Stores the record at the end of a callback and returns `status`; when it cannot be
// stored, logs it and takes the processing failure exit instead.
[[nodiscard]] sfsistat smf_finish(SMFICTX* ctx, smf_private* record, sfsistat status,
                                  std::source_location where = std::source_location::current());

// The queue identifier of the current message, or "???".
const char* smf_qid(const smf_private* record);

// Appends `text` to the spool file. true when all was written; false after the write
// failure diagnostics have been logged; the caller then takes the failure exit.
[[nodiscard]] bool spool_write(smf_private* record, const char* text);
// Appends the pieces one after the other (null pieces are skipped). Pieces that together
// fit in a small buffer go out in one write, whose text the diagnostics then name; longer
// ones are written piece by piece.
[[nodiscard]] bool spool_write(smf_private* record, std::initializer_list<const char*> pieces);

// The deny-mode decision for an address in a role (kRoleSender, kRoleRecipient), or the
// final decision with a null address. true: the message is not to be checked.
[[nodiscard]] bool check_deny_mode(smf_private* record, const char* address, int role);
