// Mail submission through the submitter program: see zv_mailsend.h.
//
// The submitter's command line is: the "Sendmail" path, the "SendmailArgs" text as one
// argument when set, "-i", "-bm", "-f<sender>" ("-f<>" for the null sender), "--", then
// one argument per recipient. Nothing taken from a message can become an option: the
// sender is glued to -f, and the recipients follow "--".
#include "zv_mailsend.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "zv_badparam.h"
#include "zv_dfork.h"
#include "zv_files.h"
#include "zv_log.h"
#include "zv_mail.h"
#include "zv_options.h"
#include "zv_owned.h"
#include "zvc_strings.h"

namespace {

// The longest time a submitter may take to read one whole message. A submitter that
// stops reading (a stuck sendmail) would otherwise hold the connection thread, and with it
// the SMTP session, for as long as it stays stuck.
constexpr int kWriteDeadlineMs = 60 * 1000;

using Clock = std::chrono::steady_clock;

// Why a bounded write ended.
enum class WriteEnd { kDone, kFailed, kTimedOut };

// Writes all `length` bytes into the non-blocking `fd` before `deadline`.
WriteEnd write_before(int fd, const char* data, size_t length, Clock::time_point deadline) {
  while (length > 0) {
    ssize_t n = write(fd, data, length);
    if (n > 0) {
      data += n;
      length -= static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return WriteEnd::kFailed;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return WriteEnd::kTimedOut;
    struct pollfd p {
      fd, POLLOUT, 0
    };
    int ready = poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno != EINTR) return WriteEnd::kFailed;
    if (ready == 0) return WriteEnd::kTimedOut;
  }
  return WriteEnd::kDone;
}

// Copies `source` from its position to its end into `fd` before `deadline`.
WriteEnd copy_before(int source, int fd, Clock::time_point deadline) {
  constexpr size_t kBlock = 64 * 1024;
  std::unique_ptr<char[]> block(new (std::nothrow) char[kBlock]);
  if (!block) return WriteEnd::kFailed;
  for (;;) {
    ssize_t n = read(source, block.get(), kBlock);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return WriteEnd::kFailed;
    if (n == 0) return WriteEnd::kDone;
    WriteEnd end = write_before(fd, block.get(), static_cast<size_t>(n), deadline);
    if (end != WriteEnd::kDone) return end;
  }
}

// True while some process still holds the read end of the pipe whose write end is `fd`.
bool pipe_has_reader(int fd) {
  struct pollfd p {
    fd, POLLOUT, 0
  };
  return poll(&p, 1, 0) >= 0 && (p.revents & POLLERR) == 0;
}

// The argument vector; `argv` points into `args`, which is never resized once built.
struct ArgumentVector {
  std::vector<std::string> args;
  std::vector<char*> argv;
};

// Builds the vector; false (logged) when memory runs out.
bool build_arguments(const MailEnvelope* envelope, const MailerConfig* mailer,
                     ArgumentVector* out) {
  StringList* rcpts = e_rcpts(envelope);
  size_t slots = static_cast<size_t>(e_rcpts_num(envelope)) + (mailer->sendmail_args ? 7 : 6);
  try {
    out->args.reserve(slots);
    out->argv.reserve(slots);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "mailsend: cannot allocate memory for argument list");
    return false;
  }
  try {
    out->args.emplace_back(mailer->sendmail);
    if (mailer->sendmail_args) {
      zv_log(ZV_LOG_DEBUG, "mailsend: add arguments = %s", mailer->sendmail_args);
      out->args.emplace_back(mailer->sendmail_args);
    }
    out->args.emplace_back("-i");
    out->args.emplace_back("-bm");
    // The sender is always the value of -f in the same argument, the null sender
    // (spooled as "<>" or as the empty text of an empty MAIL argument) as "-f<>": a bare
    // "-f" would take the next argument as its value. After "--" every recipient is an
    // address, whatever it starts with.
    const char* from = e_from(envelope);
    out->args.emplace_back(std::string("-f") + (*from != '\0' ? from : "<>"));
    out->args.emplace_back("--");
    if (rcpts != nullptr)
      for (const std::string& rcpt : *rcpts) out->args.push_back(rcpt);
    for (std::string& arg : out->args) out->argv.push_back(arg.data());
    out->argv.push_back(nullptr);
  } catch (const std::bad_alloc&) {
    zv_log(ZV_LOG_ERRORS, "mailsend: cannot allocate memory for argument");
    return false;
  }
  return true;
}

// Keeps a SIGPIPE raised by writing into a submitter that has already gone from killing
// the process: the signal is blocked on this thread while the message is written, and
// one that became pending meanwhile is taken before the mask is restored. The write then
// fails with EPIPE and is reported as a failed submission.
class SigpipeGuard {
 public:
  SigpipeGuard() {
    sigemptyset(&pipe_);
    sigaddset(&pipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    was_pending_ = sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1;
    blocked_ = pthread_sigmask(SIG_BLOCK, &pipe_, &old_) == 0;
  }
  ~SigpipeGuard() {
    if (!blocked_) return;
    if (!was_pending_) {
      struct timespec zero {};
      while (sigtimedwait(&pipe_, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  SigpipeGuard(const SigpipeGuard&) = delete;
  SigpipeGuard& operator=(const SigpipeGuard&) = delete;

 private:
  sigset_t pipe_;
  sigset_t old_;
  bool was_pending_ = false;
  bool blocked_ = false;
};

}  // namespace

namespace zv_mailsend_detail {

int mailsend_within(const MailEnvelope* envelope, const char* file, off_t offset, const char* text,
                    size_t length, const MailerConfig* mailer, int deadline_ms,
                    const char* queue_id, const char* prefix) {
  const char* from = e_from(envelope);
  bool no_rcpts = e_rcpts_num(envelope) <= 0;
  bool no_content = file == nullptr && text == nullptr;
  if (envelope == nullptr || from == nullptr || no_rcpts || no_content) {
    zv_log_bad_parameters("mailsend: send message", envelope == nullptr, from == nullptr, no_rcpts,
                          no_content);
    return 0;
  }
  if (file != nullptr && text != nullptr) {
    zv_log(ZV_LOG_ERRORS, "mailsend: you cannot send file and text in one call");
    return 0;
  }
  if (mailer != nullptr && mailer->sendmail == nullptr) {
    zv_log_bad_parameter("mailsend: send message");
    return 0;
  }
  zv_log(ZV_LOG_VERBOSE, "mailsend: send message with follow envelope");
  e_print(envelope, ZV_LOG_VERBOSE);

  // The file is opened before the submitter starts, so that a message that cannot be
  // read is not submitted empty.
  zv::UniqueFd source;
  if (file != nullptr) {
    source.reset(open_message_part(file, offset));
    if (!source.valid()) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message from file %s to submitter %s", file,
             mailer ? mailer->sendmail : "stderr");
      return 0;
    }
  }

  if (mailer == nullptr) {
    // Standard error is shared with the rest of the process and stays blocking.
    int result = 1;
    if (prefix != nullptr && !write_buffer(STDERR_FILENO, prefix, strlen(prefix))) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", "stderr");
      return 0;
    }
    if (file != nullptr) {
      if (!copy_fd_part(source.get(), STDERR_FILENO, 0)) {
        zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message from file %s to submitter %s", file,
               "stderr");
        result = 0;
      }
    } else if (!write_buffer(STDERR_FILENO, text, length)) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", "stderr");
      result = 0;
    }
    return result;
  }

  ArgumentVector arguments;
  if (!build_arguments(envelope, mailer, &arguments)) return 0;
  int fds[2] = {-1, -1};
  pid_t program = 0;
  int started = starter_run(mailer->sendmail, arguments.argv.data(), fds, &program, queue_id);
  zv::UniqueFd pipe(fds[0]);
  if (started < 0) {
    zv_log(ZV_LOG_ERRORS, "mailsend: cannot run submitter %s", mailer->sendmail);
    return 0;
  }
  // The writes below wait in poll() with the whole message's deadline instead of in a
  // blocking write() without any.
  int flags = fcntl(pipe.get(), F_GETFL);
  if (flags < 0 || fcntl(pipe.get(), F_SETFL, flags | O_NONBLOCK) < 0) {
    zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", mailer->sendmail);
    return 0;
  }

  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(deadline_ms);
  WriteEnd end;
  {
    SigpipeGuard guard;
    end = prefix != nullptr ? write_before(pipe.get(), prefix, strlen(prefix), deadline)
                            : WriteEnd::kDone;
    if (end == WriteEnd::kDone) {
      end = file != nullptr ? copy_before(source.get(), pipe.get(), deadline)
                            : write_before(pipe.get(), text, length, deadline);
    }
  }
  if (end == WriteEnd::kTimedOut) {
    // A submitter that saw end of input would deliver the part it has read: it is stopped
    // first, and only then does the pipe close. It is not our child (it was detached), so
    // its pid is signalled only while it still holds the pipe's read end.
    zv_log(ZV_LOG_ERRORS,
           "mailsend: submitter %s did not read the message within %d ms - submission stopped",
           mailer->sendmail, deadline_ms);
    if (program > 0 && pipe_has_reader(pipe.get())) kill(program, SIGKILL);
    return 0;
  }
  if (end == WriteEnd::kFailed) {
    if (file != nullptr) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message from file %s to submitter %s", file,
             mailer->sendmail);
    } else {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", mailer->sendmail);
    }
    return 0;
  }
  // End of input: the submitter delivers what it has read.
  if (pipe.close() != 0) {
    zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", mailer->sendmail);
    return 0;
  }
  return 1;
}

}  // namespace zv_mailsend_detail

int mailsend(const MailEnvelope* envelope, const char* file, off_t offset, const char* text,
             size_t length, const MailerConfig* mailer, const char* queue_id, const char* prefix) {
  return zv_mailsend_detail::mailsend_within(envelope, file, offset, text, length, mailer,
                                             kWriteDeadlineMs, queue_id, prefix);
}
