// Wire primitives, statistics blocks, reports and virus lines, byte for byte.
#include "zvc_proto.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "client/zvc_fake_peer.h"
#include "support/zv_test_support.h"

namespace {

using zvtest::be32;
using zvtest::bstr;
using zvtest::CaptureLog;

// A channel on one end of a socket pair; the test reads and writes the other end raw.
class ProtoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
    channel_.reset(ipc::adopt(sv[0], kIpcUnix, 10));
    ASSERT_TRUE(channel_);
    peer_ = sv[1];
  }
  void TearDown() override { close(peer_); }
  // What the channel sent, once it is closed.
  std::string sent() {
    channel_.reset();
    return zvtest::read_to_eof(peer_, 2000);
  }
  void feed(const std::string& bytes) { ASSERT_TRUE(zvtest::write_all(peer_, bytes)); }
  IpcChannel* ch() { return channel_.get(); }

  CaptureLog log_{ZV_LOG_DEBUG};
  IpcChannelPtr channel_;
  int peer_ = -1;
};

TEST_F(ProtoTest, WritesPrimitivesInWireEncoding) {
  StringListPtr list(strings::create(0));
  ASSERT_EQ(strings::add(list.get(), "ab"), 1);
  ASSERT_EQ(strings::add(list.get(), "c"), 1);
  EXPECT_EQ(proto::write_int(ch(), 1), 1);
  EXPECT_EQ(proto::write_int(ch(), static_cast<uint32_t>(-1)), 1);
  EXPECT_EQ(proto::write_bytestring(ch(), 5, nullptr), 1);
  EXPECT_EQ(proto::write_bytestring(ch(), 3, "xyz"), 1);
  EXPECT_EQ(proto::write_bytestring(ch(), 0, "ignored"), 1);
  EXPECT_EQ(proto::write_buf(ch(), 2, "RB"), 1);
  EXPECT_EQ(proto::write_buf(ch(), 0, "nothing"), 1);
  EXPECT_EQ(proto::write_list(ch(), list.get(), 1), 1);
  EXPECT_EQ(proto::write_list(ch(), list.get(), 0), 1);
  EXPECT_EQ(proto::write_list(ch(), nullptr, 1), 1);
  const std::string want = std::string("\x00\x00\x00\x01", 4) + "\xFF\xFF\xFF\xFF" +
                           std::string(4, '\0') + std::string("\x00\x00\x00\x03xyz", 7) +
                           std::string(4, '\0') + "RB" + be32(2) + bstr(std::string("ab\0", 3)) +
                           bstr(std::string("c\0", 2)) + be32(2) + bstr("ab") + bstr("c") + be32(0);
  EXPECT_EQ(sent(), want);
  EXPECT_TRUE(log_.has("zvlib: proto::write_list 2 strings should be written"));
}

TEST_F(ProtoTest, WritesTheStatisticsBlock) {
  ScanStatistics s;
  s.scanned = 99;  // not sent, like deleted and the per-type counters
  s.known = 1;
  s.modifications = 2;
  s.suspicious = 3;
  s.skipped = 4;
  s.archive_restrictions = 5;
  s.rule_rejects = 6;
  s.errors = 7;
  s.cured = 8;
  s.deleted = 9;
  s.adware = 10;
  EXPECT_EQ(proto::write_stat(ch(), &s), 1);
  std::string want = be32(8);
  const uint32_t pairs[][2] = {{0x20, 1},    {0x80, 2},    {0x40, 3},   {0x1E08, 4},
                               {0x46000, 5}, {0x20000, 6}, {0x8017, 7}, {0x100, 8}};
  for (const auto& p : pairs) want += be32(p[0]) + be32(p[1]);
  EXPECT_EQ(sent(), want);
  EXPECT_EQ(proto::write_stat(nullptr, nullptr), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::write_stat bad parameters was passed"));
}

TEST_F(ProtoTest, ReadsIntsAndByteStrings) {
  feed(be32(0xFFFFFFFE) + be32(0) + be32(0) + bstr("hello") + bstr(std::string("a\0b", 3)));
  int32_t v = 0;
  EXPECT_EQ(proto::read_int(ch(), &v), 1);
  EXPECT_EQ(v, -2);
  size_t len = 99;
  std::unique_ptr<char[]> bytes;
  // Length 0 with terminate: a one-byte text holding only the terminator.
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 1, 100), 1);
  EXPECT_EQ(len, 1u);
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes[0], '\0');
  // Length 0 without terminate: nothing at all.
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 0, 100), 1);
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(bytes);
  EXPECT_TRUE(log_.has("zvlib: proto::read_bytestring null bytestring readed"));
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 1, 100), 1);
  EXPECT_EQ(len, 6u);
  EXPECT_STREQ(bytes.get(), "hello");
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 0, 100), 1);
  EXPECT_EQ(std::string(bytes.get(), len), std::string("a\0b", 3));
  // A length above the caller's cap fails before anything is allocated or read.
  feed(be32(101));
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 0, 100), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::read_bytestring length 101 exceeds the limit 100"));
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(bytes);
  // A byte string cut short clears both outputs.
  feed(be32(10) + "short");
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 1, 100), 0);
  EXPECT_EQ(len, 0u);
  EXPECT_FALSE(bytes);
  EXPECT_EQ(proto::read_int(ch(), static_cast<uint32_t*>(nullptr)), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::read_int bad parameters (0.1) were passed"));
}

// Byte strings around and beyond the first piece the reader allocates arrive whole.
TEST_F(ProtoTest, ReadsLongByteStringsWhole) {
  for (size_t n : {size_t{65535}, size_t{65536}, size_t{65537}, size_t{300001}}) {
    for (int terminate = 0; terminate < 2; ++terminate) {
      SCOPED_TRACE(std::to_string(n) + (terminate ? " terminated" : ""));
      std::string data(n, '\0');
      for (size_t i = 0; i < n; ++i) data[i] = static_cast<char>('a' + i % 23);
      std::thread writer([&] { EXPECT_TRUE(zvtest::write_all(peer_, bstr(data))); });
      size_t len = 0;
      std::unique_ptr<char[]> bytes;
      EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, terminate, UINT32_MAX), 1);
      writer.join();
      ASSERT_TRUE(bytes);
      EXPECT_EQ(len, n + static_cast<size_t>(terminate));
      EXPECT_EQ(std::string(bytes.get(), n), data);
      if (terminate) {
        EXPECT_EQ(bytes[n], '\0');
      }
    }
  }
}

// The process's virtual size in kB, from /proc/self/status.
long virtual_size_kb() {
  std::ifstream in("/proc/self/status");
  std::string key;
  long value = 0;
  while (in >> key) {
    if (key == "VmSize:" && in >> value) return value;
    in.ignore(4096, '\n');
  }
  return -1;
}

// A daemon that announces a byte string of almost 4 GiB and sends a few bytes must not
// make the client reserve the announced size while it waits for the rest.
TEST_F(ProtoTest, AnnouncedLengthIsNotAllocatedBeforeTheBytesArrive) {
  const long before = virtual_size_kb();
  ASSERT_GT(before, 0);
  feed(be32(0xFFFFFFF0u) + "partial");
  std::atomic<long> most{before};
  std::thread peer([&] {
    // While the reader waits for the rest, watch the size for a while, then hang up.
    for (int i = 0; i < 50; ++i) {
      most.store(std::max(most.load(), virtual_size_kb()));
      usleep(10000);
    }
    ::shutdown(peer_, SHUT_RDWR);
  });
  size_t len = 0;
  std::unique_ptr<char[]> bytes;
  EXPECT_EQ(proto::read_bytestring(ch(), &len, &bytes, 1, UINT32_MAX), 0);
  peer.join();
  EXPECT_FALSE(bytes);
  EXPECT_LT(most.load() - before, 1024L * 1024) << "kB of address space taken while waiting";
  for (const std::string& t : log_.texts())
    EXPECT_EQ(t.find("cannot allocate"), std::string::npos) << t;
}

TEST_F(ProtoTest, ReadStatAddsToTheFirstMatchingCounter) {
  struct Row {
    uint32_t mask;
    int32_t ScanStatistics::*counter;
  };
  const Row rows[] = {
      {0x1000, &ScanStatistics::skipped},
      {0x20 | 0x100, &ScanStatistics::known},
      {0x4000, &ScanStatistics::archive_restrictions},
      {0x10, &ScanStatistics::errors},
      {0x80000, &ScanStatistics::deleted},
      {0x4000000, &ScanStatistics::hacktools},
      {0x800000, &ScanStatistics::dialers},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.mask);
    feed(be32(1) + be32(r.mask) + be32(3));
    ScanStatistics s;
    EXPECT_EQ(proto::read_stat(ch(), &s), 1);
    EXPECT_EQ(s.*r.counter, 3);
    EXPECT_EQ(s.scanned, 1);
    int32_t total = s.known + s.modifications + s.suspicious + s.cured + s.deleted +
                    s.rule_rejects + s.skipped + s.archive_restrictions + s.errors + s.adware +
                    s.dialers + s.jokes + s.riskware + s.hacktools;
    EXPECT_EQ(total, 3);
  }
  // A mask no counter covers changes nothing but the scanned-objects count.
  feed(be32(2) + be32(1u << 27) + be32(5) + be32(0x20) + be32(0x7FFFFFFF));
  ScanStatistics s;
  s.known = 1;
  EXPECT_EQ(proto::read_stat(ch(), &s), 1);
  EXPECT_EQ(s.scanned, 1);
  EXPECT_EQ(s.known, INT32_MIN);  // wraps instead of overflowing
  feed(be32(2) + be32(0x20) + be32(1));
  close(peer_);
  peer_ = -1;
  EXPECT_EQ(proto::read_stat(ch(), &s), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::read_stat cannot read pair #1"));
}

TEST_F(ProtoTest, ParsesVirusLinesByInfectionType) {
  struct Row {
    const char* line;
    int kind;  // -1: refused
    const char* name;
    const char* message;
  };
  const Row rows[] = {
      {"EICAR-Test-File,K", kVirusKnown, "EICAR-Test-File", nullptr},
      {"a,b,K", kVirusKnown, "a,b", nullptr},
      {"Heur.Mail,Sxtra", kVirusSuspicious, "Heur.Mail", nullptr},
      {"W32.Mod,M", kVirusModification, "W32.Mod", nullptr},
      {"Ad,A", kVirusAdware, "Ad", nullptr},
      {"Dial,D", kVirusDialer, "Dial", nullptr},
      {"Joke,J", kVirusJoke, "Joke", nullptr},
      {"Risk,R", kVirusRiskware, "Risk", nullptr},
      {"Hack,H", kVirusHacktool, "Hack", nullptr},
      {"name,k", -1, nullptr,
       "zvlib: combiner::parse_viruses unknown infection type 'k' in line - [7]name,k"},
      {"no comma", -1, nullptr, "zvlib: combiner::parse_viruses line malformed - [9]no comma"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    VirusLists lists;
    log_.clear();
    int rc = combiner::parse_viruses(strlen(r.line) + 1, r.line, &lists, nullptr);
    if (r.kind < 0) {
      EXPECT_EQ(rc, 0);
      EXPECT_TRUE(log_.has(r.message));
      for (int k = 0; k < kVirusKinds; ++k) EXPECT_EQ(lists.get(k), nullptr);
      continue;
    }
    EXPECT_EQ(rc, 1);
    for (int k = 0; k < kVirusKinds; ++k) {
      if (k != r.kind) {
        EXPECT_EQ(lists.get(k), nullptr);
      }
    }
    ASSERT_NE(lists.get(r.kind), nullptr);
    EXPECT_EQ(lists.get(r.kind)->items.front(), r.name);
  }
}

TEST_F(ProtoTest, ReadListHandsEveryLineToTheCombiner) {
  feed(zvtest::blist({"v1,K", "v2,K", "v3,M"}));
  VirusLists lists;
  EXPECT_EQ(proto::read_list(ch(), combiner::parse_viruses, &lists, nullptr, 10, 100), 1);
  ASSERT_NE(lists.get(kVirusKnown), nullptr);
  EXPECT_EQ(lists.get(kVirusKnown)->count, 2u);
  EXPECT_EQ(lists.get(kVirusModification)->items.front(), "v3");
  EXPECT_TRUE(log_.has("zvlib: proto::read_list 3 strings should be read"));

  feed(zvtest::blist({"fine,K", "broken"}));
  EXPECT_EQ(proto::read_list(ch(), combiner::parse_viruses, &lists, nullptr, 10, 100), 0);
  // The peer sent the terminator too: 7 bytes on the wire, 8 with the added one.
  EXPECT_TRUE(log_.has("zvlib: proto::read_list combine routine failed on line[size=8]=broken"));
  // A count above the cap fails before any line is read.
  feed(zvtest::blist(std::vector<std::string>(11, "v,K")));
  EXPECT_EQ(proto::read_list(ch(), combiner::parse_viruses, &lists, nullptr, 10, 100), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::read_list count 11 exceeds the limit 10"));
  EXPECT_EQ(proto::read_list(ch(), nullptr, &lists, nullptr, 10, 100), 0);
  EXPECT_TRUE(log_.has("zvlib: proto::read_list bad parameters (0.1) were passed"));
}

TEST_F(ProtoTest, ReportDropsTheSpoolDirectory) {
  const char* path = "/var/spool/f/msg.1";
  feed(zvtest::blist(
      {"/var/spool/f/msg.1 infected\n", "> /var/spool/f/msg.1/part2 ok\n", "no path here\n"}));
  auto report = proto::read_report(ch(), 0, path);
  ASSERT_TRUE(report);
  EXPECT_EQ(*report, "msg.1 infected\n> msg.1/part2 ok\nno path here\n");

  // Directly: the text before the path becomes an entry of its own.
  StringListPtr lines(strings::create(0));
  char ctx[] = "/var/spool/f/msg.1";
  EXPECT_EQ(combiner::add_multistring_and_delete_path(31, "> /var/spool/f/msg.1 infected\n",
                                                      lines.get(), ctx),
            1);
  ASSERT_EQ(lines->count, 2u);
  EXPECT_EQ(lines->items[0], "> ");
  EXPECT_EQ(lines->items[1], "msg.1 infected\n");
  // A path without directory changes nothing.
  char bare[] = "msg.1";
  EXPECT_EQ(combiner::add_multistring_and_delete_path(10, "msg.1 ok\n", lines.get(), bare), 1);
  EXPECT_EQ(lines->items[2], "msg.1 ok\n");
  EXPECT_EQ(combiner::add_multistring_and_delete_path(1, nullptr, lines.get(), ctx), 0);
}

TEST_F(ProtoTest, ReportLimitDropsLinesWithPathAndFailsWithout) {
  const std::string lines =
      zvtest::blist({"0123456789\n", "this line is far too long\n", "tail\n"});
  feed(lines);
  auto kept = proto::read_report(ch(), 20, "/spool/x");
  ASSERT_TRUE(kept);
  EXPECT_EQ(*kept, "0123456789\ntail\n");
  // Without a limit, without a path: the lines as they came.
  feed(zvtest::blist({"a\n", "b\n"}));
  auto all = proto::read_report(ch(), 0, nullptr);
  ASSERT_TRUE(all);
  EXPECT_EQ(*all, "a\nb\n");
  // Without a path a line beyond the cap fails the whole report.
  feed(lines);
  EXPECT_FALSE(proto::read_report(ch(), 20, nullptr));
}

}  // namespace
