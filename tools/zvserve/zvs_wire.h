// Server side of the daemon and agent wire encoding on one accepted socket.
//
// The stand-in peers read requests whose lengths come from the client, so every length
// read here is checked against a caller's cap before anything is allocated, and every
// wait for the peer is bounded by an idle time-out so that a stalled client cannot hold
// a session thread for ever. Answers are collected in a buffer and sent in one go, so a
// session either answers completely or not at all. Encodings: ints are 4 bytes, big
// endian; a byte string is an int length and the bytes; a string list is an int count
// and that many byte strings.
//
// Owns the socket descriptor it is given (closed by the destructor). One thread uses a
// connection at a time; no locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "zv_owned.h"

namespace zvs {

class WireConn {
 public:
  // Takes ownership of the connected socket `fd`. `idle_ms` bounds every single wait
  // for the peer (-1: no bound).
  WireConn(int fd, int idle_ms);
  WireConn(const WireConn&) = delete;
  WireConn& operator=(const WireConn&) = delete;

  int fd() const { return fd_.get(); }

  // Waits up to `ms` milliseconds for bytes (or the peer's close) to arrive: 1 ready,
  // 0 nothing yet, -1 error. Lets a long-lived session look up between requests.
  int wait_readable(int ms);

  // Reads exactly `length` bytes. False on end of stream, time-out or error (error()
  // then says which); `clean_eof` is set when the peer closed before the first byte.
  [[nodiscard]] bool read_exact(void* buffer, size_t length, bool* clean_eof = nullptr);
  [[nodiscard]] bool read_int(uint32_t* value, bool* clean_eof = nullptr);
  // A byte string of at most `max_length` bytes; a longer announced length fails
  // without reading it.
  [[nodiscard]] bool read_bytestring(size_t max_length, std::string* out);
  // Reads `length` raw bytes into `out` (replacing its content).
  [[nodiscard]] bool read_raw(size_t length, std::string* out);

  // Answer items, buffered until flush().
  void put_int(uint32_t value);
  void put_bytestring(std::string_view bytes);
  void put_list(const std::vector<std::string>& strings);
  // Sends the buffered answer whole. False when the peer went away or stalled.
  [[nodiscard]] bool flush();

  // Why the last operation failed.
  const std::string& error() const { return error_; }

 private:
  bool wait(short events);
  // Receives into `p` at least `at_least` and at most `room` bytes; *got says how many.
  bool receive(char* p, size_t at_least, size_t room, size_t* got, bool* clean_eof);
  zv::UniqueFd fd_;
  int idle_ms_;
  // Bytes received ahead of the reads, so that a request of many small items costs a
  // receive per packet: in_[in_start_ .. in_end_) are unread.
  char in_[4096];
  size_t in_start_ = 0, in_end_ = 0;
  std::string out_;
  std::string error_;
};

}  // namespace zvs
