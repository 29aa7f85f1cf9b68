// Notifications and report templates: see zv_notify.h.
#include "zv_notify.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "zv_addresses.h"
#include "zv_badparam.h"
#include "zv_files.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailsend.h"
#include "zv_mailutil.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zv_viruses.h"
#include "zvc_result.h"
#include "zvc_strings.h"

namespace {

// Failures of these functions are logged under the name of the module they belong to.

// Template pieces: a line, or the next 127 bytes of a longer one.
constexpr int kPieceSize = 128;

const char* or_null(const char* text) {
  return text ? text : "(null)";
}

const char* role_name(int role) {
  switch (role) {
    case NOTIFY_SENDER:
      return "sender";
    case NOTIFY_RCPTS:
      return "rcpts";
    case NOTIFY_ADMIN:
      return "admin";
    default:
      return "ERROR";
  }
}

const char* base_name(const char* path) {
  const char* slash = path ? std::strrchr(path, '/') : nullptr;
  return slash ? slash + 1 : path;
}

using HeapText = zv::UniqueMalloc<char>;

// --- report ---------------------------------------------------------------------------

// The virus-name lists in the order of the virus list block, with their headings.
struct VirusHeading {
  int kind;
  const char* heading;
};
constexpr VirusHeading kVirusHeadings[] = {
    {kVirusKnown, "Known virus(es):"},
    {kVirusModification, "Modification(s) of known virus(es):"},
    {kVirusSuspicious, "Possible infection(s):"},
    {kVirusAdware, "Advertising software (adware):"},
    {kVirusDialer, "Dialer(s):"},
    {kVirusJoke, "Joke(s) or hoax(es):"},
    {kVirusRiskware, "Potentially dangerous software (riskware):"},
    {kVirusHacktool, "Intrusion tool(s) (hacktool(s)):"},
};

bool has_virus_lists(ScanResult* result) {
  VirusLists* lists = scanresult_viruses(result);
  if (lists == nullptr) return false;
  for (const VirusHeading& h : kVirusHeadings)
    if (lists->get(h.kind) != nullptr) return true;
  return false;
}

// One expansion of a template: the output and what the macros read.
class Expander {
 public:
  Expander(mail_info* message, const char* quarantine, const ActionsConfig* actions,
           StringList* out)
      : message_(message), quarantine_(quarantine), actions_(actions), out_(out) {}

  // Adds `text` (nothing for null or empty); false (logged) when that fails.
  bool add(const char* text) {
    if (text == nullptr || *text == '\0') return true;
    if (strings::add(out_, text)) return true;
    zv_log(ZV_LOG_ERRORS, "report: cannot add string <%s> to report", text);
    return false;
  }
  bool add(const std::string& text) { return add(text.c_str()); }

  void set_charset(std::optional<std::string> charset) { charset_ = std::move(charset); }

  // Expands the macro whose name starts at `name` (just after a "$"). *used is set to
  // the characters taken, closing "$" included; 0 when no macro is recognised there.
  // False when the expansion failed (logged).
  bool expand(const char* name, size_t* used);

 private:
  bool virus_block();
  bool whole_report();
  bool recipients(bool secure);
  bool subject();
  bool full_headers();

  mail_info* message_;
  const char* quarantine_;
  const ActionsConfig* actions_;
  StringList* out_;
  std::optional<std::string> charset_;
};

bool Expander::virus_block() {
  VirusLists* lists = scanresult_viruses(mail_result(message_));
  for (const VirusHeading& h : kVirusHeadings) {
    StringList* names = lists->get(h.kind);
    if (names == nullptr) continue;
    if (!strings::add(out_, h.heading) || !strings::add(out_, "\n") ||
        !strings::append_list(out_, names, "\n") || !strings::add(out_, "\n")) {
      zv_log(ZV_LOG_ERRORS, "report: cannot add <%s> virus(es) list to report", h.heading);
      return false;
    }
  }
  return true;
}

bool Expander::whole_report() {
  ScanResult* result = mail_result(message_);
  zv_log(ZV_LOG_INFO,
         "report: NOTE: obsolete macros $REPORT$ used, please use $DAEMON_REPORT$, $VIRUS_LIST$ "
         "and $SCAN_STAT$ instead");
  if (!add("= Zarvik detailed report:\n") || !add(scanresult_report(result)) || !add("\n"))
    return false;
  if (has_virus_lists(result)) {
    if (!add("= Following virus(es)/malware has been found:\n") || !virus_block()) return false;
  }
  std::optional<std::string> stats = stat_report(scanresult_stats(result));
  if (stats) {
    if (!add("= Scanning statistic:\n") || !add(*stats)) return false;
  }
  return true;
}

bool Expander::recipients(bool secure) {
  StringList* rcpts = e_rcpts(mail_envelope(message_));
  if (secure && strings::count(rcpts) > 1) return add("\"Recipients of original message\" <#@[]>");
  bool first = true;
  if (rcpts != nullptr) {
    for (const std::string& item : *rcpts) {
      const char* rcpt = item.c_str();
      try {
        std::string text = first ? "" : ", ";
        text += one_line(rcpt);
        if (!strings::add(out_, text)) {
          zv_log(ZV_LOG_ERRORS, "report: cannot add recipient to report");
          return false;
        }
      } catch (const std::bad_alloc&) {
        zv_log(ZV_LOG_ERRORS, "report: cannot add recipient(s) list to report");
        return false;
      }
      first = false;
    }
  }
  return true;
}

bool Expander::subject() {
  const char* raw = static_cast<const char*>(mail_get(message_, MAIL_SUBJECT));
  if (raw == nullptr) return add("[unknown-subject]");
  HeapText decoded(decode_subject(raw, charset_ ? charset_->c_str() : nullptr));
  try {
    return add(one_line(decoded ? decoded.get() : raw));
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "report: cannot add string <%s> to report", raw);
    return false;
  }
}

bool Expander::full_headers() {
  const int offset = *static_cast<const int*>(mail_get(message_, MAIL_HEADERS_OFFSET));
  const int length = *static_cast<const int*>(mail_get(message_, MAIL_HEADERS_LENGTH));
  zv_log(ZV_LOG_DEBUG, "mail: create report: headers off=%d len=%d", offset, length);
  constexpr char kNoHeaders[] = "No headers present in original mail\n";
  if (length <= 0) return add(kNoHeaders);
  std::unique_ptr<char[]> block(new (std::nothrow) char[static_cast<size_t>(length) + 1]);
  if (!block) return add(kNoHeaders);
  const char* file = quarantine_ ? quarantine_ : mail_path(message_);
  if (file == nullptr ||
      !read_message_part(file, offset, block.get(), static_cast<size_t>(length))) {
    zv_log(ZV_LOG_ERRORS, "report: cannot read headers to report");
    return false;
  }
  block[static_cast<size_t>(length)] = '\0';
  return add(block.get());
}

bool Expander::expand(const char* name, size_t* used) {
  ScanResult* result = mail_result(message_);
  auto is = [&](const char* macro) {
    size_t n = std::strlen(macro);
    if (std::strncmp(name, macro, n) != 0) return false;
    *used = n;
    return true;
  };
  *used = 0;
  if (result != nullptr && is("REPORT$")) return whole_report();
  if (result != nullptr && is("DAEMON_REPORT$")) return add(scanresult_report(result));
  if (has_virus_lists(result) && is("VIRUS_LIST$")) return virus_block();
  if (result != nullptr && is("SCAN_STAT$")) {
    std::optional<std::string> stats = stat_report(scanresult_stats(result));
    return !stats || add(*stats);
  }
  if (actions_->admin_mail != nullptr && is("POSTMASTER$")) return add(actions_->admin_mail);
  if (scanresult_rule(result) != nullptr && is("RULE_NAME$"))
    return add(one_line(scanresult_rule(result)));
  if (actions_->filter_mail != nullptr && is("FILTER_MAIL$")) return add(actions_->filter_mail);
  if (is("SENDER$")) {
    const char* from = e_from(mail_envelope(message_));
    return from == nullptr || add(one_line(from));
  }
  if (is("RCPTS$")) return recipients(false);
  if (is("SECURE_RCPTS$")) return recipients(true);
  if (is("SUBJECT$")) return subject();
  if (is("MSGID$")) {
    const char* id = static_cast<const char*>(mail_get(message_, MAIL_MESSAGE_ID));
    return add(id ? one_line(id) : std::string("[unknown-id]"));
  }
  if (is("FULLHEADERS$")) return full_headers();
  if (is("ARCHIVE_RECORD$"))
    return add(quarantine_ ? base_name(quarantine_) : "file was not created");
  return true;
}

// The charset that a template piece declares, or none when it declares none.
std::optional<std::string> declared_charset(const char* piece) {
  if (std::strstr(piece, "charset=") == nullptr) return std::nullopt;
  const char* value = std::strchr(piece, '=') + 1;
  if (std::strlen(value) <= 1) return std::nullopt;
  std::string charset = value;
  while (!charset.empty() &&
         (charset.back() == ' ' || charset.back() == '\t' || charset.back() == '\r' ||
          charset.back() == '\n' || charset.back() == '\v' || charset.back() == '\f'))
    charset.pop_back();
  return charset;
}

// Expands the template `in` into `out`; false (logged) on failure.
bool expand_template(FILE* in, Expander* expander) {
  char piece[kPieceSize];
  while (std::fgets(piece, sizeof piece, in) != nullptr) {
    try {
      if (std::optional<std::string> charset = declared_charset(piece))
        expander->set_charset(std::move(charset));
      const char* rest = piece;
      while (const char* dollar = std::strchr(rest, '$')) {
        if (!expander->add(std::string(rest, static_cast<size_t>(dollar - rest)))) return false;
        size_t used = 0;
        if (!expander->expand(dollar + 1, &used)) return false;
        if (used == 0) {
          if (!expander->add("$")) return false;
        }
        rest = dollar + 1 + used;
      }
      if (!expander->add(rest)) return false;
    } catch (const std::bad_alloc&) {
      zv_log(ZV_LOG_ERRORS, "report: cannot add string <%s> to report", piece);
      return false;
    }
  }
  return true;
}

// Whether the message may be told to `address` in `role` by the addresses list.
bool address_may_notify(const ActionsConfig* actions, const char* address, int role) {
  return actions->unnotified_addresses == nullptr ||
         maddr_may_notify(actions->unnotified_addresses, address, role) != 0;
}

}  // namespace

MessageLabel message_label(const mail_info* message) {
  const MailEnvelope* envelope = mail_envelope(message);
  const char* path = mail_path(message);
  const char* to = "rcpts";
  if (e_rcpts_num(envelope) == 1) {
    StringList* rcpts = e_rcpts(envelope);
    if (rcpts != nullptr && rcpts->begin() != rcpts->end()) to = rcpts->begin()->c_str();
  }
  return MessageLabel{
      or_null(static_cast<const char*>(mail_get(message, MAIL_MESSAGE_ID))),
      or_null(base_name(path)),
      or_null(e_from(envelope)),
      to,
  };
}

bool null_sender(const char* from) {
  return from != nullptr && (*from == '\0' || std::strncmp(from, "<>", 2) == 0);
}

char* report(mail_info* message, const char* template_path, const char* quarantine,
             const ActionsConfig* actions) {
  if (message == nullptr || template_path == nullptr || actions == nullptr) {
    zv_log(ZV_LOG_ERRORS, "report: null input parameter (%d:%d:%d)", message == nullptr,
           template_path == nullptr, actions == nullptr);
    return nullptr;
  }
  StringListPtr out(strings::create(0));
  if (!out) {
    zv_log(ZV_LOG_ERRORS, "report: no memory for notification");
    return nullptr;
  }
  zv::UniqueFile in(std::fopen(template_path, "re"));
  if (!in) {
    zv_log(ZV_LOG_ERRORS, "report: cannot open template %s - %s", template_path,
           stdlib_error(errno));
    return nullptr;
  }
  Expander expander(message, quarantine, actions, out.get());
  bool ok = true;
  const NotificationOptionsConfig& options = filter_config()->notification_options;
  if (options.fast_notify) {
    ok = expander.add("X-zarvik-hash: ") && expander.add(options.secure_hash) && expander.add("\n");
  }
  ok = ok && expand_template(in.get(), &expander);
  if (ok && std::ferror(in.get())) {
    zv_log(ZV_LOG_ERRORS, "report: cannot read template %s - %s", template_path,
           stdlib_error(errno));
    ok = false;
  }
  if (zv::close_file(in) != 0) {
    zv_log(ZV_LOG_ERRORS, "report: cannot close file %s - %s", template_path, stdlib_error(errno));
  }
  if (!ok) return nullptr;
  std::optional<std::string> joined = strings::join(out.get(), strings::kForward);
  char* text = joined ? strdup(joined->c_str()) : nullptr;
  if (text == nullptr) zv_log(ZV_LOG_ERRORS, "report: no memory for notification");
  return text;
}

void notify(mail_info* message, int role, const char* quarantine, StringList* viruses,
            const NotificationConfig* section, const ActionsConfig* actions,
            const MailerConfig* mailer) {
  if (message == nullptr || section == nullptr || actions == nullptr || mailer == nullptr) {
    zv_log_bad_parameters("notify:", message == nullptr, section == nullptr, actions == nullptr,
                          mailer == nullptr);
    return;
  }
  const char* who = role_name(role);
  const MessageLabel l = message_label(message);
  const int switched_on = role == NOTIFY_SENDER  ? section->sender_notify
                          : role == NOTIFY_RCPTS ? section->rcpts_notify
                          : role == NOTIFY_ADMIN ? section->admin_notify
                                                 : 1;
  if (!switched_on) {
    zv_log(ZV_LOG_VERBOSE,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s is blocked by configuration",
           l.id, who, l.file, l.from, l.to);
    return;
  }
  if (role == NOTIFY_ADMIN && actions->filter_mail != nullptr && actions->admin_mail != nullptr &&
      is_special(message, actions->filter_mail, actions->admin_mail, "notification")) {
    zv_log(ZV_LOG_ALERTS,
           "[%s]: notify(admin): about the message(%s) sent by %s to %s is blocked because it "
           "looks like a notification on a notification to admin",
           l.id, l.file, l.from, l.to);
    return;
  }
  if (viruses != nullptr && actions->unnotified_viruses != nullptr &&
      !viruses_may_notify(actions->unnotified_viruses, viruses, role)) {
    zv_log(ZV_LOG_INFO,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s is blocked because contains "
           "non-notificable viruses",
           l.id, who, l.file, l.from, l.to);
    return;
  }
  MailEnvelopePtr envelope(actions->filter_mail ? e_create(actions->filter_mail) : nullptr);
  if (!envelope || e_from(envelope.get()) == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s was failed to create envelope",
           l.id, who, l.file, l.from, l.to);
    return;
  }
  const MailEnvelope* original = mail_envelope(message);
  const char* template_path = nullptr;
  bool filled = false;
  if (role == NOTIFY_RCPTS) {
    template_path = section->rcpts_template;
    if (actions->unnotified_addresses != nullptr) {
      StringList* rcpts = e_rcpts(original);
      if (rcpts != nullptr) {
        for (const std::string& item : *rcpts) {
          const char* rcpt = item.c_str();
          if (!address_may_notify(actions, rcpt, MADDR_ROLE_TO)) {
            zv_log(ZV_LOG_INFO,
                   "[%s]: notify(%s): about the message(%s) sent by %s to %s skip "
                   "non-notificable rcpt=%s",
                   l.id, who, l.file, l.from, l.to, rcpt);
          } else if (!e_add_rcpt(envelope.get(), rcpt)) {
            zv_log(ZV_LOG_ERRORS,
                   "[%s]: notify(%s): about the message(%s) sent by %s to %s was failed to add "
                   "%s in envelope",
                   l.id, who, l.file, l.from, l.to, rcpt);
          }
        }
      }
      if (e_rcpts_num(envelope.get()) == 0) {
        zv_log(ZV_LOG_INFO,
               "[%s]: notify(%s): about the message(%s) sent by %s to %s was blocked because "
               "contains only non-notificable recipients",
               l.id, who, l.file, l.from, l.to);
        return;
      }
      filled = true;
    } else {
      filled = e_rcpts(original) != nullptr && e_set_rcpts(envelope.get(), e_rcpts(original));
    }
  } else if (role == NOTIFY_ADMIN) {
    template_path = section->admin_template;
    filled = actions->admin_mail != nullptr && e_add_rcpt(envelope.get(), actions->admin_mail);
  } else if (role == NOTIFY_SENDER) {
    template_path = section->sender_template;
    const char* from = e_from(original);
    if (from == nullptr || null_sender(from)) {
      zv_log(ZV_LOG_ALERTS,
             "[%s]: notify(%s): about the message(%s) sent by %s to %s was blocked to send to <>",
             l.id, who, l.file, l.from, l.to);
      return;
    }
    if (!address_may_notify(actions, from, MADDR_ROLE_FROM)) {
      zv_log(ZV_LOG_INFO,
             "[%s]: notify(%s): about the message(%s) sent by %s to %s was blocked because "
             "contains non-notificable sender=%s",
             l.id, who, l.file, l.from, l.to, from);
      return;
    }
    filled = e_add_rcpt(envelope.get(), from);
  }
  if (!filled) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s was failed to fill envelope",
           l.id, who, l.file, l.from, l.to);
    return;
  }
  HeapText text(report(message, template_path, quarantine, actions));
  if (!text) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s was failed to generate report",
           l.id, who, l.file, l.from, l.to);
    return;
  }
  if (!mailsend(envelope.get(), nullptr, 0, text.get(), std::strlen(text.get()), mailer, l.id)) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: notify(%s): about the message(%s) sent by %s to %s was failed to send", l.id, who,
           l.file, l.from, l.to);
  }
}
