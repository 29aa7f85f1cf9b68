// Trust in a file read by a process running as root (see zv_trust.h).
#include "zv_trust.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

#include "zv_log.h"
#include "zv_owned.h"

namespace {

// The account name of `uid`, or its number when it has none.
std::string owner_name(uid_t uid) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 4096);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
      found->pw_name != nullptr)
    return found->pw_name;
  return std::to_string(static_cast<unsigned long>(uid));
}

std::string describe(const char* what, const std::string& name, const struct stat& status) {
  char mode[16];
  snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(status.st_mode & 07777));
  return std::string(what) + " " + name + " (mode " + mode + ", owner " +
         owner_name(status.st_uid) + ")";
}

bool owned_by_trusted(const struct stat& status, uid_t trusted) {
  return status.st_uid == 0 || status.st_uid == trusted;
}

void set_reason(std::string* reason, std::string text) {
  if (reason != nullptr) *reason = std::move(text);
}

// Every folder of `real` (an absolute path without links, as realpath() gives it) from
// the file's own up to "/". 1 when all may be trusted.
int folders_trusted(const std::string& real, uid_t trusted, std::string* reason) {
  std::string folder = real;
  while (folder.size() > 1) {
    size_t slash = folder.rfind('/');
    folder.resize(slash == 0 ? 1 : slash);
    struct stat status {};
    if (lstat(folder.c_str(), &status) != 0) {
      int error = errno;
      set_reason(reason, "folder " + folder + " cannot be examined - " + stdlib_error(error));
      return 0;
    }
    if (!S_ISDIR(status.st_mode)) {
      set_reason(reason, describe("folder", folder, status) + " is not a folder");
      return 0;
    }
    if (!owned_by_trusted(status, trusted)) {
      set_reason(reason,
                 describe("folder", folder, status) + " is owned by another user than root");
      return 0;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) {
      set_reason(reason, describe("folder", folder, status) +
                             " is writable by group or others without the sticky bit");
      return 0;
    }
  }
  return 1;
}

}  // namespace

int config_file_trusted(int fd, const char* path, uid_t trusted, std::string* reason) {
  try {
    if (path == nullptr || fd < 0) {
      set_reason(reason, "no file to examine");
      return 0;
    }
    struct stat status {};
    if (fstat(fd, &status) != 0) {
      int error = errno;
      set_reason(reason,
                 std::string("file ") + path + " cannot be examined - " + stdlib_error(error));
      return 0;
    }
    if (!S_ISREG(status.st_mode)) {
      set_reason(reason, describe("file", path, status) + " is not a regular file");
      return 0;
    }
    if (!owned_by_trusted(status, trusted)) {
      set_reason(reason, describe("file", path, status) + " is owned by another user than root");
      return 0;
    }
    if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
      set_reason(reason, describe("file", path, status) + " is writable by group or others");
      return 0;
    }
    zv::UniqueMalloc<char> real(realpath(path, nullptr));
    if (!real) {
      int error = errno;
      set_reason(reason,
                 std::string("file ") + path + " cannot be resolved - " + stdlib_error(error));
      return 0;
    }
    // The folders are examined by name: the name must still lead to the file read.
    struct stat named {};
    if (stat(real.get(), &named) != 0 || named.st_dev != status.st_dev ||
        named.st_ino != status.st_ino) {
      set_reason(reason, std::string("file ") + path + " was replaced while being examined");
      return 0;
    }
    return folders_trusted(real.get(), trusted, reason);
  } catch (const std::bad_alloc&) {
    set_reason(reason, {});
    return 0;
  }
}
