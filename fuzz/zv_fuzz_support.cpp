// Shared pieces of the fuzz targets; see zv_fuzz_support.h.
#include "zv_fuzz_support.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "zv_log.h"

namespace zvfuzz {
namespace {

struct ScratchDir {
  std::string path;
  ScratchDir() {
    // Every input is written to a file here, so a memory file system is worth taking:
    // on a disk the writes, not the code under test, would set the pace.
    const char* base = std::getenv("TMPDIR");
    if (access("/dev/shm", W_OK | X_OK) == 0)
      base = "/dev/shm";
    else if (base == nullptr || *base == '\0')
      base = "/tmp";
    std::string pattern = std::string(base) + "/zv_fuzz.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      perror("zv_fuzz: mkdtemp");
      std::abort();
    }
    path = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

ScratchDir& scratch() {
  static ScratchDir dir;
  return dir;
}

}  // namespace

void quiet_logging() {
  zv_log_setup("off", 0, 0, 0, "zv_fuzz");
}

std::string write_scratch(const char* name, std::string_view bytes) {
  std::string path = scratch().path + "/" + name;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    perror("zv_fuzz: open scratch file");
    std::abort();
  }
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      perror("zv_fuzz: write scratch file");
      std::abort();
    }
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  return path;
}

namespace {

// Inputs up to this size are written before the reader starts, without a thread: the
// socket holds them, and the answer, which stays within a few times the input.
constexpr size_t kWrittenAhead = 64 * 1024;
constexpr int kSocketBuffer = 1 << 20;

bool send_all(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // the reader went away early
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SocketFeed::SocketFeed(std::string_view bytes) : bytes_(bytes) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    perror("zv_fuzz: socketpair");
    std::abort();
  }
  near_ = fds[0];
  far_ = fds[1];
  // A thread per input costs more than the input itself under the sanitizers; a small one
  // goes into the socket at once. Room for it and for the answer, where root may grow
  // the buffers beyond the system's default.
  for (int fd : {near_, far_})
    if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &kSocketBuffer, sizeof kSocketBuffer) != 0)
      (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof kSocketBuffer);
  int room = 0;
  socklen_t length = sizeof room;
  if (bytes_.size() <= kWrittenAhead &&
      getsockopt(far_, SOL_SOCKET, SO_SNDBUF, &room, &length) == 0 &&
      static_cast<size_t>(room) >= 4 * kWrittenAhead) {
    (void)send_all(far_, bytes_);
    ::shutdown(far_, SHUT_WR);
    return;
  }
  peer_ = std::thread([this] {
    (void)send_all(far_, bytes_);
    ::shutdown(far_, SHUT_WR);
    char sink[65536];
    for (;;) {
      ssize_t n = ::recv(far_, sink, sizeof sink, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
    }
  });
}

SocketFeed::~SocketFeed() {
  if (near_ >= 0) ::close(near_);
  if (peer_.joinable()) peer_.join();
  ::close(far_);
}

int SocketFeed::take_fd() {
  int fd = near_;
  near_ = -1;
  return fd;
}

Split split_at_nul(const uint8_t* data, size_t size) {
  Split out;
  const char* text = reinterpret_cast<const char*>(data);
  const void* nul = std::memchr(data, 0, size);
  if (nul == nullptr) {
    out.tail.assign(text, size);
    return out;
  }
  size_t at = static_cast<size_t>(static_cast<const uint8_t*>(nul) - data);
  out.split = true;
  out.head.assign(text, at);
  out.tail.assign(text + at + 1, size - at - 1);
  return out;
}

uint32_t be32_at(const uint8_t* data, size_t size, size_t at) {
  if (size < at + 4) return 0;
  return uint32_t{data[at]} << 24 | uint32_t{data[at + 1]} << 16 | uint32_t{data[at + 2]} << 8 |
         data[at + 3];
}

}  // namespace zvfuzz
