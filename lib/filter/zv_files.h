// Spool and quarantine files.
//
// Creates uniquely named files in the spool and quarantine directories, moves or copies a
// spool file into quarantine, turns a spool path into the name under which the scanning
// daemon must open it, and offers the small write and read loops used while spooling,
// while reading headers back and while piping a message into the mail submitter.
//
// The module keeps no state and takes no locks: uniqueness of names rests on mkostemp()
// and on exclusive creation, never on the generated text. A quarantine directory may be
// writable by others, so a quarantine file is filled through the descriptor that created
// it and its mode is set through descriptors, never by a name that could be a link. Every failure is logged here
// with the prefix "files:" (or "quarantine:", "move_file:", "copy_file:") and reported
// through the result. Strings handed to the caller are malloc()ed and freed with free().
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "zv_conf.h"
#include "zv_owned.h"

// Naming modes of spool and quarantine files.
inline constexpr int NAMING_STD = 1;
inline constexpr int NAMING_RAND48 = 2;
inline constexpr int NAMING_TAI = 3;

// The names of the naming modes in the configuration (NameCode table of zv_conf).
extern const NameCode kNamingModes[];

// A directory into which uniquely named files are created: the spool and the quarantine.
struct SpoolFileSpec {
  char* directory;     // none for the quarantine: nothing is quarantined
  char* prefix;        // first part of every file name
  int naming_mode;     // NAMING_*
  std::uint16_t mode;  // permission mask, low nine bits; 0 when there is no directory
};

// Creates a new, empty, uniquely named file in the directory that `spec` names, open
// read-write with O_CLOEXEC and with its permission mask. Returns the descriptor and stores the
// malloc()ed name in *name; on failure returns -1 and leaves *name null. A file is only
// ever removed by this call when this call created it.
[[nodiscard]] int open_tmpfile(const SpoolFileSpec* spec, char** name);

// Creates a unique quarantine file and moves (`move` non-zero) or copies the file
// `source` into it. Returns the malloc()ed quarantine name, or null on failure.
[[nodiscard]] char* quarantine_file(const SpoolFileSpec* spec, const char* source, int move);

// Renames `source` to `destination` and gives it `mask` (through a descriptor of the
// message, not by name); across file systems copies block by block and removes the
// source. 0 or -1; errno is left at the first error met (0 when none). The message is
// never lost: after a failed mode change the file is renamed back to `source`, and if
// even that fails it stays at `destination`.
[[nodiscard]] int move_file(const char* source, const char* destination, unsigned mask);

// Copies `source` into the existing (empty) file `destination`, never through a symbolic
// link, and gives it `mask`. 0 or -1; errno is left at the first error met (0 when none);
// EEXIST when the name no longer held the copy at its end. Never removes a file.
[[nodiscard]] int copy_file(const char* source, const char* destination, unsigned mask);

// copy_file() into `destination` already open as `out` (when valid; else opened by name),
// which it closes. The descriptor of a file created for the copy keeps the copy out of
// whatever the name may be made to point to meanwhile.
[[nodiscard]] int copy_into(const char* source, const char* destination, zv::UniqueFd out,
                            unsigned mask);

// move_file() whose block copy, when the rename fails, goes into `placeholder` (when
// valid), the open descriptor of `destination` as copy_into() takes it.
[[nodiscard]] int move_into(const char* source, const char* destination, zv::UniqueFd placeholder,
                            unsigned mask);

// The name under which the scanning daemon opens `path`: resolved with realpath() when
// `expand` is set, then `strip` leading components removed and `prefix` put in front.
// Returns a malloc()ed string, or null on failure.
[[nodiscard]] char* normalize_path(const char* path, int expand, const char* prefix, int strip);

// Writes all `length` bytes, continuing after partial writes. 1 on success (also for a
// length of 0), 0 on failure.
[[nodiscard]] int write_buffer(int fd, const void* buffer, size_t length);
// Writes `text` without its terminator; a null text writes nothing. 1 or 0.
[[nodiscard]] int write_string(int fd, const char* text);

// Reads exactly `length` bytes from `offset` of the file `path` into `buffer`. 1 or 0.
[[nodiscard]] int read_message_part(const char* path, off_t offset, char* buffer, size_t length);

// Copies from `source`'s current position to its end, or at most `limit` bytes when
// `limit` is not 0, into `destination`. 1 or 0.
[[nodiscard]] int copy_fd_part(int source, int destination, size_t limit);

// Opens `path` read-only (close-on-exec) and positions it at `offset`. The descriptor,
// or -1 (logged).
[[nodiscard]] int open_message_part(const char* path, off_t offset);

// Opens `path`, positions it at `offset` and copies it into `destination` as
// copy_fd_part() does. 1 or 0.
[[nodiscard]] int send_message_part(const char* path, off_t offset, size_t limit, int destination);

namespace zv_files_detail {
// quarantine_file() that calls `between` with the quarantine file's name once the file
// exists and before the message goes into it, so that tests can meddle with the name.
[[nodiscard]] char* quarantine_file_with(const SpoolFileSpec* spec, const char* source, int move,
                                         const std::function<void(const char*)>& between);
// open_tmpfile() in mode Rand48 with the generator seeded from `seed` instead of the
// clock, so that tests can predict the names.
[[nodiscard]] int open_tmpfile_rand48(const SpoolFileSpec* spec, char** name, long seed);
// The name attempt `attempt` (0-based) of open_tmpfile_rand48() with `seed` would use
// as the hexadecimal part of the name.
long rand48_value(long seed, int attempt);
}  // namespace zv_files_detail
