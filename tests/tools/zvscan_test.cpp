// zvscan driven as a program against an in-process daemon.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "client/zvc_fake_peer.h"
#include "support/zv_test_support.h"

namespace {

using zvtest::be32;
using zvtest::blist;
using zvtest::bstr;
using zvtest::FakePeer;
using zvtest::TempDir;

const char* const kZvscan = ZV_BINARY_DIR "/tools/zvscan/zvscan";

struct Outcome {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs zvscan with `args` in directory `cwd` and collects both output streams.
Outcome run_zvscan(const std::vector<std::string>& args, const std::string& cwd = "/") {
  Outcome o;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return o;
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(kZvscan));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (chdir(cwd.c_str()) != 0) _exit(127);
    execv(kZvscan, argv.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  pollfd p[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open_streams = 2;
  while (open_streams > 0 && poll(p, 2, 60000) > 0) {
    for (int i = 0; i < 2; ++i) {
      if (p[i].fd < 0 || p[i].revents == 0) continue;
      char buf[4096];
      ssize_t n = read(p[i].fd, buf, sizeof(buf));
      if (n <= 0) {
        close(p[i].fd);
        p[i].fd = -1;
        --open_streams;
      } else {
        (i == 0 ? o.out : o.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  for (auto& x : p)
    if (x.fd >= 0) close(x.fd);
  int ws = 0;
  waitpid(pid, &ws, 0);
  o.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
  return o;
}

// A small daemon: flags content holding "VIRUS" (known virus and modification) and
// answers every item the request asks for. Keeps the requests it saw.
struct Daemon {
  std::mutex mu;
  std::vector<zvtest::ScanRequest> seen;  // guarded by mu

  FakePeer::Handler handler() {
    return [this](int fd) {
      uint32_t command = 0;
      if (!zvtest::read_u32(fd, &command)) return;
      if (command == 2) {
        zvtest::write_all(fd, be32(433));
        return;
      }
      zvtest::ScanRequest r;
      if (command != 1 || !zvtest::read_scan_request(fd, &r)) return;
      // Kept before the answer goes out: zvscan may exit, and the test read `seen`, as
      // soon as it has the answer.
      {
        std::lock_guard<std::mutex> lock(mu);
        seen.push_back(r);
      }
      bool infected = r.content.find("VIRUS") != std::string::npos;
      std::string a = be32(infected ? 0xA0 : 0);
      if (r.flags & 0x400000)
        a += blist(infected ? std::vector<std::string>{"Eicar.Test,K", "W32.Var,M"}
                            : std::vector<std::string>{});
      if (r.flags & 0x800000) a += bstr("");
      if (r.flags & 0x2) a += blist({r.path + " checked\n"});
      if (r.flags & 0x4) a += be32(1) + be32(0x20) + be32(infected ? 1 : 0);
      zvtest::write_all(fd, a);
    };
  }
};

TEST(Zvscan, PrintsTheVerdictAndExitsByIt) {
  TempDir dir;
  Daemon d;
  auto peer = FakePeer::on_unix(dir.file("d.sock"), d.handler());
  ASSERT_TRUE(peer);
  std::string clean = dir.write("clean.eml", "Subject: hi\n\nhello\n");
  std::string bad = dir.write("bad.eml", "Subject: hi\n\nVIRUS\n");
  std::string daemon = "--daemon=" + peer->address();

  Outcome o = run_zvscan({daemon, clean});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, clean + ": 0x0 success\n");

  o = run_zvscan({daemon, "--report", "--stats", clean, bad});
  EXPECT_EQ(o.status, 1) << o.err;
  EXPECT_EQ(o.out, clean + ": 0x0 success\n" + "clean.eml checked\n" + bad +
                       ": 0xa0 known virus is found, virus modification is found\n"
                       "  K: Eicar.Test\n  M: W32.Var\n"
                       "bad.eml checked\nKnown viruses : 1\n");
  EXPECT_EQ(o.err, "");
  std::lock_guard<std::mutex> lock(d.mu);
  ASSERT_EQ(d.seen.size(), 3u);
  EXPECT_EQ(d.seen[2].flags, 0x80000000u | 0x80000 | 0x400000 | 0x1000000 | 0x2 | 0x4);
  EXPECT_EQ(d.seen[2].content, "Subject: hi\n\nVIRUS\n");
}

TEST(Zvscan, LocalScanSendsTheAbsolutePathAndFailsOver) {
  TempDir dir;
  Daemon d;
  auto peer = FakePeer::on_tcp(d.handler());
  ASSERT_TRUE(peer);
  dir.write("m.eml", "body");
  std::string primary = "--daemon=" + peer->address();
  Outcome o = run_zvscan({primary, "--local", "m.eml"}, dir.path());
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "m.eml: 0x0 success\n");
  // Behind an unreachable primary the backup gets the content instead.
  o = run_zvscan({"--daemon=local:" + dir.file("down.sock"), primary, "--local", "m.eml"},
                 dir.path());
  EXPECT_EQ(o.status, 0) << o.err;
  std::lock_guard<std::mutex> lock(d.mu);
  ASSERT_EQ(d.seen.size(), 2u);
  char real[PATH_MAX];
  ASSERT_NE(realpath(dir.file("m.eml").c_str(), real), nullptr);
  EXPECT_EQ(d.seen[0].path, real);
  EXPECT_EQ(d.seen[0].size, 0u);
  EXPECT_EQ(d.seen[1].path, real);
  EXPECT_EQ(d.seen[1].content, "body");
}

TEST(Zvscan, DaemonVersion) {
  TempDir dir;
  Daemon d;
  auto peer = FakePeer::on_unix(dir.file("d.sock"), d.handler());
  ASSERT_TRUE(peer);
  Outcome o = run_zvscan({"--daemon=" + peer->address(), "--daemon-version"});
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "4.33\n");
}

TEST(Zvscan, ErrorsExitWithTwo) {
  TempDir dir;
  Daemon d;
  auto peer = FakePeer::on_unix(dir.file("d.sock"), d.handler());
  ASSERT_TRUE(peer);
  std::string file = dir.write("f", "x");
  struct Row {
    std::vector<std::string> args;
    std::string err;
  };
  const Row rows[] = {
      {{"--daemon=local:" + dir.file("none"), file},
       "zvscan: " + file + ": error -12 (no daemon accepted a connection)\n"},
      {{"--daemon=" + peer->address(), dir.file("missing")},
       "zvscan: " + dir.file("missing") +
           ": error -3 (the file cannot be opened, sized or read)\n"},
      {{"--daemon=local:relative", file}, "zvscan: cannot start the client library"},
      {{file}, "zvscan: no daemon address given"},
      {{"--daemon=default", "--timeout=x", file}, "zvscan: invalid time-out 'x'"},
      {{"--daemon=default", "--bogus", file}, "zvscan: unknown option '--bogus'"},
      {{"--daemon=default"}, "zvscan: no file to scan"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.err);
    Outcome o = run_zvscan(r.args);
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.err.find(r.err), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  Outcome help = run_zvscan({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: zvscan --daemon=ADDRESS", 0), 0u);
}

}  // namespace
