// The Actions section of the configuration: the action codes and keywords, the action
// parser, the mail-address normaliser, the section's sub-record with its read and
// release callbacks, and the trace of the converted actions. The configuration record
// of zv_options.h holds an ActionsConfig; this module does not know that record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "zv_files.h"

struct UnNotificableVirusesList;
struct UnNotificableAddressesList;

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

// Size of the own-copy mark: 32 lower-case hexadecimal digits and a terminator.
inline constexpr int kOwnMarkSize = 33;
// The header that carries the own-copy mark (and the secure hash of notifications).
inline constexpr const char kOwnMarkHeader[] = "X-zarvik-hash";

// An allowed set of actions for parse_action(): or-ed ACTION_BIT(code).
constexpr int ACTION_BIT(int code) {
  return 1 << code;
}

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
  // A secret made afresh at every load from 128 random bits, never configured and never
  // logged. The filter's own redirected and re-injected copies carry it in their
  // kOwnMarkHeader, so that they pass the filter unscanned when they come back instead of
  // being acted on again. Empty: copies are not marked.
  char own_mark[kOwnMarkSize];
};

// Helpers shared by the section readers of the configuration.
namespace confsection {

// A heap text read into a temporary; freed when the guard goes.
struct HeapText {
  char* text = nullptr;
  HeapText() = default;
  HeapText(const HeapText&) = delete;
  HeapText& operator=(const HeapText&) = delete;
  ~HeapText() { free(text); }
  bool given() const { return text != nullptr; }
  bool empty() const { return text == nullptr || text[0] == '\0'; }
};

// Frees a text the reader stored and sets it to none.
inline void free_text(char*& text) {
  free(text);
  text = nullptr;
}

}  // namespace confsection

// Reads and checks the Actions section into its ActionsConfig (`argument`); 1 on success,
// 0 with the sub-record released.
int read_actions(FILE* stream, int* line, const char* name, void* argument);
// Frees every text and list the Actions section stored and sets it to none.
void release_actions(const char* name, void* argument);

// The keyword ("pass", ...) and the log letter ("P", ...) of an action; "?" for others.
const char* action_keyword(int code);
const char* action_letter(int code);

// Recognises an action keyword at the start of `value` (without regard to case) and
// accepts it when it is in `allowed` (ACTION_BIT set). 1 and *code set, or 0.
[[nodiscard]] int parse_action(const char* value, int allowed, int* code);

// Stores `value` in angle brackets as a new heap string in *out ("<value>", or the value
// as written when it holds a '>'). 1, or 0 when value is null or memory runs out.
[[nodiscard]] int normalize_mail_address(const char* value, char** out);

// Makes a new own-copy mark from the system's random source into `out` (at least
// kOwnMarkSize bytes). 1, or 0 with `out` empty when no random bytes could be had.
[[nodiscard]] int make_own_mark(char* out, size_t size);

// True when `value`, the value of a kOwnMarkHeader header, begins with the own-copy mark
// of `actions`; never for an empty mark.
bool is_own_mark(const ActionsConfig* actions, const char* value);

// The header line that marks a copy as the filter's own ("X-zarvik-hash: <mark>" and
// CR LF, as the spool file's lines end), or an empty text without a mark. May throw
// std::bad_alloc.
std::string own_mark_line(const ActionsConfig* actions);

// Logs the converted actions, one line each at Verbose. A null sub-record logs nothing.
void log_actions_trace(const ActionsConfig* actions);
