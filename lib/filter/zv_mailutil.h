// Header text utilities and the secure token.
//
// is_special() recognises mail between the filter's own addresses (a redirected copy, a
// loop, a notification about a notification) from the envelope alone. decode_subject()
// turns a Subject with RFC 2047 encoded words into plain text in a template's charset.
// one_line() keeps a text from outside on the line it is written into. The secure token
// marks the filter's own notifications: an MD5 digest (OpenSSL EVP) of the time of day,
// the process id and an administrator's salt, written as 32 lower-case hexadecimal digits.
// It is made once while the configuration is read, before any other thread runs, and only
// read afterwards.
//
// Nothing here keeps state or takes a lock; every function is safe on any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct mail_info;

// Room for the token: 32 hexadecimal digits and the terminator.
inline constexpr std::size_t SECURE_TOKEN_SIZE = 33;

// 1 when the message has exactly one envelope recipient, its sender equals `a` and its
// recipients contain `b`; else 0 (also for any null argument). `a` and `b` may be written
// with or without angle brackets. `label` only names the test in the log line.
int is_special(const mail_info* mail, const char* a, const char* b, const char* label);

// `text` unfolded (a CR LF or LF followed by a blank or tab is dropped, or kept as it is
// with `keep_folds`) and with every other CR or LF turned into a blank, so that it stays
// on the line it is put into: the notification macros, and what the filter writes into a
// spool file from what the MTA hands in (header values keep their folds). A null text
// gives an empty one. May throw std::bad_alloc.
std::string one_line(const char* text, bool keep_folds = false);

// `subject` with its RFC 2047 encoded words (base64 or quoted-printable) decoded, as a
// new heap string the caller frees with free(). Every word's charset must be a prefix of
// `charset` (without regard to case; null means "us-ascii"). Null when the subject is
// null, a word is malformed or foreign, or memory runs out; the caller then uses the raw
// subject.
[[nodiscard]] char* decode_subject(const char* subject, const char* charset);

// The token for the given time of day, process id and salt (bytes of the salt without its
// terminator), written with its terminator into `out` of `out_size` bytes. 1, or 0 when
// an argument is null, out_size is below SECURE_TOKEN_SIZE or the digest fails (logged).
[[nodiscard]] int secure_hash_compute(uint32_t seconds, uint32_t microseconds, uint32_t pid,
                                      const char* salt, char* out, std::size_t out_size);

// A new token from the current time of day and this process's id, into `out` as above.
// 1, or 0 when the time of day cannot be read ("hash: cannot get time of day") or the
// digest fails; `out` then holds an empty text.
[[nodiscard]] int make_secure_hash(const char* salt, char* out, std::size_t out_size);

// The reader of the notification options, once it has read its keys: with `fast_notify`
// off, `out` is emptied and nothing more is done (1). With it on, a missing or empty salt
// logs "read section <section>: you should specify NotifyHashSalt if use FastNotify" and
// gives 0; otherwise a new token is made into `out` (0 and "read section <section>: could
// not generate secure hash" when that fails).
[[nodiscard]] int setup_secure_hash(const char* section, int fast_notify, const char* salt,
                                    char* out, std::size_t out_size);
