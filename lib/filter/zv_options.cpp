// The filter's configuration sections: variable tables, defaults, checks and conversions.
//
// Each section reads its keys with read_section() into its sub-record of FilterConfig
// (or into temporaries for values that are converted), then checks them in a fixed
// order; the first failed check logs its reason, releases the sub-record and fails the
// section. Temporaries are owned by HeapText guards so that every way out frees them.
#include "zv_options.h"

#include <strings.h>
#include <syslog.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "zv_actions.h"
#include "zv_badparam.h"
#include "zv_conf.h"
#include "zv_log.h"
#include "zv_mailutil.h"
#include "zv_users.h"
#include "zvc_strings.h"

namespace {

constexpr char kSeparator = '=';
constexpr char kListSeparator = ',';

FilterConfig g_config{};  // written only while the process starts
SectionMarks g_marks{};   // written only while the configuration loads

using confsection::free_text;
using confsection::HeapText;

ConfVariable flag(const char* name, int* storage, int value) {
  return {name, CONF_BOOL, storage, 4, value, nullptr};
}
ConfVariable integer(const char* name, int* storage, int value) {
  return {name, CONF_INT, storage, 4, value, nullptr};
}
ConfVariable unsigned_int(const char* name, int* storage, int value) {
  return {name, CONF_UINT, storage, 4, value, nullptr};
}
ConfVariable octal(const char* name, int* storage, int value) {
  return {name, CONF_OCTAL, storage, 4, value, nullptr};
}
ConfVariable text(const char* name, char** storage, const char* value) {
  return {name, CONF_STRING, storage, 0, 0, value};
}
ConfVariable text_list(const char* name, StringList** storage) {
  return {name, CONF_STRLIST, storage, 0, 0, nullptr};
}
constexpr ConfVariable kEnd = {nullptr, 0, nullptr, 0, 0, nullptr};

bool read_keys(FILE* stream, int* line, const char* name, ConfVariable* variables) {
  return read_section(stream, line, name, variables, kSeparator, kListSeparator) == 0;
}

// Keeps the low nine bits of a configured mask; refuses one without any read bit.
bool check_mask(const char* section, int configured, std::uint16_t* mask) {
  int bits = configured & 0777;
  if ((bits & 0444) == 0) {
    zv_log(ZV_LOG_ERRORS, "read section %s: access mask %#o is invalid", section,
           static_cast<unsigned>(configured));
    return false;
  }
  *mask = static_cast<std::uint16_t>(bits);
  return true;
}

bool section_is(const char* name, const char* wanted) {
  return strncasecmp(name, wanted, strlen(wanted)) == 0;
}

// --- DaemonCommunication -----------------------------------------------------------------

void release_daemon(const char*, void* argument) {
  auto* c = static_cast<DaemonCommunicationConfig*>(argument);
  if (c == nullptr) return;
  strings::destroy(c->addresses);
  c->addresses = nullptr;
}

int read_daemon(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<DaemonCommunicationConfig*>(argument);
  release_daemon(name, c);  // a section met twice starts again from its defaults
  ConfVariable variables[] = {
      text_list("Address", &c->addresses),
      flag("Cache", &c->cache, 0),
      integer("Timeout", &c->timeout, 0),
      flag("UseTcpNodelay", &c->tcp_nodelay, 0),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  if (c->addresses == nullptr || strings::count(c->addresses) == 0) {
    zv_log(ZV_LOG_ERRORS, "read section %s: no daemon addresses specified", name);
    release_daemon(name, c);
    return 0;
  }
  return 1;
}

// --- Scanning ----------------------------------------------------------------------------

void release_scanning(const char*, void* argument) {
  auto* c = static_cast<ScanningConfig*>(argument);
  if (c == nullptr) return;
  free_text(c->prefix_path);
  free_text(c->deny_list_path);
  users_free(c->deny_list);
  c->deny_list = nullptr;
  free_text(c->spool.directory);
  free_text(c->spool.prefix);
  free_text(c->filter_account);
}

bool check_scanning(const char* name, ScanningConfig* c, int spam_filter, int files_mode,
                    const HeapText& naming_mode, const HeapText& deny_mode) {
  if (spam_filter) c->rule_filter = 1;
  if (c->spool.directory == nullptr || c->spool.directory[0] == '\0') {
    zv_log(ZV_LOG_ERRORS, "read section %s: spool directory not specified", name);
    return false;
  }
  if (!check_mask(name, files_mode, &c->spool.mode)) return false;
  if (!lookup_name(naming_mode.text, kNamingModes, &c->spool.naming_mode)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: invalid naming mode %s", name,
           naming_mode.given() ? naming_mode.text : "(null)");
    return false;
  }
  if (c->deny_list_path != nullptr && c->deny_list_path[0] != '\0') {
    c->deny_list = users_load(c->deny_list_path, 1);
    if (c->deny_list == nullptr) return false;
  }
  if (!deny_mode.given()) {
    zv_log(ZV_LOG_ALERTS, "read section %s: DenyMode doesnt specified - set default byAll", name);
    c->deny_mode = DENY_BY_ALL;
  } else if (!lookup_name(deny_mode.text, kDenyModes, &c->deny_mode)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: invalid deny mode %s", name, deny_mode.text);
    return false;
  }
  return true;
}

int read_scanning(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<ScanningConfig*>(argument);
  release_scanning(name, c);
  HeapText naming_mode;
  HeapText deny_mode;
  int spam_filter = 0;
  int files_mode = 0;
  int include_report = 0;
  int include_stats = 0;
  ConfVariable variables[] = {
      flag("HeuristicAnalysis", &c->heuristic, 0),
      unsigned_int("StripPath", &c->strip_path, 0),
      text("PrefixPath", &c->prefix_path, nullptr),
      flag("IncludeReport", &include_report, 1),
      flag("IncludeStats", &include_stats, 1),
      unsigned_int("ReportMaxSize", &c->report_max_size, 4096),
      flag("LocalScan", &c->local_scan, 1),
      flag("RuleFilter", &c->rule_filter, 0),
      flag("SpamFilter", &spam_filter, 0),
      text("DenyList", &c->deny_list_path, nullptr),
      text("DenyMode", &deny_mode.text, nullptr),
      flag("DenyByDefault", &c->deny_by_default, 0),
      text("Spool", &c->spool.directory, nullptr),
      text("SpoolFilenamesPrefix", &c->spool.prefix, "zarvik.tmp."),
      text("SpoolFilenamesMode", &naming_mode.text, "Std"),
      octal("SpoolFilesMode", &files_mode, 0600),
      text("FilterAccount", &c->filter_account, nullptr),
      flag("RunForeground", &c->run_foreground, 0),
      flag("AddXHeaders", &c->add_x_headers, 0),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  if (!check_scanning(name, c, spam_filter, files_mode, naming_mode, deny_mode)) {
    release_scanning(name, c);
    return 0;
  }
  c->report_options =
      (include_report ? REPORT_INCLUDE_REPORT : 0) | (include_stats ? REPORT_INCLUDE_STATS : 0);
  return 1;
}

// --- Logging -----------------------------------------------------------------------------

void release_logging(const char*, void*) {}

int read_logging(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<LoggingConfig*>(argument);
  HeapText level;
  HeapText facility;
  HeapText priority;
  ConfVariable variables[] = {
      text("Level", &level.text, "Quiet"),
      flag("DebugSpool", &c->debug_spool, 0),
      text("SyslogFacility", &facility.text, "Mail"),
      text("SyslogPriority", &priority.text, "Info"),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  if (!lookup_name(level.text, kLogLevels, &c->level)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: unsupported log level %s specified", name, level.text);
    return 0;
  }
  if (!lookup_name(facility.text, kSyslogFacilities, &c->facility)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: unsupported syslog facility %s specified", name,
           facility.text);
    return 0;
  }
  if (!lookup_name(priority.text, kSyslogPriorities, &c->priority)) {
    zv_log(ZV_LOG_ERRORS, "read section %s: unsupported syslog priority %s specified", name,
           priority.text);
    return 0;
  }
  return 1;
}

// --- NotificationOptions -----------------------------------------------------------------

void release_notification_options(const char*, void*) {}

int read_notification_options(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<NotificationOptionsConfig*>(argument);
  memset(c->secure_hash, 0, sizeof c->secure_hash);
  HeapText salt;  // a secret: never kept after loading
  ConfVariable variables[] = {
      flag("FastNotify", &c->fast_notify, 0),
      text("NotifyHashSalt", &salt.text, nullptr),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  return setup_secure_hash(name, c->fast_notify, salt.text, c->secure_hash, sizeof c->secure_hash);
}

// --- Mailer ------------------------------------------------------------------------------

void release_mailer(const char*, void* argument) {
  auto* c = static_cast<MailerConfig*>(argument);
  if (c == nullptr) return;
  free_text(c->mail_system);
  free_text(c->sendmail);
  free_text(c->sendmail_args);
  free_text(c->milter_address);
}

bool check_mailer(const char* name, const MailerConfig* c) {
  if (c->mail_system == nullptr) {
    zv_log(ZV_LOG_ERRORS,
           "read section %s: this filter work with \"Sendmail\", but mailer not specified", name);
    return false;
  }
  if (c->sendmail == nullptr) {
    zv_log(ZV_LOG_ERRORS, "read section %s: sendmail program not specified", name);
    return false;
  }
  if (strncasecmp(c->mail_system, "Sendmail", 8) != 0) {
    zv_log(ZV_LOG_ERRORS,
           "read section %s: this filter work with \"Sendmail\", but conf file for %s mailer", name,
           c->mail_system);
    return false;
  }
  if (c->milter_address == nullptr) {
    zv_log(ZV_LOG_ERRORS, "read section %s: you must specify Milter address from sendmail.cf",
           name);
    return false;
  }
  return true;
}

int read_mailer(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<MailerConfig*>(argument);
  release_mailer(name, c);
  ConfVariable variables[] = {
      text("MailSystem", &c->mail_system, nullptr),
      text("Sendmail", &c->sendmail, nullptr),
      text("SendmailArgs", &c->sendmail_args, nullptr),
      text("MilterAddress", &c->milter_address, nullptr),
      integer("MilterTimeout", &c->milter_timeout, 7210),
      integer("MilterPendedConnections", &c->milter_backlog, 128),
      integer("MilterDebugLevel", &c->milter_debug_level, 0),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  if (!check_mailer(name, c)) {
    release_mailer(name, c);
    return 0;
  }
  return 1;
}

// --- Agent -------------------------------------------------------------------------------

void release_agent(const char*, void* argument) {
  auto* c = static_cast<AgentConfig*>(argument);
  if (c == nullptr) return;
  free_text(c->address);
}

int read_agent(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<AgentConfig*>(argument);
  release_agent(name, c);
  g_marks.agent = 1;
  c->connection = nullptr;
  c->mutex = nullptr;
  c->failed = 0;
  ConfVariable variables[] = {
      text("Address", &c->address, nullptr),
      unsigned_int("Timeout", &c->timeout, 10),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  if (c->address == nullptr)
    zv_log(ZV_LOG_VERBOSE, "read section %s: address for statistic server not defined", name);
  return 1;
}

// --- Notification sections ---------------------------------------------------------------

void release_notification(const char*, void* argument) {
  auto* c = static_cast<NotificationConfig*>(argument);
  if (c == nullptr) return;
  free_text(c->rcpts_template);
  free_text(c->admin_template);
  free_text(c->sender_template);
}

// Notes which optional notification section is being read; refuses the old and the new
// name of the archive-restriction section in one file.
bool mark_notification_section(const char* name) {
  if (section_is(name, "CuredNotifications")) g_marks.cured = 1;
  if (section_is(name, "MalwareNotifications")) g_marks.malware = 1;
  if (section_is(name, "RuleFilterNotifications")) g_marks.rule_filter = 1;
  if (section_is(name, "MailbombNotifications")) {
    if (g_marks.archive_restriction) {
      zv_log(ZV_LOG_ERRORS,
             "read section %s: is obsoleted by ArchiveRestrictionNotifications, cannot be used "
             "together",
             name);
      return false;
    }
    g_marks.mailbomb = 1;
  }
  if (section_is(name, "ArchiveRestrictionNotifications")) {
    if (g_marks.mailbomb) {
      zv_log(ZV_LOG_ERRORS,
             "read section %s: obsolete MailbombNotifications, cannot be used together", name);
      return false;
    }
    g_marks.archive_restriction = 1;
  }
  return true;
}

bool missing(const char* path) {
  return path == nullptr || path[0] == '\0';
}

int read_notification(FILE* stream, int* line, const char* name, void* argument) {
  auto* c = static_cast<NotificationConfig*>(argument);
  if (!mark_notification_section(name)) return 0;
  release_notification(name, c);
  ConfVariable variables[] = {
      flag("SenderNotify", &c->sender_notify, 0),
      flag("AdminNotify", &c->admin_notify, 0),
      flag("RcptsNotify", &c->rcpts_notify, 0),
      text("RcptsTemplate", &c->rcpts_template, nullptr),
      text("AdminTemplate", &c->admin_template, nullptr),
      text("SenderTemplate", &c->sender_template, nullptr),
      kEnd,
  };
  if (!read_keys(stream, line, name, variables)) return 0;
  const char* refusal = nullptr;
  if (c->sender_notify && missing(c->sender_template))
    refusal = "read section %s: you should specify filename with message template for sender";
  else if (c->admin_notify && missing(c->admin_template))
    refusal =
        "read section %s: you should specify filename with message template for administrator";
  else if (c->rcpts_notify && missing(c->rcpts_template))
    refusal = "read section %s: you should specify filename with message template for recipients";
  if (refusal != nullptr) {
    zv_log(ZV_LOG_ERRORS, refusal, name);
    release_notification(name, c);
    return 0;
  }
  return 1;
}

}  // namespace

FilterConfig* filter_config() {
  return &g_config;
}

SectionMarks* section_marks() {
  return &g_marks;
}
void clear_section_marks() {
  g_marks = SectionMarks{};
}

const NameCode kDenyModes[] = {{"byAll", DENY_BY_ALL},
                               {"byOne", DENY_BY_ONE},
                               {"bySender", DENY_BY_SENDER},
                               {"bySenderAndOneRecipient", DENY_BY_SENDER_AND_ONE_RECIPIENT},
                               {"byOneRecipient", DENY_BY_ONE_RECIPIENT},
                               {"byAllRecipients", DENY_BY_ALL_RECIPIENTS},
                               {nullptr, 0}};
const NameCode kLogLevels[] = {{"Quiet", ZV_LOG_QUIET},
                               {"Errors", ZV_LOG_ERRORS},
                               {"Alerts", ZV_LOG_ALERTS},
                               {"Info", ZV_LOG_INFO},
                               {"Verbose", ZV_LOG_VERBOSE},
                               {"Debug", ZV_LOG_DEBUG},
                               {nullptr, 0}};
const NameCode kSyslogFacilities[] = {{"Daemon", LOG_DAEMON},
                                      {"Mail", LOG_MAIL},
                                      {"Local0", LOG_LOCAL0},
                                      {"Local1", LOG_LOCAL1},
                                      {"Local2", LOG_LOCAL2},
                                      {"Local3", LOG_LOCAL3},
                                      {"Local4", LOG_LOCAL4},
                                      {"Local5", LOG_LOCAL5},
                                      {"Local6", LOG_LOCAL6},
                                      {"Local7", LOG_LOCAL7},
                                      {nullptr, 0}};
const NameCode kSyslogPriorities[] = {{"Alert", LOG_ALERT},
                                      {"Info", LOG_INFO},
                                      {"Notice", LOG_NOTICE},
                                      {"Debug", LOG_DEBUG},
                                      {nullptr, 0}};

void make_config_sections(FilterConfig* config, ConfSection* sections) {
  FilterConfig* c = config;
  const ConfSection table[CONFIG_SECTION_COUNT + 1] = {
      {"DaemonCommunication", &c->daemon, read_daemon, release_daemon, 0, 0},
      {"Scanning", &c->scanning, read_scanning, release_scanning, 0, 0},
      {"Logging", &c->logging, read_logging, release_logging, 0, 0},
      {"Actions", &c->actions, read_actions, release_actions, 0, 0},
      {"VirusNotifications", &c->virus_notify, read_notification, release_notification, 0, 0},
      {"SkipNotifications", &c->skip_notify, read_notification, release_notification, 0, 0},
      {"MailbombNotifications", &c->archive_notify, read_notification, release_notification, 0, 1},
      {"ArchiveRestrictionNotifications", &c->archive_notify, read_notification,
       release_notification, 0, 1},
      {"ErrorNotifications", &c->error_notify, read_notification, release_notification, 0, 0},
      {"MalwareNotifications", &c->malware_notify, read_notification, release_notification, 0, 1},
      {"CuredNotifications", &c->cured_notify, read_notification, release_notification, 0, 1},
      {"RuleFilterNotifications", &c->rule_filter_notify, read_notification, release_notification,
       0, 1},
      {"Agent", &c->agent, read_agent, release_agent, 0, 1},
      {"Mailer", &c->mailer, read_mailer, release_mailer, 0, 0},
      {"NotificationOptions", &c->notification_options, read_notification_options,
       release_notification_options, 0, 0},
      {nullptr, nullptr, nullptr, nullptr, 0, 0},
  };
  for (int i = 0; i <= CONFIG_SECTION_COUNT; ++i) sections[i] = table[i];
}

void install_obsolete_tables() {
  static const ConfObsoleteSection kSections[] = {
      {"Submitter", CONF_OBSOLETE_STOP},
      {"SendmailCommunication", CONF_OBSOLETE_STOP},
      {"MailbombNotifications", CONF_OBSOLETE_WARN},
      {nullptr, 0},
  };
  static const ConfObsoleteParameter kParameters[] = {
      {"Scanning", "StripPrefix", CONF_OBSOLETE_WARN},
      {"Scanning", "PathPrefix", CONF_OBSOLETE_WARN},
      {"Scanning", "IncludeViruses", CONF_OBSOLETE_WARN},
      {"Scanning", "DenyOnOne", CONF_OBSOLETE_WARN},
      {"Scanning", "HeloInReceived", CONF_OBSOLETE_WARN},
      {"Actions", "MailbombObject", CONF_OBSOLETE_WARN},
      {"Actions", "VirusReport", CONF_OBSOLETE_WARN},
      {"Actions", "SpamFilterAlert", CONF_OBSOLETE_WARN},
      {"Actions", "Incureable", CONF_OBSOLETE_WARN},
      {"Logging", "Location", CONF_OBSOLETE_STOP},
      {nullptr, nullptr, 0},
  };
  conf_set_obsolete_tables(kSections, kParameters);
}

int load_config(const char* path, FilterConfig* config, ConfSection* sections,
                const ConfHooks* hooks) {
  if (path == nullptr || config == nullptr || sections == nullptr) {
    zv_log_bad_parameters("conf:", path == nullptr, config == nullptr, sections == nullptr);
    return 0;
  }
  *config = FilterConfig{};
  clear_section_marks();
  install_obsolete_tables();
  make_config_sections(config, sections);
  return read_conf_with(path, sections, hooks) == 0 ? 1 : 0;
}

void release_config(ConfSection* sections) {
  if (sections != nullptr) (void)release_sections(sections);
}

void log_config_trace(const FilterConfig* config) {
  if (config == nullptr) return;
  log_actions_trace(&config->actions);
}
