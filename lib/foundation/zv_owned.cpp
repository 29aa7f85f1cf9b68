// Owners of descriptors, streams and malloc()ed blocks; see zv_owned.h.
#include "zv_owned.h"

#include <unistd.h>

namespace zv {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) (void)::close(fd_);
  fd_ = fd;
}

int UniqueFd::close() {
  int fd = release();
  return fd >= 0 ? ::close(fd) : 0;
}

void FileCloser::operator()(FILE* f) const {
  if (f != nullptr) (void)fclose(f);
}

int close_file(UniqueFile& file) {
  FILE* f = file.release();
  return f != nullptr ? fclose(f) : 0;
}

}  // namespace zv
