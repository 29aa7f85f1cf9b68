// The MTA side of the Milter protocol; see milter_wire.h.
#include "milter_wire.h"

#include <arpa/inet.h>
#include <libmilter/mfdef.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace mload {
namespace {

// The largest packet a filter may send back (a replaced body chunk, a long reply).
constexpr uint32_t kMaxPacket = 4u * 1024 * 1024;

std::string errno_text(const char* what) {
  char buffer[256];
  const char* text = strerror_r(errno, buffer, sizeof buffer);
  return std::string(what) + ": " + text;
}

uint32_t get32(const std::string& data, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, data.data() + at, 4);
  return ntohl(v);
}

void put32(std::string* out, uint32_t value) {
  uint32_t v = htonl(value);
  out->append(reinterpret_cast<const char*>(&v), 4);
}

// The first NUL-terminated string of `data` from `at`.
std::string cstring_at(const std::string& data, size_t at) {
  if (at >= data.size()) return "";
  size_t end = data.find('\0', at);
  return data.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

}  // namespace

bool parse_address(const std::string& text, MilterAddress* out, std::string* error) {
  *out = MilterAddress{};
  if (text.rfind("unix:", 0) == 0 || text.rfind("local:", 0) == 0) {
    out->path = text.substr(text.find(':') + 1);
    if (out->path.empty() || out->path.size() >= sizeof(sockaddr_un::sun_path)) {
      *error = "bad socket path in " + text;
      return false;
    }
    return true;
  }
  if (text.rfind("inet:", 0) == 0) {
    size_t at = text.find('@');
    if (at == std::string::npos) {
      *error = "expected inet:PORT@HOST in " + text;
      return false;
    }
    std::string port = text.substr(5, at - 5);
    out->host = text.substr(at + 1);
    char* end = nullptr;
    long p = std::strtol(port.c_str(), &end, 10);
    in_addr a{};
    if (port.empty() || *end != '\0' || p <= 0 || p > 65535 ||
        inet_pton(AF_INET, out->host.c_str(), &a) != 1) {
      *error = "expected inet:PORT@IPV4 in " + text;
      return false;
    }
    out->inet = true;
    out->port = static_cast<int>(p);
    return true;
  }
  *error = "address must be unix:PATH or inet:PORT@HOST: " + text;
  return false;
}

MilterClient::~MilterClient() {
  if (fd_ >= 0) ::close(fd_);
}

bool MilterClient::fail(std::string text) {
  error_ = std::move(text);
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  return false;
}

bool MilterClient::write_packet(char command, std::string_view data) {
  // One system call per packet, header and data together, as sendmail writes them.
  std::string header;
  put32(&header, static_cast<uint32_t>(data.size() + 1));
  header.push_back(command);
  iovec iov[2] = {{header.data(), header.size()}, {const_cast<char*>(data.data()), data.size()}};
  size_t total = header.size() + data.size(), done = 0;
  int index = 0;
  while (done < total) {
    ssize_t n = ::writev(fd_, iov + index, 2 - index);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(errno_text("write"));
    done += static_cast<size_t>(n);
    size_t left = static_cast<size_t>(n);
    while (index < 2 && left >= iov[index].iov_len) {
      left -= iov[index].iov_len;
      ++index;
    }
    if (index < 2) {
      iov[index].iov_base = static_cast<char*>(iov[index].iov_base) + left;
      iov[index].iov_len -= left;
    }
  }
  return true;
}

bool MilterClient::write_macros(char stage,
                                const std::vector<std::pair<std::string, std::string>>& macros) {
  std::string data(1, stage);
  for (const auto& [name, value] : macros) {
    data += name;
    data.push_back('\0');
    data += value;
    data.push_back('\0');
  }
  return write_packet(SMFIC_MACRO, data);
}

bool MilterClient::read_packet(char* command, std::string* data) {
  auto read_all = [&](char* buffer, size_t length) -> bool {
    size_t done = 0;
    while (done < length) {
      ssize_t n = ::read(fd_, buffer + done, length - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return fail("reply timed out");
      if (n < 0) return fail(errno_text("read"));
      if (n == 0) return fail("filter closed the connection");
      done += static_cast<size_t>(n);
    }
    return true;
  };
  char header[4];
  if (!read_all(header, 4)) return false;
  uint32_t length = 0;
  std::memcpy(&length, header, 4);
  length = ntohl(length);
  if (length == 0 || length > kMaxPacket)
    return fail("reply of impossible length " + std::to_string(length));
  data->resize(length);
  if (!read_all(data->data(), length)) return false;
  *command = (*data)[0];
  data->erase(0, 1);
  return true;
}

bool MilterClient::open(const MilterAddress& address, int timeout_ms, bool nodelay) {
  error_.clear();
  connection_verdict_ = MessageOutcome{};
  fd_ = ::socket(address.inet ? AF_INET : AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return fail(errno_text("socket"));
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  int rc;
  if (address.inet) {
    if (nodelay) {
      int one = 1;
      ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_port = htons(static_cast<uint16_t>(address.port));
    inet_pton(AF_INET, address.host.c_str(), &sin.sin_addr);
    rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
  } else {
    sockaddr_un sun{};
    sun.sun_family = AF_UNIX;
    std::memcpy(sun.sun_path, address.path.c_str(), address.path.size() + 1);
    rc = ::connect(fd_, reinterpret_cast<sockaddr*>(&sun), sizeof sun);
  }
  if (rc != 0) return fail(errno_text("connect"));

  // Option negotiation: offer every action and every protocol step flag, as sendmail does
  // (without the larger data sizes, so body chunks stay at 65535 bytes).
  std::string offer;
  put32(&offer, SMFI_PROT_VERSION);
  put32(&offer, SMFI_CURR_ACTS);
  put32(&offer, SMFI_CURR_PROT);
  if (!write_packet(SMFIC_OPTNEG, offer)) return false;
  char command = 0;
  std::string data;
  if (!read_packet(&command, &data)) return false;
  if (command != SMFIC_OPTNEG || data.size() < 12)
    return fail(std::string("negotiation answered with '") + command + "'");
  protocol_ = get32(data, 8);
  if (protocol_ & ~static_cast<uint32_t>(SMFI_CURR_PROT))
    return fail("filter asked for protocol flags that were not offered");

  MessageOutcome* v = &connection_verdict_;
  if (!(protocol_ & SMFIP_NOCONNECT)) {
    if (!write_macros(SMFIC_CONNECT, {{"j", "mx.bench.invalid"},
                                      {"_", "client.bench.invalid [127.0.0.1]"},
                                      {"{daemon_name}", "MTA"},
                                      {"{client_addr}", "127.0.0.1"}}))
      return false;
    std::string c = "client.bench.invalid";
    c.push_back('\0');
    c.push_back(SMFIA_INET);
    uint16_t port = htons(40000);
    c.append(reinterpret_cast<const char*>(&port), 2);
    c += "127.0.0.1";
    c.push_back('\0');
    if (!step(SMFIC_CONNECT, c, protocol_ & SMFIP_NR_CONN, v)) return false;
  }
  if (v->verdict == 0 && !(protocol_ & SMFIP_NOHELO)) {
    if (!step(SMFIC_HELO, std::string_view("client.bench.invalid\0", 21), protocol_ & SMFIP_NR_HELO,
              v))
      return false;
  }
  return true;
}

bool MilterClient::final_reply(char command, const std::string& data, MessageOutcome* outcome) {
  switch (command) {
    case SMFIR_ACCEPT:
      outcome->verdict = 'a';
      return true;
    case SMFIR_REJECT:
      outcome->verdict = 'r';
      return true;
    case SMFIR_TEMPFAIL:
      outcome->verdict = 't';
      return true;
    case SMFIR_DISCARD:
      outcome->verdict = 'd';
      return true;
    case SMFIR_REPLYCODE: {
      outcome->reply = cstring_at(data, 0);
      char first = outcome->reply.empty() ? 0 : outcome->reply[0];
      if (first != '4' && first != '5')
        return fail("replycode answer without a 4xx or 5xx code: " + outcome->reply);
      outcome->verdict = first == '5' ? 'r' : 't';
      return true;
    }
    default:
      return fail(std::string("unexpected answer '") + command + "'");
  }
}

bool MilterClient::step(char command, std::string_view data, bool no_reply, MessageOutcome* outcome,
                        bool* skip) {
  if (!write_packet(command, data)) return false;
  if (no_reply) return true;
  char answer = 0;
  std::string reply;
  if (!read_packet(&answer, &reply)) return false;
  if (answer == SMFIR_CONTINUE) return true;
  if (answer == SMFIR_SKIP && skip != nullptr && command == SMFIC_BODY) {
    *skip = true;
    return true;
  }
  outcome->step = command;
  return final_reply(answer, reply, outcome);
}

bool MilterClient::read_end_of_message(MessageOutcome* outcome) {
  outcome->step = SMFIC_BODYEOB;
  for (;;) {
    char command = 0;
    std::string data;
    if (!read_packet(&command, &data)) return false;
    switch (command) {
      case SMFIR_PROGRESS:
        break;
      case SMFIR_ADDHEADER:
        outcome->headers_added.push_back(cstring_at(data, 0));
        break;
      case SMFIR_INSHEADER:
      case SMFIR_CHGHEADER:
        if (data.size() < 5) return fail("short header change");
        (command == SMFIR_INSHEADER ? outcome->headers_added : outcome->headers_changed)
            .push_back(cstring_at(data, 4));
        break;
      case SMFIR_REPLBODY:
        outcome->body_replaced += data.size();
        if (keep_body_) outcome->new_body += data;
        break;
      case SMFIR_QUARANTINE:
        outcome->quarantined = true;
        break;
      case SMFIR_ADDRCPT:
      case SMFIR_DELRCPT:
      case SMFIR_ADDRCPT_PAR:
      case SMFIR_CHGFROM:
        break;
      case SMFIR_CONTINUE:
        // At the end of the message, continue means accept.
        outcome->verdict = 'a';
        return true;
      default:
        return final_reply(command, data, outcome);
    }
  }
}

bool MilterClient::send_message(const MessageSpec& m, MessageOutcome* outcome) {
  *outcome = MessageOutcome{};
  if (fd_ < 0) return fail("not connected");
  if (connection_verdict_.verdict != 0) {
    *outcome = connection_verdict_;
    return true;
  }
  auto ended = [&] { return outcome->verdict != 0; };
  const uint32_t p = protocol_;
  auto with_nul = [](std::string s) {
    s.push_back('\0');
    return s;
  };

  if (!(p & SMFIP_NOMAIL)) {
    if (!write_macros(SMFIC_MAIL, {{"i", m.queue_id}, {"{mail_addr}", m.sender}})) return false;
    if (!step(SMFIC_MAIL, with_nul("<" + m.sender + ">"), p & SMFIP_NR_MAIL, outcome)) return false;
  }
  for (size_t r = 0; !ended() && !(p & SMFIP_NORCPT) && r < m.recipients.size(); ++r) {
    if (!write_macros(SMFIC_RCPT, {{"{rcpt_addr}", m.recipients[r]}})) return false;
    if (!step(SMFIC_RCPT, with_nul("<" + m.recipients[r] + ">"), p & SMFIP_NR_RCPT, outcome))
      return false;
  }
  if (!ended() && !(p & SMFIP_NODATA) &&
      !step(SMFIC_DATA, std::string_view(), p & SMFIP_NR_DATA, outcome))
    return false;
  for (size_t h = 0; !ended() && !(p & SMFIP_NOHDRS) && h < m.headers.size(); ++h) {
    std::string data = m.headers[h].first;
    data.push_back('\0');
    if (p & SMFIP_HDR_LEADSPC) data.push_back(' ');
    data += m.headers[h].second;
    data.push_back('\0');
    if (!step(SMFIC_HEADER, data, p & SMFIP_NR_HDR, outcome)) return false;
  }
  if (!ended() && !(p & SMFIP_NOEOH) &&
      !step(SMFIC_EOH, std::string_view(), p & SMFIP_NR_EOH, outcome))
    return false;
  bool skip = false;
  for (size_t at = 0; !ended() && !skip && !(p & SMFIP_NOBODY) && at < m.body.size();
       at += MILTER_CHUNK_SIZE) {
    if (!step(SMFIC_BODY, m.body.substr(at, MILTER_CHUNK_SIZE), p & SMFIP_NR_BODY, outcome, &skip))
      return false;
  }
  if (ended()) {
    // The filter decided early: the MTA ends the transaction.
    return write_packet(SMFIC_ABORT, std::string_view());
  }
  if (!write_macros(SMFIC_BODYEOB, {{"i", m.queue_id}})) return false;
  if (!write_packet(SMFIC_BODYEOB, std::string_view())) return false;
  return read_end_of_message(outcome);
}

void MilterClient::close() {
  if (fd_ < 0) return;
  (void)write_packet(SMFIC_QUIT, std::string_view());
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace mload
