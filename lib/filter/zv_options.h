// The filter's configuration: the process-wide record FilterConfig, one sub-record per
// section of the configuration file, and the section readers that fill it.
//
// Every section is a ConfSection of the configuration reader (zv_conf.h): its read
// callback stores the section's keys with their defaults, then checks and converts them;
// its release callback frees what the section stored. The record is filled once on the
// main thread before any other thread exists and is read-only afterwards, except the
// three list objects inside it, which the SIGHUP reload refills under their own mutexes.
// Texts in the record are heap strings (malloc) owned by the record and freed by the
// section's release callback; "none" is a null pointer.
//
// This module takes no lock of its own; loading the lists takes each list's mutex.
#pragma once

#include <cstdint>
#include <cstdio>

struct StringList;
struct NamedMutex;
struct IpcChannel;
struct DenyList;
struct UnNotificableVirusesList;
struct UnNotificableAddressesList;
struct ConfSection;

// The configured reactions to a finding.
enum FilterAction : int {
  ACTION_PASS = 1,
  ACTION_REJECT = 2,
  ACTION_QUARANTINE = 3,
  ACTION_REMOVE = 4,
  ACTION_CURE = 5,
  ACTION_DISCARD = 6,
  ACTION_TEMPFAIL = 7,
  ACTION_CONTINUE = 8,
  ACTION_REDIRECT = 9,
};

// An allowed set of actions for parse_action(): or-ed ACTION_BIT(code).
constexpr int ACTION_BIT(int code) {
  return 1 << code;
}

// Naming modes of spool and quarantine files.
inline constexpr int NAMING_STD = 1;
inline constexpr int NAMING_RAND48 = 2;
inline constexpr int NAMING_TAI = 3;

// Deny modes: how the deny list is applied to sender and recipients.
inline constexpr int DENY_BY_ALL = 1;
inline constexpr int DENY_BY_ONE = 2;
inline constexpr int DENY_BY_SENDER_AND_ONE_RECIPIENT = 3;
inline constexpr int DENY_BY_SENDER = 4;
inline constexpr int DENY_BY_ONE_RECIPIENT = 5;
inline constexpr int DENY_BY_ALL_RECIPIENTS = 6;

// Report options asked of the daemon with each scan.
inline constexpr int REPORT_INCLUDE_REPORT = 2;
inline constexpr int REPORT_INCLUDE_STATS = 4;

// A directory into which uniquely named files are created: the spool and the quarantine.
struct SpoolFileSpec {
  char* directory;     // none for the quarantine: nothing is quarantined
  char* prefix;        // first part of every file name
  int naming_mode;     // NAMING_*
  std::uint16_t mode;  // permission mask, low nine bits; 0 when there is no directory
};

struct DaemonCommunicationConfig {
  StringList* addresses;  // at least one; the first is the primary daemon
  int cache;              // resolve each address once, when added
  int timeout;            // seconds per scanning session; 0: no limit
  int tcp_nodelay;
};

struct ScanningConfig {
  int heuristic;
  int tcp_nodelay;  // copy of DaemonCommunicationConfig::tcp_nodelay, made after loading
  char* prefix_path;
  int strip_path;
  int report_options;  // REPORT_INCLUDE_REPORT | REPORT_INCLUDE_STATS
  int report_max_size;
  int local_scan;
  int rule_filter;
  SpoolFileSpec spool;
  int deny_mode;  // DENY_BY_*
  int deny_by_default;
  DenyList* deny_list;  // none without a DenyList path
  char* deny_list_path;
  char* filter_account;
  int run_foreground;
  char* hostname;  // filled at start-up by the program
  int add_x_headers;
  char* x_antivirus;  // "X-Antivirus" value, filled at start-up when add_x_headers is on
};

struct LoggingConfig {
  int level;  // a LogLevel code
  int debug_spool;
  int facility;  // syslog facility code
  int priority;  // syslog priority code
};

struct ActionsConfig {
  // FilterAction codes.
  int rule_filter_alert;
  int empty_from;
  int cure_fail;
  int incurable;
  int infected;
  int adware;
  int dialers;
  int jokes;
  int riskware;
  int hacktools;
  int suspicious;
  int skip_object;
  int archive_restriction;
  int scanning_errors;
  int processing_errors;
  int use_custom_reply;
  char* reply_infected;
  char* reply_rule_filter;
  char* reply_empty_from;
  char* reply_suspicious;
  char* reply_malware;
  char* reply_skip_object;
  char* reply_archive_restriction;
  char* reply_error;
  char* admin_mail;                              // always in angle brackets
  char* filter_mail;                             // always in angle brackets
  char* redirect_mail;                           // in angle brackets, or none: no redirection
  UnNotificableVirusesList* unnotified_viruses;  // none without a path
  char* unnotified_viruses_path;
  UnNotificableAddressesList* unnotified_addresses;  // none without a path
  char* unnotified_addresses_path;
  SpoolFileSpec quarantine;
  int quarantine_move;  // always 1: quarantining moves the spool file
};

// One notification section; the seven sections share this layout.
struct NotificationConfig {
  int sender_notify;
  int admin_notify;
  int rcpts_notify;
  char* rcpts_template;
  char* admin_template;
  char* sender_template;
};

inline constexpr int SECURE_HASH_SIZE = 33;  // 32 lowercase hex digits and a terminator

struct NotificationOptionsConfig {
  char secure_hash[SECURE_HASH_SIZE];  // empty unless fast_notify is on
  int fast_notify;
};

struct MailerConfig {
  char* mail_system;
  char* sendmail;       // path of the submitter program
  char* sendmail_args;  // none: no extra arguments
  char* milter_address;
  int milter_timeout;
  int milter_debug_level;
  int milter_backlog;
};

struct AgentConfig {
  char* address;           // none: no statistics agent
  int timeout;             // seconds per exchange
  IpcChannel* connection;  // made by init_stat()
  NamedMutex* mutex;       // "ZarvikAgent::Connection", made by init_stat(); guards connection
  // Set under the mutex when an exchange failed: the position in the stream is then
  // unknown, so the connection is never used for another exchange.
  int failed;
};

// The process-wide configuration record.
struct FilterConfig {
  DaemonCommunicationConfig daemon;
  ScanningConfig scanning;
  LoggingConfig logging;
  ActionsConfig actions;
  NotificationConfig virus_notify;
  NotificationConfig malware_notify;
  NotificationConfig skip_notify;
  NotificationConfig archive_notify;
  NotificationConfig error_notify;
  NotificationConfig rule_filter_notify;
  NotificationConfig cured_notify;
  NotificationOptionsConfig notification_options;
  MailerConfig mailer;
  AgentConfig agent;
};

// The one configuration record of the process (zeroed storage with static duration).
FilterConfig* filter_config();

// --- Name tables -----------------------------------------------------------------------

struct NameCode {
  const char* name;  // null ends a table
  int code;
};

extern const NameCode kNamingModes[];
extern const NameCode kDenyModes[];
extern const NameCode kLogLevels[];
extern const NameCode kSyslogFacilities[];
extern const NameCode kSyslogPriorities[];

// Looks `value` up in `table`: the first name whose start equals the value over the
// value's length, without regard to case, wins (so "" selects the first name). 1 and the
// code stored, or 0 when no name matches or an argument is null.
[[nodiscard]] int lookup_name(const char* value, const NameCode* table, int* code);

// --- Actions and addresses -------------------------------------------------------------

// The keyword ("pass", ...) and the log letter ("P", ...) of an action; "?" for others.
const char* action_keyword(int code);
const char* action_letter(int code);

// Recognises an action keyword at the start of `value` (without regard to case) and
// accepts it when it is in `allowed` (ACTION_BIT set). 1 and *code set, or 0.
[[nodiscard]] int parse_action(const char* value, int allowed, int* code);

// Stores `value` in angle brackets as a new heap string in *out ("<value>", or the value
// as written when it holds a '>'). 1, or 0 when value is null or memory runs out.
[[nodiscard]] int normalize_mail_address(const char* value, char** out);

// --- Sections ---------------------------------------------------------------------------

// The "present" marks of the optional sections, cleared before each loading.
struct SectionMarks {
  int mailbomb;
  int archive_restriction;
  int rule_filter;
  int malware;
  int cured;
  int agent;
};
SectionMarks* section_marks();
void clear_section_marks();

// Fills `sections` (16 entries: 15 sections and the terminator) with the filter's section
// table over `config`, every loaded flag 0.
inline constexpr int CONFIG_SECTION_COUNT = 15;
void make_config_sections(FilterConfig* config, ConfSection* sections);

// Installs the filter's obsolete sections and parameters in the configuration reader.
void install_obsolete_tables();

// Loads `path` into `config` (zeroed first) through the section table, which the caller
// keeps to release the record later. 1 on success; 0 with nothing left allocated.
[[nodiscard]] int load_config(const char* path, FilterConfig* config, ConfSection* sections);

// Releases every loaded section of `sections`.
void release_config(ConfSection* sections);

// Logs the converted actions, one line each at Verbose.
void log_config_trace(const FilterConfig* config);
