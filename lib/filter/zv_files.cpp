// Spool and quarantine files: see zv_files.h. No state and no lock of its own (the error
// texts take the logger's error-text mutex). The Rand48 naming mode keeps its generator
// on the stack of each call (nrand48 from the state srand48 would set), so threads share
// nothing and the names follow the same sequence as the process-wide generator would.
#include "zv_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <utility>

#include "zv_badparam.h"
#include "zv_log.h"
#include "zv_owned.h"

namespace {

constexpr size_t kBlockSize = 4096;
constexpr int kRand48Attempts = 10;

using zv::UniqueFd;
using CString = zv::UniqueMalloc<char>;

// Remembers the first errno met, for the first-error rule of copy_file and move_file.
struct FirstError {
  int value = 0;
  void note(int err) {
    if (value == 0) value = err;
  }
};

// malloc()ed printf result, or null when memory runs out.
CString format_name(const char* format, ...) __attribute__((format(printf, 1, 2)));
CString format_name(const char* format, ...) {
  va_list args;
  va_start(args, format);
  char* out = nullptr;
  int n = vasprintf(&out, format, args);
  va_end(args);
  return CString(n < 0 ? nullptr : out);
}

// The generator state that srand48(seed) would set, so nrand48 yields lrand48's sequence.
void seed48_state(long seed, unsigned short state[3]) {
  state[0] = 0x330E;
  state[1] = static_cast<unsigned short>(seed & 0xFFFF);
  state[2] = static_cast<unsigned short>((seed >> 16) & 0xFFFF);
}

// Logs the failed creation of a file in `spec`'s directory with `err`, and, when the
// cause is a lack of descriptors, one line more that says which limit to raise: that is
// a setting of the host, not a fault of the message.
void log_tmpfile_failure(const SpoolFileSpec* spec, const char* path, int err) {
  zv_log(ZV_LOG_ERRORS, "files: cannot open tmpfile %s - (%d) %s", path, err, stdlib_error(err));
  if (err == EMFILE) {
    zv_log(ZV_LOG_ERRORS,
           "files: cannot create a file in %s - %s: raise the filter's limit of open files "
           "(LimitNOFILE= of its unit, ulimit -n)",
           spec->directory, stdlib_error(err));
  } else if (err == ENFILE) {
    zv_log(ZV_LOG_ERRORS,
           "files: cannot create a file in %s - %s: raise the system's limit of open files "
           "(fs.file-max)",
           spec->directory, stdlib_error(err));
  }
}

// Gives a file created by mkostemp() its mask; on failure removes the file this call
// created. Returns the descriptor or -1.
int finish_tmpfile(const SpoolFileSpec* spec, UniqueFd& fd, CString& path, char** name) {
  if (spec->naming_mode != NAMING_RAND48 && spec->mode != 0600) {
    if (fchmod(fd.get(), spec->mode) != 0) {
      int err = errno;
      zv_log(ZV_LOG_ERRORS, "files: cannot set permissions of tmpfile %s - (%d) %s", path.get(),
             err, stdlib_error(err));
      fd.reset();
      unlink(path.get());
      errno = err;
      return -1;
    }
  }
  zv_log(ZV_LOG_VERBOSE, "files: open tmpfile (%d) %s %#o", fd.get(), path.get(),
         static_cast<unsigned>(spec->mode));
  *name = path.release();
  return fd.release();
}

bool bad_tmpfile_arguments(const SpoolFileSpec* spec, char** name, std::source_location where) {
  if (name && spec && spec->directory && spec->prefix) return false;
  zv_log_bad_parameters("files: open tmpfile", name == nullptr, spec == nullptr,
                        spec == nullptr || spec->directory == nullptr,
                        spec == nullptr || spec->prefix == nullptr, where);
  return true;
}

// Creates the Rand48 name from a generator seeded with `seed`.
int open_rand48(const SpoolFileSpec* spec, char** name, long seed) {
  unsigned short state[3];
  seed48_state(seed, state);
  CString path;
  int fd = -1;
  for (int attempt = 0; attempt < kRand48Attempts && fd < 0; ++attempt) {
    path = format_name("%s%c%s%08lX", spec->directory, '/', spec->prefix, nrand48(state));
    if (!path) return -1;
    fd = open(path.get(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, spec->mode);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    int err = errno;
    log_tmpfile_failure(spec, path.get(), err);
    errno = err;
    return -1;
  }
  UniqueFd guard(fd);
  return finish_tmpfile(spec, guard, path, name);
}

}  // namespace

const NameCode kNamingModes[] = {
    {"Std", NAMING_STD}, {"Tai", NAMING_TAI}, {"Rand48", NAMING_RAND48}, {nullptr, 0}};

namespace zv_files_detail {

int open_tmpfile_rand48(const SpoolFileSpec* spec, char** name, long seed) {
  if (bad_tmpfile_arguments(spec, name, std::source_location::current())) return -1;
  *name = nullptr;
  if (spec->naming_mode != NAMING_RAND48) {
    zv_log(ZV_LOG_ERRORS, "files: cannot open tmpfile - wrong filenaming mode");
    return -1;
  }
  return open_rand48(spec, name, seed);
}

long rand48_value(long seed, int attempt) {
  unsigned short state[3];
  seed48_state(seed, state);
  long value = 0;
  for (int i = 0; i <= attempt; ++i) value = nrand48(state);
  return value;
}

}  // namespace zv_files_detail

int open_tmpfile(const SpoolFileSpec* spec, char** name) {
  if (bad_tmpfile_arguments(spec, name, std::source_location::current())) return -1;
  *name = nullptr;
  int mode = spec->naming_mode;
  if (mode != NAMING_STD && mode != NAMING_RAND48 && mode != NAMING_TAI) {
    zv_log(ZV_LOG_ERRORS, "files: cannot open tmpfile - wrong filenaming mode");
    return -1;
  }
  struct timeval now {};
  bool have_time = gettimeofday(&now, nullptr) == 0;
  if (mode == NAMING_RAND48) {
    // Without a clock the pid still varies the sequence between processes.
    return open_rand48(spec, name, have_time ? now.tv_usec : static_cast<long>(getpid()));
  }
  if (!have_time) now = timeval{};
  CString path = mode == NAMING_TAI
                     ? format_name("%s%c%010lu.%010lu.%sXXXXXX", spec->directory, '/',
                                   static_cast<unsigned long>(now.tv_sec),
                                   static_cast<unsigned long>(now.tv_usec), spec->prefix)
                     : format_name("%s%c%sXXXXXX", spec->directory, '/', spec->prefix);
  if (!path) return -1;
  UniqueFd fd(mkostemp(path.get(), O_CLOEXEC));
  if (!fd.valid()) {
    int err = errno;
    log_tmpfile_failure(spec, path.get(), err);
    errno = err;
    return -1;
  }
  return finish_tmpfile(spec, fd, path, name);
}

char* quarantine_file(const SpoolFileSpec* spec, const char* source, int move) {
  return zv_files_detail::quarantine_file_with(spec, source, move, nullptr);
}

char* zv_files_detail::quarantine_file_with(const SpoolFileSpec* spec, const char* source, int move,
                                            const std::function<void(const char*)>& between) {
  char* raw = nullptr;
  UniqueFd fd(open_tmpfile(spec, &raw));
  CString name(raw);
  if (!fd.valid()) {
    zv_log(ZV_LOG_ERRORS, "quarantine: cannot create file %s",
           spec && spec->directory ? spec->directory : "");
    return nullptr;
  }
  if (between) between(name.get());
  // The message goes in through the descriptor of the file just created, never by its
  // name again: another account that may write the quarantine directory could have put
  // a link to a file of its own in place of that name.
  if (move) {
    if (move_into(source, name.get(), std::move(fd), spec->mode) != 0) {
      zv_log(ZV_LOG_ERRORS, "quarantine: cannot move file - %s", stdlib_error(errno));
      return nullptr;
    }
  } else if (copy_into(source, name.get(), std::move(fd), spec->mode) != 0) {
    zv_log(ZV_LOG_ERRORS, "quarantine: cannot copy file - %s", stdlib_error(errno));
    return nullptr;
  }
  return name.release();
}

namespace {

// Notes errno as the first failure and logs `what` with the file and the error. Always
// false, for `return fail(...)`.
bool copy_failure(FirstError* first, const char* what, const char* file) {
  int err = errno;
  first->note(err);
  zv_log(ZV_LOG_ERRORS, "copy_file: %s %s - %s", what, file, stdlib_error(err));
  return false;
}

// Opens both ends of a copy: the destination (unless *out already holds it: created with
// the source's mode and never through a symbolic link, then given `mask`) and the source,
// each at its start; *st receives the source's status. False (first failure noted, logged)
// when one step fails.
bool open_copy_ends(const char* source, const char* destination, unsigned mask, struct stat* st,
                    UniqueFd* in, UniqueFd* out, FirstError* first) {
  if (stat(source, st) != 0) return copy_failure(first, "error stat() temporary file", source);
  if (!out->valid())
    *out = UniqueFd(
        open(destination, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, st->st_mode & 0777));
  if (!out->valid()) return copy_failure(first, "cannot open archive file", destination);
  if (fchmod(out->get(), mask) != 0)
    return copy_failure(first, "cannot change mode for quarantine file", destination);
  *in = UniqueFd(open(source, O_RDONLY | O_CLOEXEC));
  if (!in->valid()) return copy_failure(first, "cannot open temporary file", source);
  if (lseek(in->get(), 0, SEEK_SET) < 0)
    return copy_failure(first, "cannot seek to begin of temporary file", source);
  if (lseek(out->get(), 0, SEEK_SET) < 0)
    return copy_failure(first, "cannot seek to begin of archive file", destination);
  return true;
}

// Writes all `got` bytes of `buffer`. False (first failure noted, logged) when a write
// fails or writes nothing.
bool write_block(int fd, const char* buffer, ssize_t got, FirstError* first) {
  ssize_t written = 0;
  while (written < got) {
    ssize_t n = write(fd, buffer + written, got - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      first->note(err);
      zv_log(ZV_LOG_ERRORS, "copy_file: quarantine file writing error (%d:%d) - %s.\n",
             static_cast<int>(got), static_cast<int>(written), stdlib_error(err));
      return false;
    }
    written += n;
  }
  return true;
}

// Copies up to `size` bytes block by block and syncs the copy. A source that shrank is
// copied as far as it goes; one that grew, up to the size it had, so the copy never runs
// forever. False (first failure noted, logged) on a failure.
bool copy_blocks(int in, int out, off_t size, const char* source, const char* destination,
                 char* buffer, FirstError* first) {
  off_t expected = size;
  while (expected != 0) {
    ssize_t got = read(in, buffer, kBlockSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      return copy_failure(first, "cannot read temporary file", source);
    }
    if (got == 0) break;
    if (!write_block(out, buffer, got, first)) return false;
    expected = got >= expected ? 0 : expected - got;
  }
  if (fsync(out) != 0) return copy_failure(first, "cannot sync quarantine file", destination);
  return true;
}

// Whether `destination` still names the file open as `fd`: the copy is only worth
// anything under its name. False (EEXIST noted, logged) when the name was taken over.
bool still_named(int fd, const char* destination, FirstError* first) {
  struct stat open_file {};
  struct stat named {};
  if (fstat(fd, &open_file) == 0 && lstat(destination, &named) == 0 &&
      open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino)
    return true;
  first->note(EEXIST);
  zv_log(ZV_LOG_ERRORS, "copy_file: quarantine file %s was replaced while it was written",
         destination);
  return false;
}

// Closes an end of the copy with its result checked. False (first failure noted,
// logged) when the close failed.
bool close_copy_end(UniqueFd* fd, const char* what, const char* file, FirstError* first) {
  if (!fd->valid() || fd->close() == 0) return true;
  return copy_failure(first, what, file);
}

}  // namespace

int copy_file(const char* source, const char* destination, unsigned mask) {
  return copy_into(source, destination, UniqueFd(), mask);
}

int copy_into(const char* source, const char* destination, zv::UniqueFd out, unsigned mask) {
  FirstError first;
  std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlockSize]);
  if (!buffer) {
    first.note(ENOMEM);
    zv_log(ZV_LOG_ERRORS, "copy_file: cannot allocate buffer for moving");
    errno = first.value;
    return -1;
  }
  if (source == nullptr || destination == nullptr) {
    zv_log_bad_parameters("copy_file:", source == nullptr, destination == nullptr);
    errno = EINVAL;
    return -1;
  }
  struct stat st {};
  UniqueFd in;
  bool copied =
      open_copy_ends(source, destination, mask, &st, &in, &out, &first) &&
      copy_blocks(in.get(), out.get(), st.st_size, source, destination, buffer.get(), &first) &&
      still_named(out.get(), destination, &first);
  // Both ends are closed whatever happened; a failed close fails the copy too.
  bool closed_in = close_copy_end(&in, "cannot close temporary file", source, &first);
  bool closed_out = close_copy_end(&out, "cannot close quarantine file", destination, &first);
  errno = first.value;
  return copied && closed_in && closed_out ? 0 : -1;
}

int move_file(const char* source, const char* destination, unsigned mask) {
  return move_into(source, destination, UniqueFd(), mask);
}

int move_into(const char* source, const char* destination, zv::UniqueFd placeholder,
              unsigned mask) {
  if (source == nullptr || destination == nullptr) {
    zv_log_bad_parameters("move_file:", source == nullptr, destination == nullptr);
    errno = EINVAL;
    return -1;
  }
  FirstError first;
  // The mode is set through a descriptor of the message itself, which stays the message
  // whatever becomes of the destination's name after the rename.
  UniqueFd message(open(source, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  if (!message.valid()) {
    first.note(errno);
    zv_log(ZV_LOG_ERRORS, "move_file: cannot open temporary file %s - %s", source,
           stdlib_error(first.value));
    errno = first.value;
    return -1;
  }
  if (rename(source, destination) == 0) {
    if (fchmod(message.get(), mask) == 0) {
      errno = 0;
      return 0;
    }
    first.note(errno);
    zv_log(ZV_LOG_ERRORS, "move_file: cannot change mode for quarantine file - (%d) %s",
           first.value, stdlib_error(first.value));
    // The file at the destination is now the only copy of the message: put it back where
    // it came from rather than remove it. The spool name is free again since the rename,
    // and RENAME_NOREPLACE keeps whatever might have taken it meanwhile.
    int back = renameat2(AT_FDCWD, destination, AT_FDCWD, source, RENAME_NOREPLACE);
    if (back != 0 && (errno == EINVAL || errno == ENOSYS)) back = rename(destination, source);
    if (back != 0) {
      int err = errno;
      zv_log(ZV_LOG_ERRORS,
             "move_file: cannot move %s back to %s, the message stays there - (%d) %s", destination,
             source, err, stdlib_error(err));
    }
    errno = first.value;
    return -1;
  }
  int rename_error = errno;
  zv_log(ZV_LOG_VERBOSE,
         "move_file: try to use by-block copy, because std rename %s to %s failed - %s", source,
         destination, stdlib_error(rename_error));
  message.reset();
  if (copy_into(source, destination, std::move(placeholder), mask) != 0) {
    first.note(errno);
    zv_log(ZV_LOG_ERRORS, "move_file: cannot copy spool file to quarantine file - (%d) %s",
           first.value, stdlib_error(first.value));
    unlink(destination);
    errno = first.value;
    return -1;
  }
  if (unlink(source) != 0) {
    first.note(errno);
    zv_log(ZV_LOG_ERRORS, "move_file: cannot unlink temporary file %s - %s", source,
           stdlib_error(first.value));
    if (unlink(destination) != 0) {
      zv_log(ZV_LOG_ERRORS, "move_file: cannot unlink archive file %s - %s", destination,
             stdlib_error(errno));
    }
    errno = first.value;
    return -1;
  }
  errno = 0;
  return 0;
}

char* normalize_path(const char* path, int expand, const char* prefix, int strip) {
  if (path == nullptr || *path == '\0') {
    zv_log(ZV_LOG_ERRORS, "files: no path for normalizing");
    return nullptr;
  }
  CString expanded;
  const char* work = path;
  if (expand) {
    // realpath() with a null buffer allocates as much as the result needs.
    expanded.reset(realpath(path, nullptr));
    if (!expanded) {
      int err = errno;
      if (err == ENOMEM) {
        zv_log(ZV_LOG_ERRORS, "files: no memory for normalizing");
      } else {
        zv_log(ZV_LOG_ERRORS, "files: cannot expand filename %s - %s", path, stdlib_error(err));
      }
      return nullptr;
    }
    zv_log(ZV_LOG_VERBOSE, "files: filename %s expanded to %s", path, expanded.get());
    work = expanded.get();
  }
  if ((prefix && *prefix) || strip != 0) {
    const char* rest = work;
    for (int i = 0; i < strip; ++i) {
      const char* slash = std::strchr(rest, '/');
      if (slash) {
        while (*slash == '/') ++slash;
      }
      if (slash == nullptr || *slash == '\0') {
        zv_log(ZV_LOG_ERRORS, "files: strip %d prefixes in %s is impossible", strip, work);
        return nullptr;
      }
      rest = slash;
    }
    CString result;
    if (prefix && *prefix) {
      while (*rest == '/') ++rest;
      result = format_name("%s%c%s", prefix, '/', rest);
    } else {
      result.reset(strdup(rest));
    }
    if (!result) {
      zv_log(ZV_LOG_ERRORS, "files: no memory for normalizing");
      return nullptr;
    }
    zv_log(ZV_LOG_VERBOSE, "files: filename %s converted to %s", work, result.get());
    return result.release();
  }
  if (expanded) return expanded.release();
  char* copy = strdup(path);
  if (copy == nullptr) zv_log(ZV_LOG_ERRORS, "files: no memory for normalizing");
  return copy;
}

int write_buffer(int fd, const void* buffer, size_t length) {
  const char* p = static_cast<const char*>(buffer);
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      int err = n < 0 ? errno : EIO;
      zv_log(ZV_LOG_ERRORS, "files: write buf %p[%d] to fd (%d) error - (%d) %s", buffer,
             static_cast<int>(length), fd, err, stdlib_error(err));
      errno = err;
      return 0;
    }
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}

int write_string(int fd, const char* text) {
  if (text == nullptr) return 1;
  return write_buffer(fd, text, std::strlen(text));
}

namespace {

// Opens `path` read-only at `offset`, logging the failures; an invalid UniqueFd on failure.
UniqueFd open_at(const char* path, off_t offset) {
  if (path == nullptr) {
    zv_log(ZV_LOG_ERRORS, "files: cannot open file %s with message - %s", "(null)",
           stdlib_error(EINVAL));
    return UniqueFd();
  }
  UniqueFd fd(open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    zv_log(ZV_LOG_ERRORS, "files: cannot open file %s with message - %s", path,
           stdlib_error(errno));
    return UniqueFd();
  }
  if (lseek(fd.get(), offset, SEEK_SET) < 0) {
    zv_log(ZV_LOG_ERRORS, "files: cannot set pos in file %s with message - %s", path,
           stdlib_error(errno));
    return UniqueFd();
  }
  return fd;
}

}  // namespace

int open_message_part(const char* path, off_t offset) {
  return open_at(path, offset).release();
}

int read_message_part(const char* path, off_t offset, char* buffer, size_t length) {
  UniqueFd fd = open_at(path, offset);
  if (!fd.valid()) return 0;
  size_t done = 0;
  while (done < length) {
    ssize_t n = read(fd.get(), buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      zv_log(ZV_LOG_ERRORS, "files: cannot read from file %s with message", path);
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  return 1;
}

int copy_fd_part(int source, int destination, size_t limit) {
  if (source < 0 || destination < 0) return 0;
  char buffer[kBlockSize];
  size_t left = limit;
  for (;;) {
    size_t want = sizeof buffer;
    if (limit != 0 && left < want) want = left;
    ssize_t n = read(source, buffer, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      zv_log(ZV_LOG_ERRORS, "files: cannot read file with message");
      return 0;
    }
    if (n == 0) return 1;
    if (!write_buffer(destination, buffer, static_cast<size_t>(n))) {
      int err = errno;
      zv_log(ZV_LOG_ERRORS, "files: cannot write chuck from %d to %d - (%d) %s", source,
             destination, err, stdlib_error(err));
      return 0;
    }
    if (limit != 0) {
      left -= static_cast<size_t>(n);
      if (left == 0) return 1;
    }
  }
}

int send_message_part(const char* path, off_t offset, size_t limit, int destination) {
  UniqueFd fd = open_at(path, offset);
  if (!fd.valid()) return 0;
  if (!copy_fd_part(fd.get(), destination, limit)) {
    zv_log(ZV_LOG_ERRORS, "files: cannot write file %s to %d", path, destination);
    return 0;
  }
  return 1;
}
