// Bad Milter traffic at the door, sent by a raw-socket client rather than through
// libmilter: truncated packets, oversized packets and headers, a body before the headers,
// and a connection that vanishes at every stage of the conversation. Each must end its
// own connection, while a well-formed connection beside it still gets its right answer,
// the filter keeps running and no spool file is left behind.
#include <arpa/inet.h>

#include "smf_fixture.h"

namespace {

using smftest::FilterTest;
using smftest::kEicar;

// One Milter packet: the length (command byte included), the command, the data.
std::string packet(char command, const std::string& data) {
  uint32_t length = htonl(static_cast<uint32_t>(data.size() + 1));
  return std::string(reinterpret_cast<const char*>(&length), 4) + command + data;
}
std::string z(const std::string& text) {
  return text + std::string(1, '\0');
}
std::string be32(uint32_t v) {
  uint32_t n = htonl(v);
  return std::string(reinterpret_cast<const char*>(&n), 4);
}

// The packets of a well-formed conversation, stage by stage.
const std::vector<std::string>& stages() {
  static const std::vector<std::string> all = {
      packet('O', be32(6) + be32(0x1FF) + be32(0)),
      packet('C', z("client.example.org") + "4" + std::string("\x00\x19", 2) + z("192.0.2.1")),
      packet('H', z("client.example.org")),
      packet('M', z("<sender@example.org>")),
      packet('R', z("<rcpt@example.org>")),
      packet('L', z("Subject") + z("door test")),
      packet('N', ""),
      packet('B', "body line\r\n"),
      packet('E', ""),
  };
  return all;
}
std::string first_stages(size_t n) {
  std::string out;
  for (size_t i = 0; i < n && i < stages().size(); ++i) out += stages()[i];
  return out;
}

// Connects to the filter's socket; -1 on failure.
int connect_unix(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends `bytes` (a refused or reset send ends the sending), then either hangs up at once
// (`vanish`) or stops writing and reads until the filter closes its side. True when the
// filter ended the connection within 30 seconds, or the client vanished.
bool bad_session(const std::string& path, const std::string& bytes, bool vanish,
                 std::string* answers = nullptr) {
  int fd = connect_unix(path);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (vanish) {
    close(fd);
    return true;
  }
  shutdown(fd, SHUT_WR);
  bool ended = false;
  char buffer[4096];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) break;
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      ended = true;
      break;
    }
    if (answers != nullptr) answers->append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return ended;
}

// Opens a session that sends the first `n` stages and reads their `n` answers, then stays
// open without a word, as an SMTP client that dawdles between commands makes the MTA do.
// The connected descriptor, or -1.
int idle_session(const std::string& path, size_t n) {
  int fd = connect_unix(path);
  if (fd < 0) return -1;
  std::string bytes = first_stages(n);
  if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(bytes.size())) {
    close(fd);
    return -1;
  }
  std::string answers;
  size_t packets = 0;
  while (packets < n) {
    pollfd p{fd, POLLIN, 0};
    char buffer[4096];
    ssize_t got = poll(&p, 1, 30000) > 0 ? recv(fd, buffer, sizeof buffer, 0) : -1;
    if (got <= 0) {
      close(fd);
      return -1;
    }
    answers.append(buffer, static_cast<size_t>(got));
    for (packets = 0, bytes.clear(); answers.size() - bytes.size() >= 4;) {
      uint32_t length = 0;
      memcpy(&length, answers.data() + bytes.size(), 4);
      if (answers.size() - bytes.size() < 4 + ntohl(length)) break;
      bytes.append(answers, bytes.size(), 4 + ntohl(length));
      ++packets;
    }
  }
  return fd;
}

class DoorTest : public FilterTest {
 protected:
  void SetUp() override {
    FilterTest::SetUp();
    // The answers the concurrent script expects.
    set("Scanning", "AddXHeaders", "yes");
    set("Actions", "UseCustomReply", "yes");
    set("Actions", "Infected", "reject");
  }
};

TEST_F(DoorTest, MalformedConnectionsEndAloneAndLeaveNothingBehind) {
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  struct Case {
    std::string name;
    std::string bytes;
    bool vanish;
  };
  std::vector<Case> cases;
  // Vanishing after each stage, and in the middle of each stage's packet.
  for (size_t n = 0; n <= stages().size(); ++n) {
    cases.push_back({"vanishes after " + std::to_string(n) + " packets", first_stages(n), true});
    if (n < stages().size()) {
      const std::string& next = stages()[n];
      cases.push_back({"packet " + std::to_string(n) + " cut short",
                       first_stages(n) + next.substr(0, next.size() - 1), false});
      cases.push_back({"length of packet " + std::to_string(n) + " cut short",
                       first_stages(n) + next.substr(0, 2), false});
    }
  }
  // The raw client speaks the protocol well enough: its whole conversation is answered
  // up to the end of the message, whose answer is the last packet.
  std::string answers;
  ASSERT_TRUE(bad_session(socket(), first_stages(9), false, &answers));
  size_t at = 0, last = std::string::npos;
  while (at + 5 <= answers.size()) {
    last = at;
    uint32_t length = 0;
    memcpy(&length, answers.data() + at, 4);
    at += 4 + ntohl(length);
  }
  ASSERT_NE(last, std::string::npos);
  EXPECT_EQ(answers[0 + 4], 'O') << "negotiation answered";
  EXPECT_NE(std::string("acrtdy").find(answers[last + 4]), std::string::npos)
      << "answer to the end of message: " << answers[last + 4];

  const std::string hello = first_stages(5);
  cases.push_back({"packet announcing 2 GiB", hello + be32(0x7FFFFFFF) + "L", false});
  cases.push_back({"packet of length 0", hello + be32(0), false});
  cases.push_back(
      {"header of 1 MiB", hello + packet('L', z("X-Big") + z(std::string(1 << 20, 'h'))), false});
  cases.push_back({"header without its value", hello + packet('L', "Subject"), false});
  cases.push_back(
      {"body before the headers", hello + packet('B', "early body\r\n") + packet('E', ""), false});
  cases.push_back({"body before the headers, then gone", hello + packet('B', "early body"), true});
  cases.push_back({"unknown command", hello + packet('~', "junk"), false});
  cases.push_back({"end of message twice", first_stages(9) + packet('E', ""), false});
  cases.push_back({"garbage instead of negotiation", std::string(64, '\xFF'), false});

  int i = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool infected = ++i % 2 == 0;
    const std::string out = dir_.file("good." + std::to_string(i));
    pid_t good = spawn_miltertest(
        "concurrent.lua",
        {{"EICAR", kEicar}, {"INFECTED", infected ? "1" : "0"}, {"QID", "G" + std::to_string(i)}},
        out);
    EXPECT_TRUE(bad_session(socket(), c.bytes, c.vanish)) << "the filter kept the connection";
    EXPECT_EQ(smftest::wait_status(good), 0) << zvtest::read_file(out);
    int status = 0;
    ASSERT_EQ(waitpid(pid_, &status, WNOHANG), 0) << "the filter ended\n" << capture_.dump();
  }
  EXPECT_TRUE(zvtest::wait_for([&] { return files("spool").empty(); }))
      << ::testing::PrintToString(files("spool"));
  EXPECT_EQ(stop_filter(SIGTERM), 0) << capture_.dump();
}

TEST_F(DoorTest, StopEndsAnIdleMessageAtOnceAndRemovesItsSpoolFile) {
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  // Between the recipient and the headers: the message has its spool file, and no
  // callback runs on it. Once libmilter's loop has ended, nothing serves its connection.
  int fd = idle_session(socket(), 5);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(files("spool").size(), 1u);
  EXPECT_EQ(stop_filter(SIGTERM), 0);
  close(fd);
  EXPECT_TRUE(
      capture_.has("[???]: message from sender@example.org is dropped - its connection "
                   "was idle at the stop"))
      << capture_.dump();
  EXPECT_FALSE(capture_.contains("message(s) still in progress")) << capture_.dump();
  EXPECT_TRUE(files("spool").empty()) << ::testing::PrintToString(files("spool"));
}

}  // namespace
