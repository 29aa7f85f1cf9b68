// The Milter callbacks of the real program, driven by miltertest: what the spool file of
// a message holds, the deny modes, the empty envelope sender and a spool directory that
// runs out of room.
#include <regex>

#include <sys/syscall.h>

#include "smf_fixture.h"
#include "support/zv_refusing.h"

namespace {

using smftest::FilterTest;
using smftest::kName;

// The spool file whose Received: header carries `qid`, with its date replaced by "DATE";
// empty when there is none.
std::string spool_of(const FilterTest& test, const std::vector<std::string>& names,
                     const std::string& directory, const std::string& qid) {
  static const std::regex date(
      "; [A-Z][a-z]{2}, [0-9]{2} [A-Z][a-z]{2} [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[-+][0-9]{4}\r\n");
  (void)test;
  for (const std::string& name : names) {
    std::string text = zvtest::read_file(directory + "/" + name);
    if (text.find("\tid " + qid + ";") == std::string::npos) continue;
    return std::regex_replace(text, date, "; DATE\r\n", std::regex_constants::format_first_only);
  }
  return "";
}

TEST_F(FilterTest, SpoolFileHoldsEnvelopeReceivedHeaderHeadersAndBodyByteForByte) {
  set("Logging", "DebugSpool", "yes");
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  smftest::ScriptResult r = miltertest("spool.lua");
  ASSERT_EQ(r.status, 0) << r.output << capture_.dump();

  const std::string by = std::string("\tby ") + host_ + " (" + kName + ")\r\n";
  struct Case {
    const char* qid;
    std::string spool;
  };
  const Case cases[] = {
      {"QHELO",
       "Return-Path: sender@example.com\r\n"
       "Received: from client.example ( client.example [192.0.2.1] )\r\n" +
           by +
           "\tid QHELO; DATE\r\n"
           "From: Sender <sender@example.com>\r\n"
           "Subject: first\r\n"
           "Subject: second\r\n"
           "Empty: \r\n"
           "\r\n"
           "line one\r\npartial line \xff\r\n"},
      // A second HELO never replaces the first name.
      {"QTWOHELO",
       "Return-Path: sender@example.com\r\n"
       "Received: from first.example ( client.example [192.0.2.1] )\r\n" +
           by + "\tid QTWOHELO; DATE\r\nSubject: test\r\n\r\nhello world\r\n"},
      {"QNOHELO", "Return-Path: sender@example.com\r\nReceived: from bare.example [192.0.2.9]\r\n" +
                      by + "\tid QNOHELO; DATE\r\nSubject: test\r\n\r\nhello world\r\n"},
      {"???",
       "Return-Path: sender@example.com\r\n"
       "Received: from client.example ( client.example [192.0.2.1] )\r\n" +
           by + "\tid ???; DATE\r\nSubject: test\r\n\r\nhello world\r\n"},
      // The empty sender let through by EmptyFrom "continue" is spooled as it came.
      {"QEMPTYFROM",
       "Return-Path: \r\n"
       "Received: from client.example ( client.example [192.0.2.1] )\r\n" +
           by + "\tid QEMPTYFROM; DATE\r\nSubject: test\r\n\r\nhello world\r\n"},
      // An aborted message is ended like any other; DebugSpool keeps its file.
      {"QABORTED",
       "Return-Path: sender@example.com\r\n"
       "Received: from client.example ( client.example [192.0.2.1] )\r\n" +
           by + "\tid QABORTED; DATE\r\nSubject: test\r\n\r\nhello world\r\n"},
      // What the MTA hands in stays on its line: the Received: header is one header, its
      // continuation lines folded, every other line break a blank. A header value is the
      // message's own and is spooled as it came, folded with bare LFs; only a break that
      // begins no folded line, and so would end the header block, is a blank.
      {"QINJECTED X",
       "Return-Path: sender@example.com  X-Injected: from\r\n"
       "Received: from client.example     ( client.example [192.0.2.1]  X-Injected: relay )\r\n" +
           by +
           "\tid QINJECTED X; DATE\r\nX-Folded: one\n\ttwo\r\nX-Broken: one  two \r\n"
           "\r\nhello world\r\n"},
  };
  std::vector<std::string> names = files("spool");
  EXPECT_EQ(names.size(), std::size(cases)) << testing::PrintToString(names);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.qid);
    EXPECT_EQ(spool_of(*this, names, dir_.file("spool"), c.qid), c.spool);
  }
  EXPECT_TRUE(capture_.has("got message-id[3] = ???")) << capture_.dump();
  EXPECT_TRUE(capture_.has("processing with from=<> is allowed - continue"));
  // An abort has no reply: the script may end before the filter has handled it.
  EXPECT_TRUE(zvtest::wait_for(
      [&] { return capture_.has("[QABORTED]: message from sender@example.com is aborted"); }, 10));
  EXPECT_TRUE(capture_.has("[QHELO]: processing message from sender@example.com is over"));
}

TEST_F(FilterTest, LineBreaksFromTheMtaLeaveTheAttachmentVisibleToTheScan) {
  set("Actions", "Infected", "reject");
  ASSERT_TRUE(start_daemon());
  ASSERT_TRUE(start_filter()) << capture_.dump();
  smftest::ScriptResult r = miltertest("injected.lua");
  EXPECT_EQ(r.status, 0) << r.output << capture_.dump();
}

TEST_F(FilterTest, EachDenyModeLetsTheMessageGoUncheckedAtItsStage) {
  std::string list = dir_.write("deny.list",
                                "[version=2]\n"
                                "deny from exact skip-sender@example.com\n"
                                "deny to exact skip@example.net\n");
  set("Scanning", "DenyList", list);
  ASSERT_TRUE(start_daemon());
  for (const char* mode : {"byAll", "byOne", "bySender", "bySenderAndOneRecipient",
                           "byOneRecipient", "byAllRecipients"}) {
    SCOPED_TRACE(mode);
    set("Scanning", "DenyMode", mode);
    capture_.clear();
    ASSERT_TRUE(start_filter()) << capture_.dump();
    smftest::ScriptResult r = miltertest("deny.lua", {{"MODE", mode}});
    EXPECT_EQ(r.status, 0) << r.output;
    // Every message ended at its stage left nothing behind.
    EXPECT_EQ(files("spool"), std::vector<std::string>{});
    EXPECT_EQ(stop_filter(SIGKILL), 128 + SIGKILL);
  }
}

TEST_F(FilterTest, EmptyEnvelopeSenderIsBlockedAtOnceUnlessEmptyFromContinues) {
  struct Case {
    const char* empty_from;
    const char* custom_reply;
    const char* reply;  // the letter miltertest reports at the envelope sender
    bool spooled;
  };
  const Case cases[] = {
      {"reject", "yes", "y", false},
      {"reject", "no", "r", false},
      {"discard", "yes", "d", false},
      {"continue", "yes", "a", true},
  };
  ASSERT_TRUE(start_daemon());
  set("Logging", "DebugSpool", "yes");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.empty_from) + " custom " + c.custom_reply);
    set("Actions", "EmptyFrom", c.empty_from);
    set("Actions", "UseCustomReply", c.custom_reply);
    capture_.clear();
    ASSERT_TRUE(start_filter()) << capture_.dump();
    smftest::ScriptResult r = miltertest("empty_from.lua", {{"REPLY", c.reply}});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_EQ(capture_.has("processing from <> is blocked"), !c.spooled);
    EXPECT_EQ(files("spool").size(), c.spooled ? 1u : 0u);
    EXPECT_EQ(stop_filter(SIGKILL), 128 + SIGKILL);
    for (const std::string& name : files("spool")) unlink(dir_.file("spool/" + name).c_str());
  }
}

}  // namespace

TEST_F(FilterTest, FullSpoolDirectoryTakesTheProcessingErrorsPathAndLeavesNothing) {
  struct Case {
    const char* action;
    const char* custom_reply;
    const char* reply;
  };
  const Case cases[] = {
      {"tempfail", "no", "t"},
      {"quarantine", "no", "d"},  // nothing can be stored: the message is dropped
      {"reject", "yes", "y"},
  };
  ASSERT_TRUE(start_daemon());
  const std::string spool = dir_.file("spool");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    set("Actions", "ProcessingErrors", c.action);
    set("Actions", "UseCustomReply", c.custom_reply);
    capture_.clear();
    // The spool directory is a 32 KB file system of the program's own.
    ASSERT_TRUE(start_filter([spool] {
      if (mount("tmpfs", spool.c_str(), "tmpfs", 0, "size=32k,mode=0700") != 0) _exit(125);
    })) << capture_.dump();
    smftest::ScriptResult r = miltertest("spool_full.lua", {{"REPLY", c.reply}});
    EXPECT_EQ(r.status, 0) << r.output;
    EXPECT_TRUE(capture_.has(
        "[QFULL]: cannot save message body to temporary file - (28) No space left on device"))
        << capture_.dump();
    // The program's view of its spool directory.
    std::string seen = "/proc/" + std::to_string(pid_) + "/root" + spool;
    std::vector<std::string> left;
    if (DIR* d = opendir(seen.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') left.push_back(e->d_name);
      closedir(d);
    } else {
      ADD_FAILURE() << "cannot list " << seen;
    }
    EXPECT_EQ(left, std::vector<std::string>{});
    EXPECT_EQ(stop_filter(SIGKILL), 128 + SIGKILL);
  }
}

TEST_F(FilterTest, SpoolFileThatCannotBeSyncedIsNotScanned) {
  set("Actions", "ProcessingErrors", "tempfail");
  ASSERT_TRUE(start_daemon());
  // The program's fsync fails as on a disk that lost the write.
  ASSERT_TRUE(start_filter([] {
    if (!zvtest::install_refusals({{SYS_fsync, EIO}})) _exit(125);
  })) << capture_.dump();
  smftest::ScriptResult r = miltertest("plain.lua", {{"REPLY", "t"}});
  EXPECT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(
      capture_.has("[QPLAIN]: cannot save message to temporary file - (5) Input/output error"))
      << capture_.dump();
  EXPECT_FALSE(capture_.contains("[QPLAIN]: start scanning message")) << capture_.dump();
  EXPECT_EQ(files("spool"), std::vector<std::string>{});
}

namespace {

// The peak resident memory of a process, in kB (VmHWM); -1 when unknown.
long peak_memory_kb(pid_t pid) {
  std::string status = zvtest::read_file("/proc/" + std::to_string(pid) + "/status");
  size_t at = status.find("VmHWM:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

TEST_F(FilterTest, HundredMegabyteMessageGoesToTheSpoolFileWithoutBeingHeldInMemory) {
  // No daemon: the message is spooled whole and then answered with ProcessingErrors.
  set("DaemonCommunication", "Address", "local:" + dir_.file("nobody.sock"));
  set("Actions", "ProcessingErrors", "tempfail");
  set("Scanning", "AddXHeaders", "yes");
  set("Logging", "Level", "Info");
  // AddressSanitizer keeps freed blocks in a quarantine of 256 MB by default, which would
  // count libmilter's freed chunk buffers as held; a small one keeps the measure honest.
  std::string asan = std::string(getenv("ASAN_OPTIONS") != nullptr ? getenv("ASAN_OPTIONS") : "") +
                     ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64";
  ASSERT_TRUE(start_filter([asan] { setenv("ASAN_OPTIONS", asan.c_str(), 1); })) << capture_.dump();
  smftest::ScriptResult r = miltertest("one.lua", {{"REPLY", "t"}, {"CODE", "F0000000"}});
  ASSERT_EQ(r.status, 0) << r.output;
  long before = peak_memory_kb(pid_);
  ASSERT_GT(before, 0);
  r = miltertest("big.lua", {{"REPLY", "t"}, {"SIZE", std::to_string(100L << 20)}});
  ASSERT_EQ(r.status, 0) << r.output;
  EXPECT_TRUE(capture_.contains("[QBIG]: processing message from sender@example.com is over"));
  long after = peak_memory_kb(pid_);
  // libmilter reads one chunk (64 KB) at a time; a few MB of slack for the allocator.
  EXPECT_LT(after - before, 8 * 1024)
      << "peak " << before << " kB before, " << after << " kB after the message";
  EXPECT_EQ(files("spool"), std::vector<std::string>{});
}

}  // namespace
