// The deny list: which envelope senders and recipients are checked at all.
//
// A DenyList holds the entries of the administrator's list file in file order, each an
// allow or deny verdict for the sender, a recipient or either, with an exact, substring,
// case-insensitive or case-sensitive POSIX extended regular expression pattern. The list
// is loaded while the configuration is read, replaced wholesale on SIGHUP and matched
// from every connection thread. Log lines start with "users: ".
//
// Locks: each list carries its own named mutex ("ZvLib::UsersLocker" in the filter); every
// query, print, reload and free takes it for the whole operation, and nothing else is
// locked meanwhile. A reload reads the new file before taking the mutex and swaps the
// entries in under it, so a query sees either the old or the new list, never a mix.
//
// This module also holds the line reader and field parsers that the three list files
// (deny list, non-notified viruses, non-notified addresses) share: namespace listfile.
#pragma once

#include <regex.h>

#include <cstdio>
#include <memory>
#include <string>

struct DenyList;
struct NamedMutex;

// Roles of entries and of the asked address (bits: "any" covers both).
inline constexpr int USERS_ROLE_FROM = 1;
inline constexpr int USERS_ROLE_TO = 2;
inline constexpr int USERS_ROLE_ANY = 3;

// Comparisons of the entries.
inline constexpr int USERS_CMP_CREGEX = 0;
inline constexpr int USERS_CMP_REGEX = 1;
inline constexpr int USERS_CMP_EXACT = 2;
inline constexpr int USERS_CMP_SUBST = 3;

inline constexpr const char* USERS_MUTEX_NAME = "ZvLib::UsersLocker";

// Loads the list at `path`, with a mutex of that name when `with_mutex` is set. The new
// list (free with users_free), or null: no path, no memory, or the file failed to load
// (logged with the line at fault; nothing is left allocated).
[[nodiscard]] DenyList* users_load(const char* path, int with_mutex);
// Replaces the entries with those of `path`. 1, or 0 when the file failed to load; the
// list is then empty. A null list or path gives 1.
[[nodiscard]] int users_reload(DenyList* list, const char* path);
// Logs the list at Verbose when `verbosity` is above Info.
void users_print(DenyList* list, int verbosity);
// Frees the list, its entries and its mutex; null is ignored.
void users_free(DenyList* list);
// The verdict of the first entry (file order) whose role shares a bit with `role` and
// whose pattern fits `address`: 1 allow (check the mail), 0 deny. Without such an entry,
// or for a null list or address: 0 when `deny_by_default` is set, else 1.
[[nodiscard]] int users_match(DenyList* list, const char* address, int role, int deny_by_default);

struct DenyListDeleter {
  void operator()(DenyList* l) const { users_free(l); }
};
using DenyListPtr = std::unique_ptr<DenyList, DenyListDeleter>;

namespace listfile {

// Version of a file without a version header.
inline constexpr unsigned long kDefaultVersion = 1;

// Closes a FILE* opened for reading.
struct FileCloser {
  void operator()(FILE* f) const { (void)fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// A compiled POSIX expression, freed with regfree.
struct RegexDeleter {
  void operator()(regex_t* re) const {
    regfree(re);
    delete re;
  }
};
using RegexPtr = std::unique_ptr<regex_t, RegexDeleter>;

// Reads a list file piece by piece: each fgets of at most `buffer_size` - 1 bytes is one
// numbered line, so a longer line is read (and counted) as several. Skips empty lines,
// comment lines ("#" after leading white space) and reads the version header of the first
// remaining line. Owns the FILE*.
class Reader {
 public:
  // `prefix` starts every message ("users", "virus", "maddr").
  Reader(const char* prefix, const char* path, std::size_t buffer_size);
  // Opens the file; 0 and "<prefix>: cannot open file %s - %s" on failure.
  [[nodiscard]] int open();
  // The next entry line, after its leading white space, or null at the end of the file or
  // on a bad version header (then failed() is true; the message is logged).
  const char* next();
  [[nodiscard]] bool failed() const { return failed_; }
  [[nodiscard]] int line_number() const { return line_; }
  // The current line as read, without its line ending, for messages.
  [[nodiscard]] std::string raw_line() const;
  [[nodiscard]] unsigned long version() const { return version_; }
  // Closes the file; 0 and "cannot close %s - %s" when closing fails.
  [[nodiscard]] int close();

 private:
  int parse_version_header(const char* text);

  const char* prefix_;
  std::string path_;
  FilePtr file_;
  std::string buffer_;
  int line_ = 0;
  unsigned long version_ = kDefaultVersion;
  bool first_ = true;
  bool failed_ = false;
};

// When `text` begins with `keyword` (without regard to case): moves *text past it and past
// the white space after it, and gives true.
bool take_keyword(const char** text, const char* keyword);
// The pattern of the rest of the line: white space outside double quotes removed, then
// every double quote removed.
std::string take_pattern(const char* text);
// Compiles `pattern` (REG_EXTENDED | REG_NOSUB, plus REG_ICASE when `ignore_case`); null
// and "cannot compile regular expression (%s) - %s" on failure. Like the reader and the
// std::string helpers, throws std::bad_alloc when memory runs out: callers catch it.
RegexPtr compile(const std::string& pattern, bool ignore_case);
// True when the compiled expression matches somewhere in `text`.
bool matches(const regex_t* re, const char* text);
// Logs "<module>(<line>) - cannot allocate memory".
void log_no_memory(const char* module, int line);

}  // namespace listfile
