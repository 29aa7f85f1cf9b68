// Scan outcome handling: what the filter does with a scanned message.
//
// So far this module sends a message on to the configured redirect mailbox. It keeps no
// state and takes no locks; every outcome is logged with the message's queue identifier.
#pragma once

struct mail_info;
struct ActionsConfig;
struct MailerConfig;

// Sends the received message, as spooled from its headers offset to the end of its file,
// from the "FilterMail" address to the "RedirectMail" address through the submitter.
// That sender and recipient pair is what marks the copy as the filter's own when it comes
// back through the filter. No result: every outcome is logged, and a failed redirect does
// not change what becomes of the received message.
void redirect_message(mail_info* message, const ActionsConfig* actions, const MailerConfig* mailer);
