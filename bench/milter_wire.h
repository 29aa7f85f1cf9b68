// The MTA side of the Milter protocol, for the load driver.
//
// One MilterClient owns one socket to a filter and talks to it as sendmail does: option
// negotiation, then per message the macros, MAIL, RCPT, DATA, the headers, end of
// headers, the body in chunks of at most 65535 bytes and the end of the message, reading
// every reply that the negotiated protocol asks for and, at the end of the message, the
// modifications before the final reply. Steps the filter asked to skip (SMFIP_NO*) are
// not sent; steps it asked not to answer (SMFIP_NR_*) are not waited for.
//
// A reply that is missing, malformed or out of place ends the conversation with an
// error text; the caller counts it as a failed message. The client belongs to one
// thread; no shared state, no lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace mload {

// A parsed filter address: unix:PATH (also local:PATH) or inet:PORT@HOST.
struct MilterAddress {
  bool inet = false;
  std::string path;  // unix
  std::string host;  // inet, numeric IPv4
  int port = 0;      // inet
};
// False for a malformed text, with the reason in *error.
[[nodiscard]] bool parse_address(const std::string& text, MilterAddress* out, std::string* error);

// One message as the MTA hands it over.
struct MessageSpec {
  std::string queue_id;  // the "i" macro
  std::string sender;    // without angle brackets
  std::vector<std::string> recipients;
  std::vector<std::pair<std::string, std::string>> headers;  // name, value
  std::string_view body;                                     // CRLF line ends
};

// What became of one message.
struct MessageOutcome {
  char verdict = 0;   // 'a' accepted, 'r' rejected, 't' tempfailed, 'd' discarded
  char step = 0;      // the command the verdict answered (SMFIC_*)
  std::string reply;  // the SMTP reply text of a replycode answer
  std::vector<std::string> headers_added;    // names of added or inserted headers
  std::vector<std::string> headers_changed;  // names of changed headers
  size_t body_replaced = 0;                  // bytes of a replaced body
  std::string new_body;                      // the replaced body itself, when the client keeps it
  bool quarantined = false;
};

class MilterClient {
 public:
  MilterClient() = default;
  ~MilterClient();
  MilterClient(const MilterClient&) = delete;
  MilterClient& operator=(const MilterClient&) = delete;

  // Connects, negotiates and sends the connection and HELO steps. `timeout_ms` bounds
  // every later wait for the filter. `nodelay` sets TCP_NODELAY on an inet socket.
  [[nodiscard]] bool open(const MilterAddress& address, int timeout_ms, bool nodelay);
  // Runs one message to its verdict. After a verdict before the end of the message the
  // transaction is aborted, so the connection can carry the next message.
  [[nodiscard]] bool send_message(const MessageSpec& message, MessageOutcome* outcome);
  // Sends QUIT and closes.
  void close();

  // Keeps the bytes of a replaced body in MessageOutcome::new_body (off by default, so
  // that a load run does not hold large bodies).
  void keep_replaced_body(bool on) { keep_body_ = on; }

  const std::string& error() const { return error_; }
  uint32_t protocol() const { return protocol_; }

 private:
  bool fail(std::string text);
  bool write_packet(char command, std::string_view data);
  bool write_macros(char stage, const std::vector<std::pair<std::string, std::string>>& macros);
  bool read_packet(char* command, std::string* data);
  // Sends a command and, unless `no_reply`, reads its answer. *verdict becomes non-zero
  // when the filter ended the message (or connection) with it.
  bool step(char command, std::string_view data, bool no_reply, MessageOutcome* outcome,
            bool* skip = nullptr);
  bool final_reply(char command, const std::string& data, MessageOutcome* outcome);
  bool read_end_of_message(MessageOutcome* outcome);

  int fd_ = -1;
  uint32_t protocol_ = 0;  // the protocol flags the filter asked for
  bool keep_body_ = false;
  std::string error_;
  MessageOutcome connection_verdict_;  // a verdict given at connect or HELO
};

}  // namespace mload
