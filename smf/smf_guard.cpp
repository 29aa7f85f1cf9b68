// The one entry of every Milter callback.
#include "smf_guard.h"

#include "smf_message.h"
#include "zv_log.h"

bool smf_guard_enter(SMFICTX* ctx) noexcept {
  try {
    bool dropped = false;
    (void)smf_enter_callback(ctx, &dropped);
    return !dropped;
  } catch (...) {
    return true;  // the mark is lost, the callback still runs
  }
}

void smf_guard_leave(SMFICTX* ctx) noexcept {
  try {
    smf_leave_callback(ctx);
  } catch (...) {
  }
}

sfsistat smf_callback_failed(SMFICTX* ctx, const char* what, bool closing) noexcept {
  try {
    smf_private* record = closing ? nullptr : smf_fetch(ctx);
    zv_log(ZV_LOG_ERRORS, "[%s]: FATAL ERROR: unexpected failure in a Milter callback - %s",
           smf_qid(record), what != nullptr ? what : "unknown exception");
    if (closing) return SMFIS_CONTINUE;
    if (record != nullptr) smf_reset_message(record);
    return smf_processing_error(ctx);
  } catch (...) {
    return closing ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
  }
}

sfsistat smf_callback_dropped(SMFICTX*, bool closing) noexcept {
  // The message was neither scanned nor kept: whatever ProcessingErrors says, only a
  // temporary failure makes sure the MTA still holds it and tries again.
  return closing ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
}
