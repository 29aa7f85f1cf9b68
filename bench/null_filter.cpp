// zvnullfilter: the least a libmilter filter can do, as a yardstick for the real one.
//
// It accepts every message and adds one header ("X-Null-Filter: yes"). With --spool=DIR
// it also does what any spooling filter must at the least: it creates a file in DIR at
// the envelope sender, writes the headers and body chunks into it as they come, and at
// the end of the message fsyncs, closes and removes it. Run it on the same disk as the
// real filter's spool to get the floor that spooling sets.
//
// The per-message state hangs in libmilter's per-connection slot; no globals are written
// after start-up except the counter that names spool files (atomic).
#include <fcntl.h>
#include <getopt.h>
#include <libmilter/mfapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string spool_dir;  // set before smfi_main, read-only afterwards
std::atomic<unsigned long> serial{0};

struct Message {
  int fd = -1;
  std::string path;
  std::string pending;  // small writes gathered before they go to the file

  bool flush() {
    size_t done = 0;
    while (done < pending.size()) {
      ssize_t n = ::write(fd, pending.data() + done, pending.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    pending.clear();
    return true;
  }
  void drop() {
    if (fd >= 0) {
      ::close(fd);
      ::unlink(path.c_str());
    }
    fd = -1;
  }
};

Message* message_of(SMFICTX* ctx) {
  return static_cast<Message*>(smfi_getpriv(ctx));
}

sfsistat on_envfrom(SMFICTX* ctx, char**) {
  if (spool_dir.empty()) return SMFIS_CONTINUE;
  Message* m = message_of(ctx);
  if (m == nullptr) {
    m = new Message;
    smfi_setpriv(ctx, m);
  }
  m->drop();
  m->path = spool_dir + "/null." + std::to_string(::getpid()) + "." + std::to_string(serial++);
  m->fd = ::open(m->path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  return m->fd >= 0 ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
}

sfsistat on_header(SMFICTX* ctx, char* name, char* value) {
  Message* m = message_of(ctx);
  if (m == nullptr || m->fd < 0) return SMFIS_CONTINUE;
  m->pending.append(name).append(": ").append(value).append("\r\n");
  return SMFIS_CONTINUE;
}

sfsistat on_eoh(SMFICTX* ctx) {
  Message* m = message_of(ctx);
  if (m == nullptr || m->fd < 0) return SMFIS_CONTINUE;
  m->pending.append("\r\n");
  return m->flush() ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
}

sfsistat on_body(SMFICTX* ctx, unsigned char* chunk, size_t length) {
  Message* m = message_of(ctx);
  if (m == nullptr || m->fd < 0) return SMFIS_CONTINUE;
  m->pending.assign(reinterpret_cast<const char*>(chunk), length);
  return m->flush() ? SMFIS_CONTINUE : SMFIS_TEMPFAIL;
}

sfsistat on_eom(SMFICTX* ctx) {
  if (Message* m = message_of(ctx); m != nullptr && m->fd >= 0) {
    bool ok = m->flush() && ::fsync(m->fd) == 0;
    m->drop();
    if (!ok) return SMFIS_TEMPFAIL;
  }
  if (smfi_addheader(ctx, const_cast<char*>("X-Null-Filter"), const_cast<char*>("yes")) !=
      MI_SUCCESS)
    return SMFIS_TEMPFAIL;
  return SMFIS_ACCEPT;
}

sfsistat on_abort(SMFICTX* ctx) {
  if (Message* m = message_of(ctx)) m->drop();
  return SMFIS_CONTINUE;
}

sfsistat on_close(SMFICTX* ctx) {
  if (Message* m = message_of(ctx)) {
    m->drop();
    delete m;
    smfi_setpriv(ctx, nullptr);
  }
  return SMFIS_CONTINUE;
}

const char kUsage[] =
    "Usage: zvnullfilter --socket=ADDRESS [--spool=DIR] [--pidfile=PATH]\n"
    "  --socket=ADDRESS  unix:PATH or inet:PORT@HOST\n"
    "  --spool=DIR       write, fsync and remove one file per message in DIR\n"
    "  --pidfile=PATH    write the process id there once listening is set up\n";

}  // namespace

int main(int argc, char** argv) {
  std::string socket, pidfile;
  static const option kLong[] = {{"socket", required_argument, nullptr, 's'},
                                 {"spool", required_argument, nullptr, 'd'},
                                 {"pidfile", required_argument, nullptr, 'p'},
                                 {"help", no_argument, nullptr, 'h'},
                                 {nullptr, 0, nullptr, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
    if (c == 's')
      socket = optarg;
    else if (c == 'd')
      spool_dir = optarg;
    else if (c == 'p')
      pidfile = optarg;
    else {
      std::fputs(kUsage, c == 'h' ? stdout : stderr);
      return c == 'h' ? 0 : 64;
    }
  }
  if (socket.empty() || optind != argc) {
    std::fputs(kUsage, stderr);
    return 64;
  }
  if (socket.rfind("unix:", 0) == 0) ::unlink(socket.c_str() + 5);

  smfiDesc desc;
  std::memset(&desc, 0, sizeof desc);
  desc.xxfi_name = const_cast<char*>("zvnullfilter");
  desc.xxfi_version = SMFI_VERSION;
  desc.xxfi_flags = SMFIF_ADDHDRS;
  desc.xxfi_envfrom = on_envfrom;
  desc.xxfi_header = on_header;
  desc.xxfi_eoh = on_eoh;
  desc.xxfi_body = on_body;
  desc.xxfi_eom = on_eom;
  desc.xxfi_abort = on_abort;
  desc.xxfi_close = on_close;
  if (smfi_setconn(socket.data()) != MI_SUCCESS || smfi_setbacklog(256) != MI_SUCCESS ||
      smfi_register(desc) != MI_SUCCESS || smfi_opensocket(true) != MI_SUCCESS) {
    std::fprintf(stderr, "zvnullfilter: cannot set up libmilter on %s\n", socket.c_str());
    return 70;
  }
  if (!pidfile.empty()) {
    FILE* f = std::fopen(pidfile.c_str(), "we");
    if (f == nullptr || std::fprintf(f, "%d\n", static_cast<int>(::getpid())) < 0 ||
        std::fclose(f) != 0) {
      std::fprintf(stderr, "zvnullfilter: cannot write %s\n", pidfile.c_str());
      return 71;
    }
  }
  return smfi_main() == MI_SUCCESS ? 0 : 70;
}
