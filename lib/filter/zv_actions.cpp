// The Actions section of the configuration: the action keywords and their parser, the
// mail-address normaliser, the section reader with its checks, and the trace of the
// converted actions. Takes no lock of its own; loading the two non-notification lists
// takes each list's mutex.
#include "zv_actions.h"

#include <strings.h>
#include <sys/random.h>

#include <cerrno>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zv_addresses.h"
#include "zv_badparam.h"
#include "zv_conf.h"
#include "zv_log.h"
#include "zv_viruses.h"

namespace {

struct ActionName {
  int code;
  const char* keyword;
};
// The order in which a value is tried against the keywords.
constexpr ActionName kParseOrder[] = {
    {ACTION_PASS, "pass"},         {ACTION_REJECT, "reject"},     {ACTION_QUARANTINE, "quarantine"},
    {ACTION_CURE, "cure"},         {ACTION_REMOVE, "remove"},     {ACTION_DISCARD, "discard"},
    {ACTION_REDIRECT, "redirect"}, {ACTION_CONTINUE, "continue"}, {ACTION_TEMPFAIL, "tempfail"},
};

constexpr const char* kKeywords[] = {nullptr, "pass",    "reject",   "quarantine", "remove",
                                     "cure",  "discard", "tempfail", "continue",   "redirect"};
constexpr const char* kLetters[] = {"?", "P", "R", "Q", "L", "C", "D", "T", "U", "F"};

std::string set_letters(int allowed) {
  std::string letters;
  for (int code = ACTION_PASS; code <= ACTION_REDIRECT; ++code)
    if (allowed & ACTION_BIT(code)) letters += kLetters[code];
  return letters;
}

using confsection::free_text;
using confsection::HeapText;

ConfVariable action(const char* name, char** storage, const char* value) {
  return {name, CONF_STRING, storage, 0, 0, value};
}

constexpr int P = ACTION_BIT(ACTION_PASS);
constexpr int R = ACTION_BIT(ACTION_REJECT);
constexpr int Q = ACTION_BIT(ACTION_QUARANTINE);
constexpr int L = ACTION_BIT(ACTION_REMOVE);
constexpr int C = ACTION_BIT(ACTION_CURE);
constexpr int D = ACTION_BIT(ACTION_DISCARD);
constexpr int T = ACTION_BIT(ACTION_TEMPFAIL);
constexpr int U = ACTION_BIT(ACTION_CONTINUE);
constexpr int F = ACTION_BIT(ACTION_REDIRECT);

// The action keys as read, before conversion.
struct ActionTexts {
  HeapText infected, incurable, incureable, cure_fail, suspicious, adware, dialers, jokes, riskware,
      hacktools, skip_object, archive_restriction, mailbomb_object, scanning_errors,
      processing_errors, rule_filter_alert, spam_filter_alert, empty_from;
};

// Takes the value of a key or of its older name; both given is a contradiction.
bool merge_old_name(const char* section, HeapText& current, HeapText& old, const char* fallback,
                    const char* old_name, const char* name) {
  if (current.given() && old.given()) {
    zv_log(ZV_LOG_ERRORS, "read section %s: %s is obsoleted by %s, cannot be used together",
           section, old_name, name);
    return false;
  }
  if (current.given()) return true;
  if (old.given()) {
    current.text = old.text;
    old.text = nullptr;
    return true;
  }
  current.text = strdup(fallback);
  if (current.text == nullptr) {
    zv_log(ZV_LOG_ERRORS, "read section %s: no memory for %s value", section, name);
    return false;
  }
  return true;
}

struct Conversion {
  HeapText ActionTexts::*value;
  int ActionsConfig::*code;
  int allowed;
  const char* refusal;
};

bool load_lists(ActionsConfig* c) {
  if (c->unnotified_addresses_path != nullptr && c->unnotified_addresses_path[0] != '\0') {
    c->unnotified_addresses = maddr_load(c->unnotified_addresses_path, 1);
    if (c->unnotified_addresses == nullptr) return false;
  }
  if (c->unnotified_viruses_path != nullptr && c->unnotified_viruses_path[0] != '\0') {
    c->unnotified_viruses = viruses_load(c->unnotified_viruses_path, 1);
    if (c->unnotified_viruses == nullptr) return false;
  }
  return true;
}

bool store_addresses(const char* name, ActionsConfig* c, const HeapText& redirect,
                     const HeapText& filter, const HeapText& admin) {
  if (!redirect.given()) {
    zv_log(ZV_LOG_ALERTS,
           "read section %s: you do not specify redirect address, infected message would not "
           "been redirected",
           name);
  } else if (!normalize_mail_address(redirect.text, &c->redirect_mail)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: not specified redirection mail address", name);
    return false;
  }
  if (!normalize_mail_address(filter.text, &c->filter_mail)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: not specified filter mail address", name);
    return false;
  }
  if (!normalize_mail_address(admin.text, &c->admin_mail)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: not specified administrator mail address", name);
    return false;
  }
  return true;
}

bool check_quarantine(const char* name, ActionsConfig* c, int files_mode) {
  if (c->quarantine.directory != nullptr && c->quarantine.directory[0] == '\0')
    free_text(c->quarantine.directory);  // an empty directory is no directory
  if (c->quarantine.directory == nullptr) {
    zv_log(ZV_LOG_ALERTS,
           "read section %s: you do not specify quarantine directory, infected message would not "
           "been storied",
           name);
    c->quarantine.mode = 0;
    return true;
  }
  int bits = files_mode & 0777;
  if ((bits & 0444) == 0) {
    zv_log(ZV_LOG_ERRORS, "read section %s: access mask %#o is invalid", name,
           static_cast<unsigned>(files_mode));
    return false;
  }
  c->quarantine.mode = static_cast<std::uint16_t>(bits);
  return true;
}

bool convert_actions(const char* name, ActionsConfig* c, ActionTexts& t,
                     const HeapText& naming_mode) {
  const Conversion first[] = {
      {&ActionTexts::rule_filter_alert, &ActionsConfig::rule_filter_alert, R | F | D | Q,
       "read section %s: invalid action %s on rule filter"},
      {&ActionTexts::empty_from, &ActionsConfig::empty_from, R | D | U,
       "read section %s: invalid action %s on empty From:"},
  };
  const Conversion rest[] = {
      {&ActionTexts::cure_fail, &ActionsConfig::cure_fail, R | F | D | Q,
       "read section %s: invalid action %s on cure fail"},
      {&ActionTexts::incurable, &ActionsConfig::incurable, R | F | D | Q | L,
       "read section %s: invalid action %s on incurable"},
      {&ActionTexts::infected, &ActionsConfig::infected, R | F | D | Q | L | C,
       "read section %s: invalid action %s on virus"},
      {&ActionTexts::suspicious, &ActionsConfig::suspicious, P | R | F | D | Q,
       "read section %s: invalid action %s on suspicious"},
      {&ActionTexts::adware, &ActionsConfig::adware, P | R | F | D | Q,
       "read section %s: invalid action %s on adware"},
      {&ActionTexts::dialers, &ActionsConfig::dialers, P | R | F | D | Q,
       "read section %s: invalid action %s on dialers"},
      {&ActionTexts::jokes, &ActionsConfig::jokes, P | R | F | D | Q,
       "read section %s: invalid action %s on jokes"},
      {&ActionTexts::riskware, &ActionsConfig::riskware, P | R | F | D | Q,
       "read section %s: invalid action %s on riskware"},
      {&ActionTexts::hacktools, &ActionsConfig::hacktools, P | R | F | D | Q,
       "read section %s: invalid action %s on intrusion tools (hacktool)"},
      {&ActionTexts::skip_object, &ActionsConfig::skip_object, P | R | F | Q,
       "read section %s: invalid action %s on skip object"},
      {&ActionTexts::archive_restriction, &ActionsConfig::archive_restriction, P | R | F | Q,
       "read section %s: invalid action %s on mailbomb"},
      {&ActionTexts::scanning_errors, &ActionsConfig::scanning_errors, P | R | F | T | Q,
       "read section %s: invalid action %s on scanning errors"},
      {&ActionTexts::processing_errors, &ActionsConfig::processing_errors, P | R | F | T | Q,
       "read section %s: invalid action %s on processing errors"},
  };
  auto convert = [&](const Conversion& k) {
    const char* value = (t.*k.value).text;
    if (parse_action(value, k.allowed, &(c->*k.code))) return true;
    zv_log(ZV_LOG_ERRORS, k.refusal, name, value != nullptr ? value : "(null)");
    return false;
  };
  for (const Conversion& k : first)
    if (!convert(k)) return false;
  if (!lookup_name(naming_mode.text, kNamingModes, &c->quarantine.naming_mode)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: invalid naming mode %s", name,
           naming_mode.given() ? naming_mode.text : "(null)");
    return false;
  }
  for (const Conversion& k : rest)
    if (!convert(k)) return false;
  return true;
}

}  // namespace

const char* action_keyword(int code) {
  return code >= ACTION_PASS && code <= ACTION_REDIRECT ? kKeywords[code] : "?";
}

const char* action_letter(int code) {
  return code >= ACTION_PASS && code <= ACTION_REDIRECT ? kLetters[code] : "?";
}

int parse_action(const char* value, int allowed, int* code) {
  if (value == nullptr || allowed == 0 || code == nullptr) {
    zv_log_bad_parameters("conf:", value == nullptr, allowed == 0, code == nullptr);
    return 0;
  }
  zv_log(ZV_LOG_DEBUG, "conf: action=%s, set=%s", value, set_letters(allowed).c_str());
  for (const ActionName& a : kParseOrder) {
    if (strncasecmp(value, a.keyword, strlen(a.keyword)) != 0) continue;
    if ((allowed & ACTION_BIT(a.code)) == 0) return 0;
    *code = a.code;
    return 1;
  }
  return 0;
}

int normalize_mail_address(const char* value, char** out) {
  if (value == nullptr || out == nullptr) {
    zv_log_bad_parameters("conf:", value == nullptr, out == nullptr);
    return 0;
  }
  char* stored = nullptr;
  if (strchr(value, '>') != nullptr) {
    stored = strdup(value);
  } else {
    size_t length = strlen(value);
    stored = static_cast<char*>(malloc(length + 3));
    if (stored != nullptr) {
      stored[0] = '<';
      memcpy(stored + 1, value, length);
      stored[length + 1] = '>';
      stored[length + 2] = '\0';
    }
  }
  if (stored == nullptr) {
    zv_log(ZV_LOG_ERRORS, "conf: no memory for mail address");
    return 0;
  }
  free(*out);
  *out = stored;
  return 1;
}

int make_own_mark(char* out, size_t size) {
  if (out == nullptr || size < static_cast<size_t>(kOwnMarkSize)) {
    zv_log_bad_parameters("conf:", out == nullptr, size < static_cast<size_t>(kOwnMarkSize));
    return 0;
  }
  out[0] = '\0';
  unsigned char bits[(kOwnMarkSize - 1) / 2];
  size_t have = 0;
  while (have < sizeof bits) {
    ssize_t n = getrandom(bits + have, sizeof bits - have, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      zv_log(ZV_LOG_ERRORS, "conf: cannot get random bytes - %s", stdlib_error(errno));
      return 0;
    }
    have += static_cast<size_t>(n);
  }
  constexpr char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof bits; ++i) {
    out[2 * i] = kHex[bits[i] >> 4];
    out[2 * i + 1] = kHex[bits[i] & 0xf];
  }
  out[2 * sizeof bits] = '\0';
  return 1;
}

bool is_own_mark(const ActionsConfig* actions, const char* value) {
  if (actions == nullptr || value == nullptr || actions->own_mark[0] == '\0') return false;
  return strncmp(value, actions->own_mark, strlen(actions->own_mark)) == 0;
}

std::string own_mark_line(const ActionsConfig* actions) {
  if (actions == nullptr || actions->own_mark[0] == '\0') return std::string();
  return std::string(kOwnMarkHeader) + ": " + actions->own_mark + "\r\n";
}

void release_actions(const char*, void* argument) {
  auto* c = static_cast<ActionsConfig*>(argument);
  if (c == nullptr) return;
  memset(c->own_mark, 0, sizeof c->own_mark);
  maddr_free(c->unnotified_addresses);
  c->unnotified_addresses = nullptr;
  viruses_free(c->unnotified_viruses);
  c->unnotified_viruses = nullptr;
  free_text(c->unnotified_addresses_path);
  free_text(c->unnotified_viruses_path);
  free_text(c->admin_mail);
  free_text(c->filter_mail);
  free_text(c->redirect_mail);
  for (char** reply :
       {&c->reply_infected, &c->reply_rule_filter, &c->reply_empty_from, &c->reply_suspicious,
        &c->reply_malware, &c->reply_skip_object, &c->reply_archive_restriction, &c->reply_error})
    free_text(*reply);
  free_text(c->quarantine.directory);
  free_text(c->quarantine.prefix);
}

int read_actions(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<ActionsConfig*>(argument);
  release_actions(name, c);
  ActionTexts t;
  HeapText filter_mail;
  HeapText redirect_mail;
  HeapText admin_mail;
  HeapText naming_mode;
  int files_mode = 0;
  ConfVariable variables[] = {
      action("Infected", &t.infected.text, "quarantine"),
      action("Incurable", &t.incurable.text, nullptr),
      action("Incureable", &t.incureable.text, nullptr),
      action("CureFail", &t.cure_fail.text, "quarantine"),
      action("Suspicious", &t.suspicious.text, "quarantine"),
      action("Adware", &t.adware.text, "quarantine"),
      action("Dialers", &t.dialers.text, "quarantine"),
      action("Jokes", &t.jokes.text, "quarantine"),
      action("Riskware", &t.riskware.text, "quarantine"),
      action("Hacktools", &t.hacktools.text, "quarantine"),
      action("SkipObject", &t.skip_object.text, "reject"),
      action("ArchiveRestriction", &t.archive_restriction.text, nullptr),
      action("MailbombObject", &t.mailbomb_object.text, nullptr),
      action("ScanningErrors", &t.scanning_errors.text, "quarantine"),
      action("ProcessingErrors", &t.processing_errors.text, "quarantine"),
      action("RuleFilterAlert", &t.rule_filter_alert.text, nullptr),
      action("SpamFilterAlert", &t.spam_filter_alert.text, nullptr),
      action("EmptyFrom", &t.empty_from.text, "continue"),
      {"UseCustomReply", CONF_BOOL, &c->use_custom_reply, 4, 0, nullptr},
      {"ReplyInfected", CONF_STRING, &c->reply_infected, 0, 0,
       "Zarvik Antivirus: Message is rejected because it contains a virus(es)."},
      {"ReplyRuleFilter", CONF_STRING, &c->reply_rule_filter, 0, 0,
       "Zarvik Antivirus: Message is rejected by headers rule filter."},
      {"ReplyEmptyFrom", CONF_STRING, &c->reply_empty_from, 0, 0,
       "Zarvik Antivirus: Messages from <> are blocked by administrator."},
      {"ReplySuspicious", CONF_STRING, &c->reply_suspicious, 0, 0,
       "Zarvik Antivirus: Message is rejected because it contains a suspicious content."},
      {"ReplyMalware", CONF_STRING, &c->reply_malware, 0, 0,
       "Zarvik Antivirus: Message is rejected because it contains malware."},
      {"ReplySkipObject", CONF_STRING, &c->reply_skip_object, 0, 0,
       "Zarvik Antivirus: Message is rejected because it cannot be checked."},
      {"ReplyArchiveRestriction", CONF_STRING, &c->reply_archive_restriction, 0, 0,
       "Zarvik Antivirus: Message is rejected because it contains archive which violates "
       "restrictions."},
      {"ReplyError", CONF_STRING, &c->reply_error, 0, 0,
       "Zarvik Antivirus: Message is rejected due to software error."},
      {"FilterMail", CONF_STRING, &filter_mail.text, 0, 0, nullptr},
      {"RedirectMail", CONF_STRING, &redirect_mail.text, 0, 0, nullptr},
      {"AdminMail", CONF_STRING, &admin_mail.text, 0, 0, "postmaster"},
      {"UnnotificableAddressesList", CONF_STRING, &c->unnotified_addresses_path, 0, 0, nullptr},
      {"UnnotificableVirusesList", CONF_STRING, &c->unnotified_viruses_path, 0, 0, nullptr},
      {"Quarantine", CONF_STRING, &c->quarantine.directory, 0, 0, nullptr},
      {"QuarantineFilenamesPrefix", CONF_STRING, &c->quarantine.prefix, 0, 0, "zarvik.quarantine."},
      {"QuarantineFilenamesMode", CONF_STRING, &naming_mode.text, 0, 0, "Std"},
      {"QuarantineFilesMode", CONF_OCTAL, &files_mode, 4, 0600, nullptr},
      {nullptr, 0, nullptr, 0, 0, nullptr},
  };
  if (read_section(stream, line, name, variables, '=', ',') != 0) {
    release_actions(name, c);
    return 0;
  }
  bool ok =
      merge_old_name(name, t.incurable, t.incureable, "quarantine", "Incureable", "Incurable") &&
      merge_old_name(name, t.archive_restriction, t.mailbomb_object, "reject", "MailbombObject",
                     "ArchiveRestriction") &&
      merge_old_name(name, t.rule_filter_alert, t.spam_filter_alert, "quarantine",
                     "SpamFilterAlert", "RuleFilterAlert");
  if (ok) {
    c->quarantine_move = 1;
    ok = load_lists(c) && store_addresses(name, c, redirect_mail, filter_mail, admin_mail) &&
         check_quarantine(name, c, files_mode) && convert_actions(name, c, t, naming_mode);
  }
  if (ok && !make_own_mark(c->own_mark, sizeof c->own_mark)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: could not generate secure hash", name);
    ok = false;
  }
  if (!ok) {
    release_actions(name, c);
    return 0;
  }
  return 1;
}

void log_actions_trace(const ActionsConfig* actions) {
  if (actions == nullptr) return;
  const ActionsConfig& a = *actions;
  const struct {
    const char* format;
    int code;
  } lines[] = {
      {"action on infected = %s", a.infected},
      {"action on incurable = %s", a.incurable},
      {"action on curing fail = %s", a.cure_fail},
      {"action on suspicious = %s", a.suspicious},
      {"action on advertizing software (adware) = %s", a.adware},
      {"action on dialers = %s", a.dialers},
      {"action on jokes, hoaxes = %s", a.jokes},
      {"action on potentially dangerous software (riskware) = %s", a.riskware},
      {"action on intrusion tools (hacktools) = %s", a.hacktools},
      {"action on rule filter alert = %s", a.rule_filter_alert},
      {"action on empty from = %s", a.empty_from},
      {"action on skipped = %s", a.skip_object},
      {"action on archive restrictions = %s", a.archive_restriction},
      {"action on scanning error = %s", a.scanning_errors},
      {"action on processing error = %s", a.processing_errors},
  };
  for (const auto& l : lines) zv_log(ZV_LOG_VERBOSE, l.format, action_letter(l.code));
}
