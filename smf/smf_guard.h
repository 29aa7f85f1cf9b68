// The one entry of every Milter callback: libmilter is given guarded<callback>.
//
// libmilter is C: an exception that left a callback would unwind through its frames and
// end the process. The guard runs the callback's whole body, catches whatever it throws,
// logs it (with the queue identifier when the message has one), ends the message and
// answers the ProcessingErrors status, as for any other internal failure of a message.
// Around the body it also marks the connection's record busy, which tells the stop which
// messages are still being worked on (smf_message.h); a record whose idle message the
// stop has dropped is not handed to the callback again. The guard takes the message
// module's mutex for a moment at the entry and at the exit, never across the body.
#pragma once

#include <libmilter/mfapi.h>

#include <exception>

// What the guard answers when the body threw: logs `what` (null when the exception was
// not a std::exception), ends the message of the context's record and returns the
// ProcessingErrors status with its reply; for the close callback (`closing`) it touches
// nothing and returns SMFIS_CONTINUE.
[[nodiscard]] sfsistat smf_callback_failed(SMFICTX* ctx, const char* what, bool closing) noexcept;

// What the guard answers on a record whose message the stop has dropped: SMFIS_TEMPFAIL
// (the message was neither scanned nor kept), or SMFIS_CONTINUE for the close callback.
[[nodiscard]] sfsistat smf_callback_dropped(SMFICTX* ctx, bool closing) noexcept;

// Marks the context's record busy; false when the stop has dropped its message.
[[nodiscard]] bool smf_guard_enter(SMFICTX* ctx) noexcept;
// Clears the busy mark of the record the context holds after the body.
void smf_guard_leave(SMFICTX* ctx) noexcept;

template <auto Callback, bool kCloses = false>
struct SmfGuard;

template <typename... Args, sfsistat (*Callback)(SMFICTX*, Args...), bool kCloses>
struct SmfGuard<Callback, kCloses> {
  static sfsistat call(SMFICTX* ctx, Args... args) noexcept {
    if (!smf_guard_enter(ctx)) return smf_callback_dropped(ctx, kCloses);
    sfsistat status;
    try {
      status = Callback(ctx, args...);
    } catch (const std::exception& e) {
      status = smf_callback_failed(ctx, e.what(), kCloses);
    } catch (...) {
      status = smf_callback_failed(ctx, nullptr, kCloses);
    }
    smf_guard_leave(ctx);
    return status;
  }
};

// The function to register for `Callback`; kCloses for the close callback, which frees
// the connection's record.
template <auto Callback, bool kCloses = false>
inline constexpr auto guarded = &SmfGuard<Callback, kCloses>::call;
