// Mail submission through the submitter program: see zv_mailsend.h.
//
// The submitter's command line is: the "Sendmail" path, the "SendmailArgs" text as one
// argument when set, "-i", "-bm", "-f<sender>", "--", then one argument per recipient.
#include "zv_mailsend.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
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
    out->args.emplace_back(std::string("-f") + e_from(envelope));
    out->args.emplace_back("--");
    if (strings::begin(rcpts, strings::kForward)) {
      while (const char* rcpt = strings::next(rcpts)) out->args.emplace_back(rcpt);
    }
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

int mailsend(const MailEnvelope* envelope, const char* file, off_t offset, const char* text,
             size_t length, const MailerConfig* mailer) {
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

  // The pipe to the submitter, or nothing when the message goes to standard error.
  zv::UniqueFd pipe;
  const char* submitter = "stderr";
  ArgumentVector arguments;
  if (mailer != nullptr) {
    submitter = mailer->sendmail;
    if (!build_arguments(envelope, mailer, &arguments)) return 0;
    int fds[2] = {-1, -1};
    int started = starter_run(mailer->sendmail, arguments.argv.data(), fds);
    pipe.reset(fds[0]);
    if (started < 0) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot run submitter %s", mailer->sendmail);
      return 0;
    }
  }
  const int destination = pipe.valid() ? pipe.get() : STDERR_FILENO;

  int result = 1;
  {
    SigpipeGuard guard;
    if (file != nullptr) {
      if (!copy_fd_part(source.get(), destination, 0)) {
        zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message from file %s to submitter %s", file,
               submitter);
        result = 0;
      }
    } else if (!write_buffer(destination, text, length)) {
      zv_log(ZV_LOG_ERRORS, "mailsend: cannot write message to submitter %s", submitter);
      result = 0;
    }
  }
  // End of input: the submitter delivers what it has read.
  pipe.reset();
  return result;
}
