// Configuration file reader: a file of [sections] holding "key <sep> value" lines.
//
// The reader knows nothing of the filter's keys. Its caller describes the file with a
// section table (ConfSection: a read and a release callback per section) and, inside each
// section's read callback, a variable table (ConfVariable: key, type, storage, default)
// that read_section() fills. Everything is reported through zv_log() with messages that
// begin "zvlib: ". It runs on the main thread only and keeps no state between calls,
// except the obsolete tables that the caller installs once (the hooks of
// read_conf_with() are in force only while that call runs).
#pragma once

#include <cstdio>

struct StringList;

// Variable types.
inline constexpr int CONF_INT = 1;      // int32, "%d"
inline constexpr int CONF_UINT = 2;     // int32, "%u" below 2^31
inline constexpr int CONF_BOOL = 3;     // int32 0/1: yes/on/true, no/off/false
inline constexpr int CONF_STRING = 4;   // char*: heap copy (capacity 0) or caller buffer
inline constexpr int CONF_OCTAL = 5;    // int32, "%o"
inline constexpr int CONF_STRLIST = 6;  // StringList*

// One section of a section table; the table ends with a null name. The caller sets
// `loaded` to 0 before read_conf().
struct ConfSection {
  const char* name;
  void* argument;
  // Reads the section's lines, advancing *line; non-zero is success. A callback that
  // fails releases its own record before returning 0.
  int (*read)(FILE* stream, int* line, const char* name, void* argument);
  void (*release)(const char* name, void* argument);
  int loaded;
  int optional;  // 1: may be missing from the file
};

// One key of a variable table; the table ends with an entry whose type is 0.
//  - CONF_INT/UINT/BOOL/OCTAL: storage is an int32_t*, capacity must be 4, default_int.
//  - CONF_STRING: storage is a char**. Capacity 0: the reader stores a heap copy
//    (malloc) that the caller frees with free(). Capacity n > 0: *storage points to a
//    caller buffer of n bytes. default_text may be null.
//  - CONF_STRLIST: storage is a StringList**; default_text must be null.
struct ConfVariable {
  const char* name;
  int type;
  void* storage;
  int capacity;
  int default_int;
  const char* default_text;
};

// Sections and keys that are no longer used. Disposition 1: warn and continue;
// 2: refuse the file.
inline constexpr int CONF_OBSOLETE_WARN = 1;
inline constexpr int CONF_OBSOLETE_STOP = 2;
struct ConfObsoleteSection {
  const char* name;  // null ends the table
  int disposition;
};
struct ConfObsoleteParameter {
  const char* section;  // null ends the table
  const char* key;
  int disposition;
};

// Installs the obsolete tables (null for none). Call before read_conf(), on the main thread.
void conf_set_obsolete_tables(const ConfObsoleteSection* sections,
                              const ConfObsoleteParameter* parameters);

// Reads the file at `path` through `sections`. 0 when read and every required section
// was present; -1 otherwise, with every section read so far released.
[[nodiscard]] int read_conf(const char* path, ConfSection* sections);

// What a caller of read_conf_with() may add to the reading. Either callback may be null.
struct ConfHooks {
  // Called once the file is open and before any line is read, with the open descriptor,
  // so that what it examines is the file that is then read. 0 refuses the file (the
  // callback logs why): read_conf_with() then closes it and fails without reading.
  int (*check_file)(int fd, const char* path, void* context);
  // Called for every key that no entry of its section's table names, with the file's
  // path (null when read_section() runs outside read_conf_with()), the line number, the
  // section name and the key. The key is skipped as ever; this only lets the caller
  // show it.
  void (*unknown_key)(const char* path, int line, const char* section, const char* key,
                      void* context);
  void* context;
};

// read_conf() with `hooks` (null: none) in force for the duration of the call.
[[nodiscard]] int read_conf_with(const char* path, ConfSection* sections, const ConfHooks* hooks);

// Reads one section's lines from `stream` up to the next header or the end of the file,
// after storing the defaults. 0 on success (the stream stands at the next header); -1 on
// any error, with the values the reader allocated released.
[[nodiscard]] int read_section(FILE* stream, int* line, const char* name, ConfVariable* variables,
                               char separator, char list_separator);

// Calls the release callback of every loaded section and clears its flag; returns 0.
int release_sections(ConfSection* sections);

// Stores `value` without its double quotes: a heap copy when capacity is 0 (replacing
// and freeing the text *storage held), or into the caller buffer *storage of `capacity`
// bytes. 1 when stored, 0 when refused.
[[nodiscard]] int getstring(const char* value, char** storage, int capacity);

// A name table for keyword values: (name, code) pairs, a null name ends it.
struct NameCode {
  const char* name;  // null ends a table
  int code;
};

// Looks `value` up in `table`: the first name whose start equals the value over the
// value's length, without regard to case, wins (so "" selects the first name). 1 and the
// code stored, or 0 when no name matches or an argument is null.
[[nodiscard]] int lookup_name(const char* value, const NameCode* table, int* code);
