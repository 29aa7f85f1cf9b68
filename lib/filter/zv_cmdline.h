// The command line and the loading of the configuration: the first thing the program
// does. Reads the options, prints the usage or the version when asked, finds the
// configuration file, moves the logger through its start-up stages, loads the file into
// FilterConfig with the filter's section table, makes the checks that span sections and
// either runs the configuration check (check mode, then the process ends) or sets the
// logger to the configured values and returns.
//
// Owns the section table of the loaded configuration (file-static, written only on the
// main thread before any other thread exists). Takes no lock.
#pragma once

struct FilterConfig;

// Exit statuses of the process (sysexits values).
inline constexpr int EXIT_USAGE = 64;     // bad command line or configuration
inline constexpr int EXIT_SOFTWARE = 70;  // internal or libmilter failure
inline constexpr int EXIT_OSERR = 71;     // system failure
inline constexpr int EXIT_CONFIG = 78;    // the configuration check failed, or the
                                          // configuration file is not safe to read as root

inline constexpr const char* kProgramIdent = "zarvik-smf";
inline constexpr const char* kFilterProduct = "Zarvik(R) Filter for sendmail";
inline constexpr const char* kFilterVersion = "4.33";
inline constexpr const char* kDefaultConfigPath = "/etc/zarvik/zarvik_smf.conf";
inline constexpr const char* kDefaultConfigPathLocal = "/usr/local/etc/zarvik/zarvik_smf.conf";

// The configuration check of check mode: 1 when the installation passed, 0 otherwise.
using ConfigCheck = int (*)(FilterConfig* config);

// Reads the command line `argv` (`argc` elements, the program name first) and loads the
// configuration into `config`. 1: loaded, logger set to the configured values, the filter
// is to run; 0: the command line or the configuration was refused (logged), nothing of
// the configuration is left allocated; config_failure_status() then gives the exit
// status. Ends the process itself: after the usage (64), after the version (0), and in
// check mode after `check` (0 passed, 78 failed or no check given, 70 when the check
// account cannot be taken).
//
// When the process runs as root, a configuration file that others could have changed
// (see zv_trust.h) is refused before a line of it is read. Keys that no section knows
// are logged as the reader does and, in check mode, with "--debug" or with
// RunForeground on, also printed as warnings on standard error with file and line.
[[nodiscard]] int init_config(int argc, char** argv, FilterConfig* config, ConfigCheck check);

// The exit status after init_config() refused: EXIT_CONFIG when the configuration file
// was refused as unsafe to read as root, EXIT_USAGE for any other refusal.
int config_failure_status();

// Releases the configuration that init_config() loaded (the sections it read, the lists
// included). For the end of the process; the record must no longer be in use.
void release_loaded_config();
