// Notifications about scanned messages: who may be told (notify) and what the mail says
// (report).
//
// notify() decides for one role (sender, recipients, administrator) whether a notification
// may go out at all (the section's switches, the non-notified viruses and addresses lists,
// the empty sender, a notification about a notification), builds its envelope from the
// filter's own address and submits the text that report() made from the role's template.
// report() copies a template file and expands its macros with the facts of the message and
// of its scan result. Texts taken from the received message (sender, recipients, subject)
// are expanded without line breaks, so that they can never add header lines to the mail
// that the filter sends in its own name.
//
// Nothing outlives a call; templates are read afresh each time. The lists are locked by
// their own module per query; the secure hash of the configuration record is read-only
// once the filter runs. Log prefixes "notify(%s):" and "report:".
#pragma once

#include <string>

struct mail_info;
struct StringList;
struct ActionsConfig;
struct MailerConfig;
struct NotificationConfig;

// Notification roles.
inline constexpr int NOTIFY_SENDER = 0;
inline constexpr int NOTIFY_RCPTS = 1;
inline constexpr int NOTIFY_ADMIN = 2;

// The four values that name a message in the outcome lines: queue identifier, base name
// of the spool file, envelope sender, and the single recipient or "rcpts". Never null;
// the pointers stay valid while the message record is not changed.
struct MessageLabel {
  const char* id;
  const char* file;
  const char* from;
  const char* to;
};
MessageLabel message_label(const mail_info* message);

// True for the null sender: an envelope sender that begins with "<>", or the empty text
// that an empty MAIL argument leaves. Nobody can be told anything as that sender.
bool null_sender(const char* from);

// Sends the notification of `role` (NOTIFY_*) about `message`, built from the role's
// template of `section`. `quarantine` is the quarantine file of the message or null;
// `viruses` the found virus names that the non-notified viruses list is asked about, or
// null. No result: every outcome, refusals included, is logged, and none changes what
// becomes of the message.
void notify(mail_info* message, int role, const char* quarantine, StringList* viruses,
            const NotificationConfig* section, const ActionsConfig* actions,
            const MailerConfig* mailer);

// The text of a notification: the template at `template_path` with its macros expanded,
// preceded by the "X-zarvik-hash:" line when FastNotify is on. `quarantine` is the
// quarantine file of the message or null. A new malloc()ed text the caller frees with
// free(), or null (logged).
[[nodiscard]] char* report(mail_info* message, const char* template_path, const char* quarantine,
                           const ActionsConfig* actions);
