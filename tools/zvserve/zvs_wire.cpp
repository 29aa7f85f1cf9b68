// Server-side wire I/O: bounded waits with poll(), exact reads, buffered answers.
#include "zvs_wire.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "zv_log.h"

namespace zvs {

WireConn::WireConn(int fd, int idle_ms) : fd_(fd), idle_ms_(idle_ms) {}

bool WireConn::wait(short events) {
  for (;;) {
    pollfd p{fd_.get(), events, 0};
    int n = ::poll(&p, 1, idle_ms_);
    if (n > 0) return true;  // readiness, hang-up and errors are all seen by the call
    if (n == 0) {
      error_ = "timeout expired";
      return false;
    }
    if (errno == EINTR) continue;
    error_ = std::string("poll failed - ") + stdlib_error(errno);
    return false;
  }
}

int WireConn::wait_readable(int ms) {
  if (in_start_ < in_end_) return 1;
  pollfd p{fd_.get(), POLLIN, 0};
  int n = ::poll(&p, 1, ms);
  if (n < 0 && errno != EINTR) {
    error_ = std::string("poll failed - ") + stdlib_error(errno);
    return -1;
  }
  return n > 0 ? 1 : 0;
}

bool WireConn::receive(char* p, size_t at_least, size_t room, size_t* got, bool* clean_eof) {
  size_t done = 0;
  while (done < at_least) {
    if (!wait(POLLIN)) return false;
    ssize_t n = ::recv(fd_.get(), p + done, room - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
      *got = done;
      continue;
    }
    if (n == 0) {
      if (done == 0 && clean_eof != nullptr) *clean_eof = true;
      error_ = "connection closed by the peer";
      return false;
    }
    if (errno == EINTR) continue;
    error_ = std::string("recv failed - ") + stdlib_error(errno);
    return false;
  }
  return true;
}

bool WireConn::read_exact(void* buffer, size_t length, bool* clean_eof) {
  if (clean_eof != nullptr) *clean_eof = false;
  auto* p = static_cast<char*>(buffer);
  size_t have = std::min(length, in_end_ - in_start_);
  std::memcpy(p, in_ + in_start_, have);
  in_start_ += have;
  if (have == length) return true;
  in_start_ = in_end_ = 0;
  // The peer's close before the first byte of this read is a clean end only when nothing
  // of it came from the read-ahead.
  bool* eof = have == 0 ? clean_eof : nullptr;
  const size_t rest = length - have;
  size_t got = 0;
  if (rest >= sizeof in_) return receive(p + have, rest, rest, &got, eof);
  if (!receive(in_, rest, sizeof in_, &got, eof)) return false;
  std::memcpy(p + have, in_, rest);
  in_start_ = rest;
  in_end_ = got;
  return true;
}

bool WireConn::read_int(uint32_t* value, bool* clean_eof) {
  unsigned char b[4];
  if (!read_exact(b, sizeof b, clean_eof)) return false;
  *value = (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  return true;
}

bool WireConn::read_raw(size_t length, std::string* out) {
  // The buffer grows with the bytes that arrive: a peer that announces a large item and
  // then stalls or hangs up makes nobody reserve it.
  constexpr size_t kStep = 64 * 1024;
  out->clear();
  try {
    while (out->size() < length) {
      const size_t at = out->size();
      const size_t piece = std::min(length - at, at < kStep ? kStep : at);
      out->resize(at + piece);
      if (!read_exact(out->data() + at, piece)) return false;
    }
  } catch (const std::bad_alloc&) {
    error_ = "no memory for " + std::to_string(length) + " bytes";
    return false;
  }
  return true;
}

bool WireConn::read_bytestring(size_t max_length, std::string* out) {
  uint32_t length = 0;
  if (!read_int(&length)) return false;
  if (length > max_length) {
    error_ = "byte string of " + std::to_string(length) + " bytes exceeds the limit of " +
             std::to_string(max_length);
    return false;
  }
  return read_raw(length, out);
}

void WireConn::put_int(uint32_t value) {
  const char b[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                     static_cast<char>(value >> 8), static_cast<char>(value)};
  out_.append(b, sizeof b);
}

void WireConn::put_bytestring(std::string_view bytes) {
  put_int(static_cast<uint32_t>(bytes.size()));
  out_.append(bytes);
}

void WireConn::put_list(const std::vector<std::string>& strings) {
  put_int(static_cast<uint32_t>(strings.size()));
  for (const auto& s : strings) put_bytestring(s);
}

bool WireConn::flush() {
  size_t done = 0;
  while (done < out_.size()) {
    if (!wait(POLLOUT)) return false;
    ssize_t n = ::send(fd_.get(), out_.data() + done, out_.size() - done, MSG_NOSIGNAL);
    if (n >= 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (errno == EINTR) continue;
    error_ = std::string("send failed - ") + stdlib_error(errno);
    out_.clear();
    return false;
  }
  out_.clear();
  return true;
}

}  // namespace zvs
