// List files: what the deny list, the non-notified viruses list and the non-notified
// addresses list have in common.
//
// Each of the three files is line-oriented text read piece by piece through a fixed
// buffer, with an optional version header on its first entry line, keywords recognised
// without regard to case, and a pattern that takes the rest of the line. Each list in
// memory is a GuardedList: its entries in file order next to the named mutex that guards
// them. A Format describes what sets one list apart (its log prefix, line buffer, known
// versions, line parser, mutex name and print texts); the list modules keep their entry
// types, parsers and queries and leave loading, reloading, printing and freeing to this
// module.
//
// Locks: a GuardedList takes its own mutex for the whole of every query (with_lock),
// print, reload and free, and nothing else meanwhile. A reload reads the new file before
// taking the mutex and swaps the entries in under it, so a query sees either the old or
// the new list, never a mix; the first load runs before the list is shared.
#pragma once

#include <regex.h>

#include <cstdio>
#include <memory>
#include <new>
#include <source_location>
#include <string>
#include <utility>
#include <vector>

#include "zv_log.h"
#include "zv_mutex.h"
#include "zv_owned.h"

namespace listfile {

// Version of a file without a version header.
inline constexpr unsigned long kDefaultVersion = 1;

using FilePtr = zv::UniqueFile;

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
// Why a pattern is not handed to regcomp, whose work would explode on it: repetition
// operators stacked on one another, or repeated pieces that expand too far (a{1,1024} is
// the most a single piece may be). Null for every other pattern, well-formed or not.
const char* repetition_refusal(const std::string& pattern);
// Compiles `pattern` (REG_EXTENDED | REG_NOSUB, plus REG_ICASE when `ignore_case`); null
// and "cannot compile regular expression (%s) - %s" on failure, with the refusal above as
// the error text when it applies. Like the reader and the
// std::string helpers, throws std::bad_alloc when memory runs out: callers catch it.
RegexPtr compile(const std::string& pattern, bool ignore_case);
// True when the compiled expression matches somewhere in `text`.
bool matches(const regex_t* re, const char* text);
// Logs "<module>(<line>) - cannot allocate memory".
void log_no_memory(const char* module, int line);

// What sets one list file apart. `Entry` is movable and has a std::string `pattern`,
// which messages about the entry name.
template <typename Entry>
struct Format {
  const char* prefix;       // starts the list's messages: "users"
  const char* module;       // names the module in out-of-memory lines: "zv_users"
  const char* mutex_name;   // of the list's mutex
  const char* load_failed;  // logged, the path after it, when a load fails
  std::size_t line_buffer;  // bytes per fgets, line ending and terminator included
  // Whether the entry lines of a file of this version can be read.
  bool (*knows_version)(unsigned long version);
  // Parses the entry line `text` (at the reader's line, in its version) into *entry; 0
  // (logged) when the line is wrong. May throw std::bad_alloc.
  int (*parse)(const Reader& reader, const char* text, Entry* entry);
  const char* print_heading;  // first line of a print, prefix included
  const char* print_noun;     // "user" in "users: print user %s skipped - no memory"
  // An entry's print line, without the prefix. May throw std::bad_alloc.
  std::string (*describe)(const Entry& entry);
};

// Reads the file at `path` in `format` into *entries, which is left untouched on failure.
// 1, or 0 (logged). An out-of-memory line names `format.module` and `line`.
template <typename Entry>
int read_entries(const Format<Entry>& format, const char* path, std::vector<Entry>* entries,
                 int line) {
  try {
    Reader reader(format.prefix, path, format.line_buffer);
    if (reader.open() == 0) return 0;
    std::vector<Entry> fresh;
    while (const char* text = reader.next()) {
      if (!format.knows_version(reader.version())) {
        zv_log(ZV_LOG_ERRORS, "%s: wrong %lu version of file", format.prefix, reader.version());
        return 0;
      }
      Entry entry;
      if (format.parse(reader, text, &entry) == 0) return 0;
      fresh.push_back(std::move(entry));
    }
    if (reader.failed() || reader.close() == 0) return 0;
    entries->swap(fresh);
    return 1;
  } catch (const std::bad_alloc&) {
    log_no_memory(format.module, line);
    return 0;
  }
}

// The entries of one list file in file order and the named mutex that guards them. A
// list module derives its opaque list record from it (struct DenyList : GuardedList<...>),
// makes it with load_list and frees it with free_list.
template <typename Entry>
class GuardedList {
 public:
  using Entries = std::vector<Entry>;

  explicit GuardedList(const Format<Entry>& format) : format_(format) {}
  GuardedList(const GuardedList&) = delete;
  GuardedList& operator=(const GuardedList&) = delete;

  // The first load, into a list not shared yet (so without the lock): makes the mutex
  // when `with_mutex` is set, then reads `path`. 1, or 0 (logged) when the mutex cannot
  // be made or the file failed to load. `line` is the caller's, for an out-of-memory line.
  [[nodiscard]] int load(const char* path, int with_mutex, int line) {
    if (with_mutex != 0) {
      mutex_.reset(zv_mutex_create(format_.mutex_name));
      if (!mutex_) return 0;
    }
    if (read_entries(format_, path, &entries_, line) == 0) {
      zv_log(ZV_LOG_ERRORS, "%s %s", format_.load_failed, path);
      return 0;
    }
    return 1;
  }

  // Replaces the entries with those of `path`: 1, or 0 when the file failed to load, and
  // the list is then empty; 0 also when the mutex cannot be taken (entries unchanged). A
  // null path gives 1. `where` names the caller's line in an out-of-memory message.
  [[nodiscard]] int reload(const char* path,
                           std::source_location where = std::source_location::current()) {
    if (path == nullptr) return 1;
    // The file is read before the lock is taken, so queries go on meanwhile against the
    // old entries; the swap under the lock is what they see change.
    Entries fresh;
    const int loaded = read_entries(format_, path, &fresh, static_cast<int>(where.line()));
    NamedMutexLock lock(mutex_.get());
    if (!lock.locked()) return 0;
    entries_.swap(fresh);  // on failure fresh is empty: the list is emptied
    (void)lock.unlock();
    return loaded;  // the old entries are freed here, outside the lock
  }

  // Calls query(entries) under the lock and gives its result, or `fallback` when the lock
  // cannot be taken.
  template <typename Result, typename Query>
  Result with_lock(Result fallback, Query&& query) {
    NamedMutexLock lock(mutex_.get());
    if (!lock.locked()) return fallback;
    return query(static_cast<const Entries&>(entries_));
  }

  // Logs the heading and one line per entry at Verbose, under the lock, when `verbosity`
  // is above Info.
  void print(int verbosity) {
    if (verbosity <= ZV_LOG_INFO) return;
    NamedMutexLock lock(mutex_.get());
    if (!lock.locked()) return;
    zv_log(ZV_LOG_VERBOSE, "%s", format_.print_heading);
    for (const Entry& entry : entries_) {
      try {
        const std::string text = format_.describe(entry);
        zv_log(ZV_LOG_VERBOSE, "%s: %s", format_.prefix, text.c_str());
      } catch (const std::bad_alloc&) {
        zv_log(ZV_LOG_ERRORS, "%s: print %s %s skipped - no memory", format_.prefix,
               format_.print_noun, entry.pattern.c_str());
      }
    }
  }

  // Empties the list under the lock; the entries are freed after it is released.
  void clear() {
    Entries old;
    NamedMutexLock lock(mutex_.get());
    entries_.swap(old);
    (void)lock.unlock();
  }

 private:
  const Format<Entry>& format_;
  NamedMutexPtr mutex_;  // none for a list made without one
  Entries entries_;      // guarded by mutex_
};

// A new List (derived from GuardedList<Entry>, made from `format`) holding the entries of
// `path`, with a mutex named format.mutex_name when `with_mutex` is set; free it with
// free_list. Null when there is no path, no memory ("<prefix>: no memory"), no mutex, or
// the file failed to load (logged); nothing is left allocated then.
template <typename List, typename Entry>
List* load_list(const Format<Entry>& format, const char* path, int with_mutex,
                std::source_location where = std::source_location::current()) {
  if (path == nullptr) return nullptr;
  std::unique_ptr<List> list(new (std::nothrow) List(format));
  if (!list) {
    zv_log(ZV_LOG_ERRORS, "%s: no memory", format.prefix);
    return nullptr;
  }
  if (list->load(path, with_mutex, static_cast<int>(where.line())) == 0) return nullptr;
  return list.release();
}

// Empties the list under its lock, then frees it with its mutex; null is ignored.
template <typename List>
void free_list(List* list) {
  if (list == nullptr) return;
  list->clear();
  delete list;
}

}  // namespace listfile
