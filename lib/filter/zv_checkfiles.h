// File tests of the configuration check: has the scanning daemon find the standard
// anti-virus test file (EICAR) in a test message written into the spool directory,
// moves it into the quarantine directory, and tests that a template can be read.
//
// A check runs once on the main thread of a process that exits right after it. Every
// file created here is removed again before a function returns, except the test file
// that check_scan() hands to its caller. No state, no locks of its own; log lines carry
// the function's name as prefix ("check_scan:", "check_spool:", "check_move:",
// "check_file:").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

struct SpoolFileSpec;

// The test message: a MIME message whose attachment is the EICAR test string, 475 bytes
// of text and a terminating zero byte. It is written in two pieces, the first ending
// inside the EICAR string, so the string crosses a write boundary in the spool file.
inline constexpr size_t kCheckMessageLength = 476;
inline constexpr size_t kCheckMessageFirstPiece = 402;
using CheckMessage = std::array<char, kCheckMessageLength>;
// The test message, assembled at run time so that the program file never holds the test
// string whole (a file scanner on the host would take the program for a virus).
CheckMessage check_message();

// Sender and only recipient of the test scan; never delivered to.
inline constexpr const char* kCheckAddress = "eicar-test@zarvik.com";

// Scan request options of the test scan: always-set, mail and extended-options bits.
inline constexpr uint32_t kCheckScanFlags = 0x81080000;
// Report limit of the test scan, in bytes.
inline constexpr uint32_t kCheckReportLimit = 1024;

// Writes the test message into a new file of `spool`, has the daemon scan it (its name
// turned into the daemon's with `local_scan`, `prefix` and `strip`, as for every spooled
// message) and checks that the daemon found the known virus. 1 when it did: the file is
// left in place and its malloc()ed name stored in *name (the caller removes the file and
// frees the name). 0 otherwise (logged): the file, when it was created, has been removed
// and *name is null. The client library must be started.
[[nodiscard]] int check_scan(const SpoolFileSpec* spool, int local_scan, const char* prefix,
                             int strip, char** name);

// check_scan() into the spool directory, then removes the test file. 0 or -1 (logged).
[[nodiscard]] int check_spool(const SpoolFileSpec* spool, int local_scan, const char* prefix,
                              int strip);

// check_scan() into the spool directory, then moves the test file onto a new file of
// `quarantine` with its permission mask. 0 or -1 (logged). Both files are removed in
// every case, so a passed test leaves nothing behind.
[[nodiscard]] int check_move(const SpoolFileSpec* spool, const SpoolFileSpec* quarantine,
                             int local_scan, const char* prefix, int strip);

// 0 when the file `path` can be opened and its first 10 bytes read, -1 otherwise
// (logged).
[[nodiscard]] int check_file(const char* path);
