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

#include "zv_actions.h"
#include "zv_conf.h"
#include "zv_files.h"

struct StringList;
struct NamedMutex;
struct IpcChannel;
struct DenyList;

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
  // unknown, so the connection is never used for another exchange; the next report
  // replaces it with a fresh, registered one.
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

extern const NameCode kDenyModes[];
extern const NameCode kLogLevels[];
extern const NameCode kSyslogFacilities[];
extern const NameCode kSyslogPriorities[];

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
// keeps to release the record later, with the reader's `hooks` (null: none). 1 on
// success; 0 with nothing left allocated.
[[nodiscard]] int load_config(const char* path, FilterConfig* config, ConfSection* sections,
                              const ConfHooks* hooks = nullptr);

// Releases every loaded section of `sections`.
void release_config(ConfSection* sections);

// Logs the converted actions of the record (log_actions_trace()).
void log_config_trace(const FilterConfig* config);
