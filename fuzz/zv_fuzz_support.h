// Shared pieces of the fuzz targets: a silent logger, a scratch file that a target
// rewrites with every input (for the readers that take a path), and a socket pair whose
// far end a thread feeds with the input and drains (for the wire readers, which read from
// a descriptor and may answer on it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>

namespace zvfuzz {

// Turns the project's logger off: the targets judge behaviour, not log lines.
void quiet_logging();

// Writes `bytes` to the file `name` in this process's scratch directory (made on first
// use in /dev/shm when it can be written, else in $TMPDIR or /tmp; removed at exit),
// replacing what it held. The file's path; aborts when the file
// cannot be written, since every later result would be meaningless.
std::string write_scratch(const char* name, std::string_view bytes);

// A connected AF_UNIX stream pair whose far end sends `bytes` and then shuts its writing
// side down (so the reader sees the end of the stream after the input). A small input is
// written at once into socket buffers large enough for it and the answer; a large one is
// fed by a thread that also drains whatever comes back until the near end is closed.
// take_fd() hands the near end over.
class SocketFeed {
 public:
  explicit SocketFeed(std::string_view bytes);
  ~SocketFeed();  // closes what was not taken and joins the thread
  SocketFeed(const SocketFeed&) = delete;
  SocketFeed& operator=(const SocketFeed&) = delete;

  int take_fd();

 private:
  int near_ = -1;
  int far_ = -1;
  std::string bytes_;
  std::thread peer_;
};

// Splits `data` at the first zero byte: the text before it and the rest after it, or
// (no split) an empty head and the whole input.
struct Split {
  bool split = false;
  std::string head;
  std::string tail;
};
Split split_at_nul(const uint8_t* data, size_t size);

// The big-endian int at data[at..at+4), or 0 when the input is shorter.
uint32_t be32_at(const uint8_t* data, size_t size, size_t at);

}  // namespace zvfuzz
