// Scan outcome handling: what the filter does with a received message.
//
// scan_message() has the scanning daemon scan the spool file of a message and decides
// from the verdict and the configured actions what becomes of it: the findings are weighed
// in a fixed order (infection first, then suspicious objects, the five malware kinds, the
// rule filter, archive restrictions, skipped objects and scanning errors), and the first
// one whose action is not "pass" is carried out (quarantine, redirect, cure and
// re-injection of the cured copy) and has its notifications sent. The redirected and
// re-injected copies carry the secret own-copy mark (zv_actions.h), by which the
// front-end lets them pass unscanned when they come back; a copy from "FilterMail" to
// "RedirectMail" passes unscanned here too, and mail from the filter to itself is a loop.
//
// The module keeps no state. It reads the configuration record, which is read-only while
// the filter runs (its notification sections and the secure hash through filter_config());
// the non-notified lists lock themselves per query, the statistics agent link has its own
// mutex. Every outcome is logged with the message's queue identifier ("scan:",
// "redirect:").
#pragma once

#include <cstdint>

struct mail_info;
struct ScanningConfig;
struct ActionsConfig;
struct MailerConfig;
struct AgentConfig;
struct NotificationConfig;

// The status word of a message that could not be scanned.
inline constexpr uint32_t kScanFailedStatus = 0xF0000000u;

// Scans the message and decides. Returns the action code (ACTION_* of zv_options.h) that
// the caller answers the message with. *status is 0xF0000000 until a scan has completed
// and then the daemon's status word. The scan result is attached to the message record,
// the reply string is set to the reply text of the deciding finding, and the record is
// marked keep_file when its file was moved to quarantine. Null arguments give the
// processing-error action.
[[nodiscard]] int scan_message(mail_info* message, const ScanningConfig* scanning,
                               const ActionsConfig* actions, const MailerConfig* mailer,
                               AgentConfig* agent, uint32_t* status);

// Weighs one finding: 1 when the message's scan result has none of the `mask` bits or
// when `action` is "pass" (the administrator is told, with `text` in the log line);
// otherwise carries out `action` (redirect, quarantine), notifies with `section` and
// returns the resulting action: "reject" when the quarantine failed, "discard" for the
// empty sender.
[[nodiscard]] int check_result(mail_info* message, uint32_t mask, int action,
                               const NotificationConfig* section, const ActionsConfig* actions,
                               const MailerConfig* mailer, const char* text);

// Weighs the infection (status 0x20 or 0x80), whose cure outcome decides between the
// "Infected", "Incurable" and "CureFail" actions. `options` is the first option word of
// the scan request. 1 when the weighing goes on (cured in place, with the cured
// notifications sent), else the action, with the reply string set.
[[nodiscard]] int check_infected(mail_info* message, uint32_t options,
                                 const ScanningConfig* scanning, const ActionsConfig* actions,
                                 const MailerConfig* mailer);

// Hands the daemon's cured copy of the message to the submitter for the received
// message's recipients, preceded by the own-copy mark of `actions` (when it has one), so
// that the copy passes the filter unscanned when it comes back. 1 when it was submitted
// or when the daemon cured the spool file in place (no copy), 0 on failure (logged).
[[nodiscard]] int inject_cured(mail_info* message, const ActionsConfig* actions,
                               const MailerConfig* mailer);

// Sends the received message, as spooled from its headers offset to the end of its file,
// from the "FilterMail" address to the "RedirectMail" address through the submitter,
// preceded by the own-copy mark of `actions` (when it has one). The mark lets the copy
// pass the filter unscanned when it comes back, however the MTA rewrote the envelope;
// the sender and recipient pair is recognised as well. No result: every outcome is
// logged, and a failed redirect does not change what becomes of the received message.
void redirect_message(mail_info* message, const ActionsConfig* actions, const MailerConfig* mailer);
