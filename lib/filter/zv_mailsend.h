// Mail submission: hands a mail that the filter itself sends (notification, redirected
// or re-injected message, configuration test mail) to the configured submitter program.
//
// mailsend() builds the submitter's command line from the envelope and the "Mailer"
// settings, starts the program detached (zv_dfork) and writes the message into its
// standard input. Nothing outlives the call but the started program and the process that
// waits for it (zv_dfork). No state, no locks; log prefix "mailsend:".
#pragma once

#include <sys/types.h>

#include <cstddef>

struct mail_envelope;
struct MailerConfig;

// Submits one message from the envelope's sender to its recipients. Exactly one of
// `file` (its content from `offset` to the end is the message) and `text` (its first
// `length` bytes are) must be given. `queue_id` names the message the submission belongs
// to in the lines about it (null: "???"); `prefix`, when given, is written to the
// submitter before the message (the header line that marks the filter's own copies).
// With null `mailer` no program is started and the message goes to standard error. 1
// when the whole message was written to the submitter, 0 otherwise (logged). A submitter
// that has not read the whole message within a minute is killed and the submission
// fails. A submitter that fails later is logged with its exit status and `queue_id` when
// the submitter watch of zv_dfork runs.
[[nodiscard]] int mailsend(const struct mail_envelope* envelope, const char* file, off_t offset,
                           const char* text, size_t length, const MailerConfig* mailer,
                           const char* queue_id = nullptr, const char* prefix = nullptr);

namespace zv_mailsend_detail {
// mailsend() with the submitter given `deadline_ms` milliseconds to read the message.
[[nodiscard]] int mailsend_within(const struct mail_envelope* envelope, const char* file,
                                  off_t offset, const char* text, size_t length,
                                  const MailerConfig* mailer, int deadline_ms,
                                  const char* queue_id = nullptr, const char* prefix = nullptr);
}  // namespace zv_mailsend_detail
