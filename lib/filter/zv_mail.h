// Message record and envelope.
//
// A mail_info keeps what the filter knows about one message: its envelope (sender and
// recipients), the path of its spool file, the daemon's scan result, the Subject, the
// queue identifier, where the header block lies in the file, the SMTP reply text chosen
// for it and the mark that keeps its file on deletion. It also normalises addresses,
// re-reads the header block after the daemon has rewritten the file, prints envelopes to
// the log and deletes a record together with its spool file.
//
// Records and envelopes are heap objects owned by whoever created them; the record owns
// its envelope, path, texts and scan result. Every operation accepts a null record or
// envelope and then does nothing and gives 0 or null. Log lines start with "mail: ".
//
// A record belongs to one thread at a time; the module takes no lock.
#pragma once

#include <memory>
#include <optional>
#include <string>

struct StringList;
struct ScanResult;

struct mail_envelope {
  std::optional<std::string> from;  // normalised sender; none until set
  bool rcpts_borrowed = false;      // rcpts belongs to someone else: never freed or extended
  StringList* rcpts = nullptr;      // normalised recipients in arrival order; made on first add
};

// The function mail_envelope() hides the type's plain name; this alias names it everywhere.
using MailEnvelope = struct mail_envelope;

struct mail_info {
  MailEnvelope* envelope = nullptr;  // owned; always present in a mail_create record
  std::optional<std::string> path;   // path of the message file
  ScanResult* result = nullptr;      // owned; none until the scan
  std::optional<std::string> subject;
  int headers_offset = 0;                   // file offset of the first header line
  int headers_length = 0;                   // bytes of the header block, its empty line included
  std::optional<std::string> message_id;    // queue identifier for log lines
  std::optional<std::string> reply_string;  // SMTP reply text chosen by the scan decision
  bool keep_file = false;                   // deletion never unlinks the file
};

// Property kinds of mail_get/mail_set.
inline constexpr int MAIL_SUBJECT = 0;         // text
inline constexpr int MAIL_HEADERS_OFFSET = 1;  // int, passed by address
inline constexpr int MAIL_HEADERS_LENGTH = 2;  // int, passed by address
inline constexpr int MAIL_MESSAGE_ID = 3;      // text
inline constexpr int MAIL_REPLY_STRING = 4;    // text

// The normalised form of an address as a new heap string (free() it): the text between
// the first "<" and the last ">" when both exist in that order ("<>" when that text is
// empty), else a copy of the whole address. Null for a null address or no memory.
[[nodiscard]] char* mail_address(const char* address);
// The same as a std::string; none for a null address (may throw std::bad_alloc).
std::optional<std::string> mail_address_string(const char* address);

// --- Envelope ---------------------------------------------------------------------------

// A new envelope, with the sender set (normalised) when one is given; null on failure.
[[nodiscard]] MailEnvelope* e_create(const char* from);
// Frees the sender, the recipient list unless it is borrowed, and the envelope.
void e_delete(MailEnvelope* envelope);
// Replaces the sender by the normalised address. 1, or 0 for null arguments or no memory
// (the previous sender is gone then).
int e_set_from(MailEnvelope* envelope, const char* address);
// Appends the normalised address to the recipients (duplicates kept). 1, or 0 for null
// arguments, a borrowed list (left unchanged) or no memory.
int e_add_rcpt(MailEnvelope* envelope, const char* address);
// The sender, or null.
const char* e_from(const MailEnvelope* envelope);
// The recipient list (owned by the envelope unless borrowed), or null.
StringList* e_rcpts(const MailEnvelope* envelope);
// Number of recipients; 0 without a list.
int e_rcpts_num(const MailEnvelope* envelope);
// 1 when a recipient equals the address byte for byte, else 0.
int e_has_rcpt(const MailEnvelope* envelope, const char* address);
// Frees the current list if owned and uses `list` as a borrowed list (the caller keeps
// it alive longer than the envelope). 1, or 0 for a null envelope.
int e_set_rcpts(MailEnvelope* envelope, StringList* list);
// Logs the envelope at Verbose when `verbosity` is above Info.
void e_print(const MailEnvelope* envelope, int verbosity);

// --- Message record ---------------------------------------------------------------------

// A new record with an empty envelope and a copy of `path` (may be null); null on failure.
[[nodiscard]] mail_info* mail_create(const char* path);
// Deletes the record and all it owns. With `unlink_file` set the file at its path is
// removed unless the record is marked keep_file.
void mail_delete(mail_info* mail, int unlink_file);
// The path, or null.
const char* mail_path(const mail_info* mail);
// The envelope, or null. (Write the type as MailEnvelope: this function hides its name.)
MailEnvelope* mail_envelope(const mail_info* mail);
// Destroys the old envelope and takes ownership of `envelope`. 1, or 0 if either is null.
int mail_set_envelope(mail_info* mail, MailEnvelope* envelope);
// The scan result, or null.
ScanResult* mail_result(const mail_info* mail);
// Destroys the previous result and takes ownership of `result` (may be null). 1, or 0 for
// a null record (the result is then not taken).
int mail_set_result(mail_info* mail, ScanResult* result);
// Marks the file to survive deletion (moved to quarantine or otherwise kept).
void mail_keep_file(mail_info* mail);
// MAIL_SUBJECT, MAIL_MESSAGE_ID, MAIL_REPLY_STRING: the text (const char*), or null when
// unset; MAIL_HEADERS_OFFSET, MAIL_HEADERS_LENGTH: the address of the int; null for other
// kinds. The pointer stays valid until the property is set again or the record deleted.
const void* mail_get(const mail_info* mail, int kind);
// Text kinds: `value` is a const char*, copied without one trailing line feed; int kinds:
// `value` is an int*. Other kinds store nothing. 1 on success, 0 on failure.
int mail_set(mail_info* mail, int kind, const void* value);
// Re-reads the header block of the file at the record's path into headers_offset and
// headers_length. 1 on success, 0 on failure (logged).
int mail_reread_headers(mail_info* mail);

// Deleters for owning pointers; a record is deleted without unlinking its file.
struct MailEnvelopeDeleter {
  void operator()(MailEnvelope* e) const { e_delete(e); }
};
struct MailInfoDeleter {
  void operator()(mail_info* m) const { mail_delete(m, 0); }
};
using MailEnvelopePtr = std::unique_ptr<MailEnvelope, MailEnvelopeDeleter>;
using MailInfoPtr = std::unique_ptr<mail_info, MailInfoDeleter>;
