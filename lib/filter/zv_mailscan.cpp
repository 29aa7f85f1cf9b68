// Scan outcome handling: see zv_mailscan.h.
#include "zv_mailscan.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "zv_badparam.h"
#include "zv_files.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_mailsend.h"
#include "zv_mailutil.h"
#include "zv_notify.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zv_util.h"
#include "zv_viruses.h"
#include "zvc_lib.h"
#include "zvc_result.h"
#include "zvc_strings.h"

namespace {

// First option word: the fixed base, then what the configuration asks for.
constexpr uint32_t kOptionsBase = 0x81480004u;
constexpr uint32_t kOptionRuleFilter = 0x800020u;
// Option bits that treat known viruses and modifications (cure, remove infected, remove
// incurable), and the one that removes suspicious objects.
constexpr uint32_t kVirusTreatment = kScanCure | kScanRemoveInfected | kScanRemoveIncurable;
constexpr uint32_t kAnyTreatment = kVirusTreatment | kScanRemoveSuspicious;

// Status bits that say the daemon changed the file.
constexpr uint32_t kChangedMessage = kStatusCured | kStatusDeleted | kStatusCompositeClean;
// Any virus or malware finding.
constexpr uint32_t kVirusOrMalware = 0x7C000E0u;

constexpr char kCannotConnect[] = "The filter cannot connect to the Zarvik daemon\n";
constexpr char kCannotPass[] = "The filter fails to pass object to the Zarvik daemon\n";
constexpr char kProcessingText[] = "the filter fails to pass object to the Zarvik daemon";

using HeapText = zv::UniqueMalloc<char>;

// One finding weighed by check_result, in the order of weighing.
struct Finding {
  uint32_t mask;
  int ActionsConfig::*action;
  NotificationConfig FilterConfig::*section;
  char* ActionsConfig::*reply;
  const char* outcome;  // end of the log line when the finding decides
  const char* text;     // end of the pass line
};

constexpr uint32_t kRuleFilterMask = kStatusRuleReject;
constexpr uint32_t kScanningErrorMask = kMaskErrors;

const Finding kFindings[] = {
    {kStatusSuspicious, &ActionsConfig::suspicious, &FilterConfig::virus_notify,
     &ActionsConfig::reply_suspicious, "probably infected",
     "the message contains a suspicious object(s)"},
    {kStatusAdware, &ActionsConfig::adware, &FilterConfig::malware_notify,
     &ActionsConfig::reply_malware, "contains an advertizing software",
     "the message contains an advertizing software"},
    {kStatusDialer, &ActionsConfig::dialers, &FilterConfig::malware_notify,
     &ActionsConfig::reply_malware, "contains a dialer", "the message contains a dialer"},
    {kStatusJoke, &ActionsConfig::jokes, &FilterConfig::malware_notify,
     &ActionsConfig::reply_malware, "contains a hoax", "the message contains a hoax"},
    {kStatusRiskware, &ActionsConfig::riskware, &FilterConfig::malware_notify,
     &ActionsConfig::reply_malware, "contains a potentially dangerous software",
     "the message contains a potentially dangerous software"},
    {kStatusHacktool, &ActionsConfig::hacktools, &FilterConfig::malware_notify,
     &ActionsConfig::reply_malware, "contains an intrusion tool",
     "the message contains an intrusion tool"},
    {kRuleFilterMask, &ActionsConfig::rule_filter_alert, &FilterConfig::rule_filter_notify,
     &ActionsConfig::reply_rule_filter, nullptr, "the message was filtered by rules for headers"},
    {kMaskArchive, &ActionsConfig::archive_restriction, &FilterConfig::archive_notify,
     &ActionsConfig::reply_archive_restriction, "contains object with archive restrictions",
     "the message contains an archive(s) that was not scanned by configuration reason"},
    {kMaskSkipped, &ActionsConfig::skip_object, &FilterConfig::skip_notify,
     &ActionsConfig::reply_skip_object, "contains an unchecked objects",
     "the message contains an unscanned (skipped) object(s)"},
    {kScanningErrorMask, &ActionsConfig::scanning_errors, &FilterConfig::error_notify,
     &ActionsConfig::reply_error, nullptr, "the daemon fails to scan this messages"},
};

const NotificationConfig* section_of(NotificationConfig FilterConfig::*section) {
  return &(filter_config()->*section);
}

void set_reply(mail_info* message, const char* reply) {
  if (reply != nullptr && !mail_set(message, MAIL_REPLY_STRING, reply)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: cannot set reply string", message_label(message).id);
  }
}

// The action of a failure before any scan result exists: quarantine and redirect have
// nothing sound to work on then.
int early_error_action(const ActionsConfig* actions) {
  int action = actions->processing_errors;
  return action == ACTION_QUARANTINE || action == ACTION_REDIRECT ? ACTION_REJECT : action;
}

uint32_t first_option_word(const ScanningConfig* scanning, const ActionsConfig* actions) {
  uint32_t word = kOptionsBase;
  word |= static_cast<uint32_t>(scanning->report_options) &
          (REPORT_INCLUDE_REPORT | REPORT_INCLUDE_STATS);
  if (scanning->heuristic) word |= kScanHeuristic;
  if (actions->infected == ACTION_CURE) word |= kScanCure;
  if (actions->infected == ACTION_REMOVE) word |= kScanRemoveInfected;
  if (actions->incurable == ACTION_REMOVE) word |= kScanRemoveIncurable;
  if (actions->suspicious == ACTION_REMOVE) word |= kScanRemoveSuspicious;
  if (scanning->tcp_nodelay) word |= kScanNoDelay;
  if (scanning->rule_filter) word |= kOptionRuleFilter;
  return word;
}

uint32_t second_option_word(const ActionsConfig* actions) {
  struct Treatment {
    int action;
    uint32_t remove;
    uint32_t pass;
  };
  const Treatment treatments[] = {
      {actions->adware, 0x10, 0x2},
      {actions->dialers, 0x100, 0x20},
      {actions->jokes, 0x1000, 0x200},
      {actions->riskware, 0x10000, 0x2000},
      {actions->hacktools, 0x100000, 0x20000},
  };
  uint32_t word = 0;
  for (const Treatment& t : treatments) {
    if (t.action == ACTION_REMOVE) word |= t.remove;
    if (t.action == ACTION_PASS) word |= t.pass;
  }
  return word;
}

// 0 when some found name is listed as not to be quarantined (or redirected).
bool may_quarantine(const ActionsConfig* actions, ScanResult* result) {
  if (actions->unnotified_viruses == nullptr) return true;
  VirusLists* lists = scanresult_viruses(result);
  if (lists == nullptr) return true;
  for (int kind = 0; kind < kVirusKinds; ++kind) {
    StringList* names = lists->get(kind);
    if (names != nullptr && !viruses_may_quarantine(actions->unnotified_viruses, names))
      return false;
  }
  return true;
}

// Moves the spool file into quarantine. The quarantine name (malloc()ed) on success, with
// the name stored in the scan result and the record kept; null when the quarantine failed
// (*action becomes reject).
char* quarantine_message(mail_info* message, const ActionsConfig* actions, int* action) {
  const MessageLabel l = message_label(message);
  char* name = quarantine_file(&actions->quarantine, mail_path(message), actions->quarantine_move);
  if (name == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: the message(%s) sent by %s to %s was not quarantined", l.id,
           l.file, l.from, l.to);
    *action = ACTION_REJECT;
    return nullptr;
  }
  zv_log(ZV_LOG_ALERTS,
         "[%s]: scan: the message(%s) sent by %s to %s has been stored in archive %s", l.id, l.file,
         l.from, l.to, name);
  if (!scanresult_set_quarantine(mail_result(message), name)) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: cannot keep the quarantine name %s", l.id, name);
  }
  mail_keep_file(message);
  return name;
}

void notify_all(mail_info* message, const char* quarantine, StringList* viruses,
                const NotificationConfig* section, const ActionsConfig* actions,
                const MailerConfig* mailer) {
  notify(message, NOTIFY_ADMIN, quarantine, viruses, section, actions, mailer);
  notify(message, NOTIFY_RCPTS, quarantine, viruses, section, actions, mailer);
  notify(message, NOTIFY_SENDER, quarantine, viruses, section, actions, mailer);
}

// The sender rules turn an action into a discard because the sender cannot be told.
// A temporary failure is kept: the message is not accepted then, and comes back once the
// failure is over, whereas a discard would accept it and drop it (a bounce from "<>"
// while the daemon is down, say).
bool sender_rules_apply(int action) {
  return action != ACTION_TEMPFAIL;
}

bool empty_sender(const mail_info* message) {
  return null_sender(e_from(mail_envelope(message)));
}

void log_discard_for_sender(const mail_info* message, const char* why) {
  const MessageLabel l = message_label(message);
  zv_log(ZV_LOG_VERBOSE,
         "[%s]: set action to discard for the message(%s) sent by %s to %s - because %s", l.id,
         l.file, l.from, l.to, why);
}

// The line of a finding that decided.
void log_outcome(const mail_info* message, const Finding& finding) {
  const MessageLabel l = message_label(message);
  ScanResult* result = mail_result(message);
  if (finding.mask == kRuleFilterMask) {
    const char* rule = scanresult_rule(result);
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s rejected by daemon filtering rule (%s)",
           l.id, l.file, l.from, l.to, rule != nullptr ? rule : "(null)");
  } else if (finding.mask == kScanningErrorMask) {
    std::string status;
    try {
      status = status_text(scanresult_status(result));
    } catch (const std::bad_alloc&) {
      status = "";  // without memory the line still goes out, without the status text
    }
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s daemon return error (%s) - possible "
           "problem with daemon or file",
           l.id, l.file, l.from, l.to, status.c_str());
  } else {
    zv_log(ZV_LOG_ALERTS, "[%s]: scan: the message(%s) sent by %s to %s %s", l.id, l.file, l.from,
           l.to, finding.outcome);
  }
}

}  // namespace

int check_result(mail_info* message, uint32_t mask, int action, const NotificationConfig* section,
                 const ActionsConfig* actions, const MailerConfig* mailer, const char* text) {
  if (message == nullptr || section == nullptr || actions == nullptr || mailer == nullptr) {
    zv_log_bad_parameters("check_result:", message == nullptr, section == nullptr,
                          actions == nullptr, mailer == nullptr);
    return ACTION_REJECT;
  }
  if ((scanresult_status(mail_result(message)) & mask) == 0) return ACTION_PASS;
  const MessageLabel l = message_label(message);
  if (action == ACTION_PASS) {
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s passed by configuration but %s", l.id,
           l.file, l.from, l.to, text ? text : "daemon returns an alert");
    notify(message, NOTIFY_ADMIN, nullptr, nullptr, section, actions, mailer);
    return ACTION_PASS;
  }
  HeapText quarantine;
  if (action == ACTION_REDIRECT) {
    redirect_message(message, actions, mailer);
  } else if (action == ACTION_QUARANTINE && actions->quarantine.directory != nullptr) {
    quarantine.reset(quarantine_message(message, actions, &action));
  }
  notify_all(message, quarantine.get(), nullptr, section, actions, mailer);
  if (sender_rules_apply(action) && empty_sender(message)) {
    log_discard_for_sender(message, "address <> is not notificable for sender");
    return ACTION_DISCARD;
  }
  return action;
}

int inject_cured(mail_info* message, const ActionsConfig* actions, const MailerConfig* mailer) {
  const MessageLabel l = message_label(message);
  const MailEnvelope* envelope = mail_envelope(message);
  if (envelope == nullptr) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: the message(%s) sent by %s to %s no envelope for cured mail",
           l.id, l.file, l.from, l.to);
    return 0;
  }
  ScanResult* result = mail_result(message);
  const char* cured = scanresult_cured(result);
  if (cured == nullptr) {
    zv_log(ZV_LOG_DEBUG,
           "[%s]: scan: the message(%s) sent by %s to %s original message has been cured", l.id,
           l.file, l.from, l.to);
    return 1;
  }
  // The copy was scanned just now: marked as the filter's own, it is not scanned again
  // when it comes back, nor cured and re-injected once more.
  std::string mark;
  try {
    mark = own_mark_line(actions);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: no memory to mark the cured copy", l.id);
    return 0;
  }
  return mailsend(envelope, nullptr, 0, cured, scanresult_cured_length(result), mailer, l.id,
                  mark.empty() ? nullptr : mark.c_str());
}

int check_infected(mail_info* message, uint32_t options, const ScanningConfig* scanning,
                   const ActionsConfig* actions, const MailerConfig* mailer) {
  if (message == nullptr || scanning == nullptr || actions == nullptr || mailer == nullptr) {
    zv_log_bad_parameters("check_infected:", message == nullptr, scanning == nullptr,
                          actions == nullptr, mailer == nullptr);
    return ACTION_REJECT;
  }
  ScanResult* result = mail_result(message);
  const uint32_t status = scanresult_status(result);
  if ((status & (kStatusKnownVirus | kStatusModification)) == 0) return ACTION_PASS;
  const MessageLabel l = message_label(message);
  const ScanStatistics* stats = scanresult_stats(result);
  VirusLists* lists = scanresult_viruses(result);
  StringList* known = lists ? lists->get(kVirusKnown) : nullptr;
  UnNotificableVirusesList* unnotified = actions->unnotified_viruses;
  int action = actions->infected;
  bool notified = false;  // the outcome needs no further notification or sender rule

  // Deletions count as cure only when the known viruses themselves were to be treated:
  // a deletion that comes from removing suspicious objects or malware leaves the viruses
  // in the message.
  const bool treated = (status & (kStatusCured | kStatusDeleted)) != 0 && stats != nullptr &&
                       (options & kVirusTreatment) != 0;
  if (treated) {
    const int32_t found = stats->known + stats->modifications;
    const int32_t threshold =
        ((options & kScanRemoveSuspicious) ? stats->suspicious : 0) +
        ((options & (kScanRemoveInfected | kScanRemoveIncurable)) ? found : 0);
    if ((options & kScanCure) && stats->cured < found) {
      zv_log(ZV_LOG_ALERTS,
             "[%s]: scan: the message(%s) sent by %s to %s not all viruses has been cured", l.id,
             l.file, l.from, l.to);
      action = actions->cure_fail;
    } else if ((options & kAnyTreatment) && stats->cured < threshold) {
      zv_log(ZV_LOG_ALERTS,
             "[%s]: scan: the message(%s) sent by %s to %s not all viruses has been cured or "
             "removed",
             l.id, l.file, l.from, l.to);
      action = actions->cure_fail;
    } else {
      zv_log(ZV_LOG_INFO,
             "[%s]: scan: the message(%s) sent by %s to %s has been cured or infected parts have "
             "been removed",
             l.id, l.file, l.from, l.to);
      if ((status & kStatusDeleted) && stats->deleted == stats->cured && unnotified != nullptr &&
          known != nullptr && !viruses_may_notify(unnotified, known, VIRUSES_ROLE_RCPTS)) {
        zv_log(ZV_LOG_INFO,
               "[%s]: scan: the message(%s) sent by %s to %s has been discarded because contains "
               "only unnotificable viruses",
               l.id, l.file, l.from, l.to);
        action = ACTION_DISCARD;
        notified = true;
      } else if (!inject_cured(message, actions, mailer)) {
        zv_log(ZV_LOG_ERRORS,
               "[%s]: scan: the message(%s) sent by %s to %s cannot reinject cured message to "
               "mailer",
               l.id, l.file, l.from, l.to);
        action = actions->cure_fail;
      } else {
        const NotificationConfig* cured = &filter_config()->cured_notify;
        notify(message, NOTIFY_ADMIN, nullptr, known, cured, actions, mailer);
        notify(message, NOTIFY_SENDER, nullptr, known, cured, actions, mailer);
        // Cured in place, the message passes with the cured spool file as its body; a
        // cured copy that went to the submitter replaces the received message, whichever
        // daemon scanned it.
        action = scanresult_cured(result) == nullptr && scanning->local_scan ? ACTION_PASS
                                                                             : ACTION_DISCARD;
        notified = true;
      }
    }
  }
  if (!treated && (actions->infected == ACTION_REMOVE || actions->infected == ACTION_CURE)) {
    action = actions->incurable;
    if (action == ACTION_REMOVE) action = actions->cure_fail;
  }

  if (!notified) {
    HeapText quarantine;
    if (action == ACTION_REDIRECT) {
      if ((status & kVirusOrMalware) && !may_quarantine(actions, result)) {
        zv_log(ZV_LOG_INFO,
               "[%s]: scan: the message(%s) sent by %s to %s has NOT been redirected because "
               "contains only non-quarantinable viruses",
               l.id, l.file, l.from, l.to);
      } else {
        redirect_message(message, actions, mailer);
      }
    } else if (action == ACTION_QUARANTINE && actions->quarantine.directory != nullptr) {
      if ((status & kVirusOrMalware) && !may_quarantine(actions, result)) {
        zv_log(ZV_LOG_INFO,
               "[%s]: scan: the message(%s) sent by %s to %s has NOT been quarantined because "
               "contains only non-quarantinable viruses",
               l.id, l.file, l.from, l.to);
      } else {
        quarantine.reset(quarantine_message(message, actions, &action));
      }
    }
    notify_all(message, quarantine.get(), known, &filter_config()->virus_notify, actions, mailer);
    if (sender_rules_apply(action)) {
      if (empty_sender(message)) {
        log_discard_for_sender(message, "address <> is not notificable for sender");
        action = ACTION_DISCARD;
      } else if (unnotified != nullptr && known != nullptr &&
                 !viruses_may_notify(unnotified, known, VIRUSES_ROLE_SENDER)) {
        log_discard_for_sender(message, "virus is not notificable for sender");
        action = ACTION_DISCARD;
      }
    }
  }

  if (action == ACTION_PASS) return ACTION_PASS;
  if (strings::count(known) == 1) {
    zv_log(ZV_LOG_ALERTS, "[%s]: scan: the message(%s) sent by %s to %s infected with %s", l.id,
           l.file, l.from, l.to, known->begin()->c_str());
  } else {
    zv_log(ZV_LOG_ALERTS, "[%s]: scan: the message(%s) sent by %s to %s infected with a viruses",
           l.id, l.file, l.from, l.to);
  }
  set_reply(message, actions->reply_infected);
  return action;
}

int scan_message(mail_info* message, const ScanningConfig* scanning, const ActionsConfig* actions,
                 const MailerConfig* mailer, AgentConfig* agent, uint32_t* status) {
  if (message == nullptr || scanning == nullptr || actions == nullptr || mailer == nullptr ||
      agent == nullptr || status == nullptr) {
    const int flags[5] = {scanning == nullptr, actions == nullptr, mailer == nullptr,
                          agent == nullptr, status == nullptr};
    if (message == nullptr) {
      zv_log(ZV_LOG_ALERTS, "[%s]: scan: null input parameters (%d:%d:%d:%d:%d)", "(null)",
             flags[0], flags[1], flags[2], flags[3], flags[4]);
    } else {
      const MessageLabel l = message_label(message);
      zv_log(ZV_LOG_ALERTS,
             "[%s]: scan: the message(%s) sent by %s to %s null input parameters "
             "(%d:%d:%d:%d:%d)",
             l.id, l.file, l.from, l.to, flags[0], flags[1], flags[2], flags[3], flags[4]);
    }
    if (status != nullptr) *status = kScanFailedStatus;
    return actions ? early_error_action(actions) : ACTION_REJECT;
  }
  *status = kScanFailedStatus;
  const MessageLabel l = message_label(message);
  MailEnvelope* envelope = mail_envelope(message);
  if (envelope == nullptr) {
    zv_log(ZV_LOG_ALERTS, "[%s]: scan: the message(%s) sent by %s to %s empty envelope", l.id,
           l.file, l.from, l.to);
    return early_error_action(actions);
  }
  if (actions->filter_mail != nullptr && actions->redirect_mail != nullptr &&
      is_special(message, actions->filter_mail, actions->redirect_mail, "redirect")) {
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s looks like redirected message - skip "
           "check",
           l.id, l.file, l.from, l.to);
    return ACTION_PASS;
  }
  if (actions->filter_mail != nullptr &&
      is_special(message, actions->filter_mail, actions->filter_mail, "loop")) {
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s looks like loop (from me to me) - reject",
           l.id, l.file, l.from, l.to);
    return ACTION_REJECT;
  }
  const char* from = e_from(envelope);
  if (from != nullptr && (std::strcmp(from, "<>") == 0 || *from == '\0') &&
      actions->empty_from != ACTION_CONTINUE) {
    zv_log(ZV_LOG_ALERTS,
           "[%s]: scan: the message(%s) sent by %s to %s contains empty from <> that is not "
           "allowed",
           l.id, l.file, l.from, l.to);
    set_reply(message, actions->reply_empty_from);
    return actions->empty_from;
  }

  const uint32_t options = first_option_word(scanning, actions);
  const uint32_t malware = second_option_word(actions);
  const char* path = mail_path(message);
  HeapText converted(
      path ? normalize_path(path, scanning->local_scan, scanning->prefix_path, scanning->strip_path)
           : nullptr);
  if (!converted) {
    zv_log(ZV_LOG_ERRORS, "[%s]: scan: path converting of filename(%s) failed", l.id,
           path ? path : "(null)");
    return early_error_action(actions);
  }
  // The daemon is told its own name of the file; a streamed scan reads ours.
  ScanResult* raw = nullptr;
  const int scanned = scanmail_file(
      path, converted.get(), std::strlen(converted.get()), scanning->local_scan, options, malware,
      &raw, static_cast<uint32_t>(scanning->report_max_size), from, e_rcpts(envelope));
  ScanResultPtr result(raw);
  converted.reset();

  if (scanned != 0) {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: scan: scanning the message(%s) sent by %s to %s failed (error: %d)", l.id, l.file,
           l.from, l.to, scanned);
    result.reset(scanresult_new());
    if (!result || !scanresult_set_status(result.get(), kScanFailedStatus) ||
        !scanresult_set_report(result.get(),
                               scanned == kZvcNoDaemon ? kCannotConnect : kCannotPass)) {
      set_reply(message, actions->reply_error);
      return early_error_action(actions);
    }
    mail_set_result(message, result.release());
    const int action =
        check_result(message, kScanFailedStatus, actions->processing_errors,
                     &filter_config()->error_notify, actions, mailer, kProcessingText);
    set_reply(message, actions->reply_error);
    return action;
  }

  const uint32_t word = scanresult_status(result.get());
  *status = word;
  mail_set_result(message, result.release());
  zv_log(ZV_LOG_VERBOSE, "[%s]: scan: daemon return %#x for the message(%s) sent by %s to %s", l.id,
         word, l.file, l.from, l.to);

  if (word & kChangedMessage) {
    zv_log(ZV_LOG_VERBOSE,
           "[%s]: scan: daemon possibly has changed the message(%s) sent by %s to %s - need "
           "re-read message headers",
           l.id, l.file, l.from, l.to);
    if (!mail_reread_headers(message)) {
      zv_log(ZV_LOG_ERRORS, "[%s]: cannot re-read headers for the message(%s) sent by %s to %s",
             l.id, l.file, l.from, l.to);
      set_reply(message, actions->reply_error);
      return early_error_action(actions);
    }
  }

  if (!drop_stat(agent, mail_result(message))) {
    zv_log(ZV_LOG_ALERTS, "[%s]: scan: drop scan results to %s failed", l.id, "agent");
  }

  const int infected = check_infected(message, options, scanning, actions, mailer);
  if (infected != ACTION_PASS) return infected;
  for (const Finding& finding : kFindings) {
    const int action = check_result(message, finding.mask, actions->*finding.action,
                                    section_of(finding.section), actions, mailer, finding.text);
    if (action == ACTION_PASS) continue;
    log_outcome(message, finding);
    set_reply(message, actions->*finding.reply);
    return action;
  }
  zv_log(ZV_LOG_INFO, "[%s]: scan: the message(%s) sent by %s to %s is passed", l.id, l.file,
         l.from, l.to);
  return ACTION_PASS;
}

void redirect_message(mail_info* message, const ActionsConfig* actions,
                      const MailerConfig* mailer) {
  if (message == nullptr || actions == nullptr || mailer == nullptr) {
    zv_log_bad_parameters("redirect:", message == nullptr, actions == nullptr, mailer == nullptr);
    return;
  }
  const char* id = message_label(message).id;
  if (actions->redirect_mail == nullptr || *actions->redirect_mail == '\0') {
    zv_log(ZV_LOG_ERRORS,
           "[%s]: redirect: parameter %s was not specified, so cannot use redirection", id,
           "RedirectMail");
    return;
  }
  const MessageLabel l = message_label(message);
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
  // The copy still holds what the finding was about: marked as the filter's own, it
  // passes the filter unscanned when it comes back, whatever the MTA made of its envelope,
  // instead of being redirected again and again.
  std::string mark;
  try {
    mark = own_mark_line(actions);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "[%s]: redirect: the message(%s) sent by %s to %s was failed to send",
           l.id, l.file, l.from, l.to);
    return;
  }
  const int* offset = static_cast<const int*>(mail_get(message, MAIL_HEADERS_OFFSET));
  if (!mailsend(envelope.get(), mail_path(message), offset ? *offset : 0, nullptr, 0, mailer, l.id,
                mark.empty() ? nullptr : mark.c_str())) {
    zv_log(ZV_LOG_ERRORS, "[%s]: redirect: the message(%s) sent by %s to %s was failed to send",
           l.id, l.file, l.from, l.to);
    return;
  }
  zv_log(ZV_LOG_INFO, "[%s]: redirect: the message(%s) sent by %s to %s was redirected to %s", l.id,
         l.file, l.from, l.to, actions->redirect_mail);
}
