// Scan outcome handling: see zv_mailscan.h.
#include "zv_mailscan.h"

#include <cstring>
#include <string>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailsend.h"
#include "zv_options.h"
#include "zvc_strings.h"

namespace {

const char* or_null(const char* text) {
  return text ? text : "(null)";
}

// The four values that name a message in the outcome lines: queue identifier, base name
// of the spool file, envelope sender, and the single recipient or "rcpts". The pointers
// stay valid while the message record is not changed.
struct MessageLabel {
  const char* id;
  const char* file;
  const char* from;
  const char* to;
};

MessageLabel label_of(const mail_info* message) {
  const MailEnvelope* envelope = mail_envelope(message);
  const char* path = mail_path(message);
  const char* base = path ? std::strrchr(path, '/') : nullptr;
  const char* to = "rcpts";
  if (e_rcpts_num(envelope) == 1) {
    StringList* rcpts = e_rcpts(envelope);
    if (strings::begin(rcpts, strings::kForward)) to = or_null(strings::next(rcpts));
  }
  return MessageLabel{
      or_null(static_cast<const char*>(mail_get(message, MAIL_MESSAGE_ID))),
      base ? base + 1 : or_null(path),
      or_null(e_from(envelope)),
      to,
  };
}

}  // namespace

void redirect_message(mail_info* message, const ActionsConfig* actions,
                      const MailerConfig* mailer) {
  if (message == nullptr || actions == nullptr || mailer == nullptr) {
    zv_log_bad_parameters("redirect:", message == nullptr, actions == nullptr, mailer == nullptr);
    return;
  }
  const char* id = or_null(static_cast<const char*>(mail_get(message, MAIL_MESSAGE_ID)));
  if (actions->redirect_mail == nullptr || *actions->redirect_mail == '\0') {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: redirect: parameter %s was not specified, so cannot use redirection", id,
           "RedirectMail");
    return;
  }
  MessageLabel l = label_of(message);
  MailEnvelopePtr envelope(actions->filter_mail ? e_create(actions->filter_mail) : nullptr);
  if (!envelope || e_from(envelope.get()) == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: redirect: the message(%s) sent by %s to %s was failed to create envelope", l.id,
           l.file, l.from, l.to);
    return;
  }
  if (!e_add_rcpt(envelope.get(), actions->redirect_mail)) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: redirect: the message(%s) sent by %s to %s was failed to set recipient", l.id,
           l.file, l.from, l.to);
    return;
  }
  const int* offset = static_cast<const int*>(mail_get(message, MAIL_HEADERS_OFFSET));
  if (!mailsend(envelope.get(), mail_path(message), offset ? *offset : 0, nullptr, 0, mailer)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: redirect: the message(%s) sent by %s to %s was failed to send",
           l.id, l.file, l.from, l.to);
    return;
  }
  zv_log(ZV_LOG_INFO, "[%s]: redirect: the message(%s) sent by %s to %s was redirected to %s", l.id,
         l.file, l.from, l.to, e_from(envelope.get()) ? actions->redirect_mail : "");
}
