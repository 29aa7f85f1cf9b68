// The configuration check of check mode ("--check_only"): tests the installation that a
// loaded configuration describes instead of filtering mail.
//
// check_conf() starts the scanning-daemon client library, checks the daemon's version,
// looks for contradictions in the configuration, has the daemon find the standard
// anti-virus test file through the spool directory (and through the quarantine
// directory when one is set), checks that the notification templates can be read and
// sends a test mail to the administrator through the submitter. The first failing step
// ends the check. Runs once on the main thread of a process that exits right after it;
// log prefix "check_conf:". Takes no lock of its own.
#pragma once

struct FilterConfig;

// Oldest daemon version the filter works with.
inline constexpr int kCheckDaemonMajor = 4;
inline constexpr int kCheckDaemonMinor = 33;

// Web address in the administrator's test mail.
inline constexpr const char* kCheckWebAddress = "http://www.zarvik.com";

// Tests the installation described by `config`. With `library_started` 0 the client
// library is started here from the configured daemon addresses and cleaned up again
// before returning; otherwise the caller's running library is used and left running.
// 1 when every test passed, 0 at the first failure (logged at Errors).
[[nodiscard]] int check_conf(FilterConfig* config, int library_started);
