// The stand-in daemon driven by the command-line client zvscan, as an administrator or
// a script would use the two together.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/zv_test_support.h"
#include "tools/zvtool_peer.h"
#include "zvscand_engine.h"

namespace {

const std::string kZvscan = ZV_BINARY_DIR "/tools/zvscan/zvscan";

std::string message_with(const std::string& body) {
  return "Subject: t\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"zz\"\r\n"
         "\r\n--zz\r\nContent-Type: text/plain\r\n\r\nhello\r\n--zz\r\nContent-Type: "
         "application/octet-stream\r\nContent-Disposition: attachment; filename=\"a.bin\"\r\n\r\n" +
         body + "\r\n--zz--\r\n";
}

}  // namespace

TEST(ZvscanAgainstDaemon, VerdictsVersionAndTimeOut) {
  zvtest::TempDir dir;
  std::string sigs = dir.write("sigs", "M:Test-Mod:\"MOD-SIG\"\nstatus=0x1000:Skip:\"SKIP-SIG\"\n");
  zvtest::Peer daemon(zvtest::zvscand_program(),
                      {"--listen=local:" + dir.file("d.sock"), "--signatures=" + sigs}, dir,
                      "zvscand");
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  std::string pid = "--daemon=pid:" + daemon.pidfile();
  std::string clean = dir.write("clean", message_with("hello"));
  std::string eicar = dir.write("eicar", message_with(zvscand::eicar_string()));
  std::string mod = dir.write("mod", message_with("MOD-SIG"));
  std::string skip = dir.write("skip", message_with("SKIP-SIG"));
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string output;
  };
  const Row rows[] = {
      {{pid, "--daemon-version"}, 0, "4.33\n"},
      {{pid, clean}, 0, clean + ": 0x0 success\n"},
      {{pid, "--local", clean}, 0, clean + ": 0x0 success\n"},
      {{pid, "--report", eicar},
       1,
       eicar + ": 0x20 known virus is found\n  K: EICAR-Test-File\n"
               "eicar/a.bin infected with EICAR-Test-File\n"},
      {{pid, "--local", "--stats", mod, clean},
       1,
       mod + ": 0x80 virus modification is found\n  M: Test-Mod\nModifications : 1\n" + clean +
           ": 0x0 success\n"},
      {{pid, skip}, 1, skip + ": 0x1000 skipped object\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.args.back());
    std::string out;
    EXPECT_EQ(zvtest::run_program(kZvscan, r.args, dir, &out), r.status);
    EXPECT_EQ(out, r.output);
  }
  EXPECT_EQ(daemon.stop(), 0) << daemon.log();

  zvtest::Peer slow(zvtest::zvscand_program(),
                    {"--listen=local:" + dir.file("slow.sock"), "--delay-ms=4000"}, dir, "slow");
  ASSERT_TRUE(slow.ready()) << slow.log();
  std::string out;
  EXPECT_EQ(
      zvtest::run_program(kZvscan, {"--daemon=" + slow.address(), "--timeout=1", clean}, dir, &out),
      2);
  EXPECT_NE(out.find("error -13"), std::string::npos) << out;
}
