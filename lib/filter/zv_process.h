// Process set-up: the account switch and the detach.
//
// Both run on the main thread before any other thread exists, so they may use the
// process-wide calls (setuid, fork, close_range) freely; they keep no state and take no
// lock. Their messages carry the prefix "conf: ".
#pragma once

// Switches the process to the account `name`: its supplementary groups, its group and
// then its user. A null (or empty) name keeps the current account. 1 on success; 0 when
// the account does not exist or a switch failed (logged; the ids are then unchanged
// unless the user switch itself failed half way, which the system does not do).
[[nodiscard]] int set_account(const char* name);

// Turns the process into a background daemon: ignores the terminal stop signals, forks,
// and in the child starts a new session, changes to `directory` (when not null), puts
// descriptors 0 to 2 on /dev/null and, with `close_descriptors`, closes every descriptor
// from 3 up to the hard limit. The child's pid (> 0) in the parent, 0 in the detached
// child, -1 on failure (in the parent when the fork failed, else in the child).
[[nodiscard]] int daemonize(const char* directory, int close_descriptors);
