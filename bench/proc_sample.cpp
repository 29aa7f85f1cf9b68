// Process figures from /proc; see proc_sample.h.
#include "proc_sample.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace mload {
namespace {

// The fields of /proc/PID/stat after the command name: state is [0], ppid [1].
std::vector<std::string> stat_fields(const std::string& pid_dir, size_t wanted) {
  std::ifstream stat(pid_dir + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  std::vector<std::string> v;
  size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 > text.size()) return v;
  std::istringstream fields(text.substr(close + 2));
  std::string f;
  while (v.size() < wanted && fields >> f) v.push_back(f);
  return v;
}

}  // namespace

ProcSample sample(const std::vector<int>& pids) {
  ProcSample s;
  const long ticks = sysconf(_SC_CLK_TCK);
  for (int pid : pids) {
    std::string base = "/proc/" + std::to_string(pid);
    std::vector<std::string> v = stat_fields(base, 15);
    // utime(11) stime(12) cutime(13) cstime(14).
    if (v.size() >= 15)
      s.cpu_s += static_cast<double>(std::stol(v[11]) + std::stol(v[12]) + std::stol(v[13]) +
                                     std::stol(v[14])) /
                 static_cast<double>(ticks);
    std::ifstream status(base + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) s.rss_kb += std::atol(line.c_str() + 6);
    if (DIR* d = opendir((base + "/fd").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++s.fds;
      closedir(d);
    }
  }
  return s;
}

long rss_only(const std::vector<int>& pids) {
  long total = 0;
  for (int pid : pids) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) total += std::atol(line.c_str() + 6);
  }
  return total;
}

Children children_of(int pid) {
  Children c;
  DIR* d = opendir("/proc");
  if (d == nullptr) return c;
  const std::string parent = std::to_string(pid);
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
    std::vector<std::string> v = stat_fields(std::string("/proc/") + e->d_name, 2);
    if (v.size() < 2 || v[1] != parent) continue;
    if (v[0] == "Z")
      ++c.zombies;
    else
      ++c.running;
  }
  closedir(d);
  return c;
}

}  // namespace mload
