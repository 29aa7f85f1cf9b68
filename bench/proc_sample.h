// What the drivers watch of a filter's processes, read from /proc: CPU time, resident
// memory, open descriptors and children. Plain functions, no state; a process that has
// gone away simply counts nothing.
#pragma once

#include <vector>

namespace mload {

struct ProcSample {
  double cpu_s = 0;  // user + system, with waited-for children
  long rss_kb = 0;
  long fds = 0;
};

// The sums over `pids`.
ProcSample sample(const std::vector<int>& pids);
// Resident memory only, summed over `pids` (cheap enough to sample every few ms).
long rss_only(const std::vector<int>& pids);

struct Children {
  long running = 0;  // children of the process that are alive
  long zombies = 0;  // children that exited and were not waited for
};
Children children_of(int pid);

}  // namespace mload
