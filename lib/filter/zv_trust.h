// Whether a file that a process running as root reads its orders from may be trusted:
// nobody but its owner may have changed it, or be able to put another file in its place.
//
// The configuration names the program the filter runs and the account it becomes, so
// while the filter starts as root its configuration file is examined by the descriptor
// it is read through (the file examined is the file read), and every folder of its real
// path is examined up to "/". Takes no lock; keeps no state.
#pragma once

#include <sys/types.h>

#include <string>

// Examines the file open at `fd`, named `path`, for a reader that trusts only root and
// the account `trusted` (0 when the process runs as root; other values let the rules be
// tried without root). The file must be a regular file owned by root or `trusted` and
// writable by no one else (no group or other write bit); every folder of its real path
// up to "/" must be owned by root or `trusted` and writable by no one else, unless it
// has the sticky bit (as /tmp), which keeps others from replacing what they do not own.
// 1 when trusted; 0 otherwise, with *reason naming the file or folder, its mode and its
// owner (reason may be null).
[[nodiscard]] int config_file_trusted(int fd, const char* path, uid_t trusted, std::string* reason);
