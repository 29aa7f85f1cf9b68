// zvsoaksubmit: the mail submitter of the soak test. The filter runs it as it runs
// sendmail (-i -bm -fSENDER -- RCPT...) with the mail on standard input; it reads the
// whole mail and appends one line to the file named by $ZVSOAK_SUBMISSIONS:
//   SENDER <TAB> RCPT[,RCPT...] <TAB> BYTES <TAB> 1 when the mail holds the EICAR test
//   file (plain or in base64), else 0
// The line goes out in one write to a file opened for appending, so submitters running
// at the same time never mix their lines. Exit 0, or 75 when the record cannot be written.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_mail.h"

int main(int argc, char** argv) {
  std::string sender, rcpts;
  bool after_dashes = false;
  for (int i = 1; i < argc; ++i) {
    if (after_dashes) {
      if (!rcpts.empty()) rcpts += ',';
      rcpts += argv[i];
    } else if (std::strcmp(argv[i], "--") == 0) {
      after_dashes = true;
    } else if (std::strncmp(argv[i], "-f", 2) == 0) {
      sender = argv[i] + 2;
    }
  }
  std::string mail;
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    mail.append(buffer, static_cast<size_t>(n));
  }
  const std::string eicar = mload::eicar_test_file();
  const bool trace =
      mail.find(eicar) != std::string::npos || mail.find(mload::base64(eicar)) != std::string::npos;
  const char* path = std::getenv("ZVSOAK_SUBMISSIONS");
  if (path == nullptr) return 75;
  std::string line = sender + '\t' + rcpts + '\t' + std::to_string(mail.size()) + '\t' +
                     (trace ? "1" : "0") + '\n';
  int fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return 75;
  bool ok = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  return ::close(fd) == 0 && ok ? 0 : 75;
}
