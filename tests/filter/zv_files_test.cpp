// Spool and quarantine files: naming modes and masks, quarantine by rename and by block
// copy across file systems, failures with their first cause, path normalisation and the
// read/write helpers. Failures of the system (a refused mode change, a full disk) are made
// real in a forked child whose system calls are filtered with seccomp.
#include "zv_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <regex.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/zv_refusing.h"
#include "support/zv_test_support.h"
#include "zv_options.h"

namespace {

using zvtest::CaptureLog;
using zvtest::Refusal;
using zvtest::run_refusing;
using zvtest::TempDir;

struct Freer {
  void operator()(char* p) const { std::free(p); }
};
using Owned = std::unique_ptr<char, Freer>;

// Spec whose strings point into the test's own storage.
struct Spec {
  std::string directory;
  std::string prefix;
  SpoolFileSpec spec{};
  Spec(std::string dir, std::string pre, int mode, unsigned mask)
      : directory(std::move(dir)), prefix(std::move(pre)) {
    spec.directory = directory.data();
    spec.prefix = prefix.data();
    spec.naming_mode = mode;
    spec.mode = static_cast<std::uint16_t>(mask);
  }
};

// True when all of `text` matches the extended regular expression `pattern`.
bool full_match(const std::string& text, const std::string& pattern) {
  regex_t re;
  if (regcomp(&re, ("^(" + pattern + ")$").c_str(), REG_EXTENDED | REG_NOSUB) != 0) return false;
  bool match = regexec(&re, text.c_str(), 0, nullptr, 0) == 0;
  regfree(&re);
  return match;
}

unsigned file_mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 07777;
  return st.st_mode & 0777;
}
bool exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}
std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
  if (!d) return names;
  while (dirent* e = readdir(d.get())) {
    std::string n = e->d_name;
    if (n != "." && n != "..") names.push_back(n);
  }
  return names;
}
std::string pattern_text(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s.push_back(static_cast<char>('a' + i % 23));
  return s;
}

std::vector<Refusal> chmod_refusals(int error) {
  std::vector<Refusal> r{{SYS_fchmod, error}, {SYS_fchmodat, error}};
#ifdef SYS_chmod
  r.push_back({SYS_chmod, error});
#endif
  return r;
}

// --- open_tmpfile -----------------------------------------------------------------------

TEST(OpenTmpfile, NamesOfEachModeAndMasksAgainstTheUmask) {
  TempDir dir;
  struct Case {
    int mode;
    unsigned mask;
    unsigned umask_value;
    unsigned expected;
    std::string shape;  // regex of the name after "<dir>/"
  } cases[] = {
      {NAMING_STD, 0600, 077, 0600, "spool\\.[A-Za-z0-9]{6}"},
      {NAMING_STD, 0644, 077, 0644, "spool\\.[A-Za-z0-9]{6}"},  // fchmod: umask ignored
      {NAMING_TAI, 0640, 077, 0640, "[0-9]{10}\\.[0-9]{10}\\.spool\\.[A-Za-z0-9]{6}"},
      {NAMING_RAND48, 0640, 022, 0640, "spool\\.[0-9A-F]{8}"},
      {NAMING_RAND48, 0666, 022, 0644, "spool\\.[0-9A-F]{8}"},  // creation mode: umask applies
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + " mask " + std::to_string(c.mask));
    CaptureLog log(ZV_LOG_VERBOSE);
    Spec s(dir.path(), "spool.", c.mode, c.mask);
    mode_t old = umask(c.umask_value);
    char* raw = reinterpret_cast<char*>(1);
    int fd = open_tmpfile(&s.spec, &raw);
    umask(old);
    Owned name(raw);
    ASSERT_GE(fd, 0);
    ASSERT_NE(name, nullptr);
    std::string n = name.get();
    ASSERT_EQ(n.rfind(dir.path() + "/", 0), 0u) << n;
    EXPECT_TRUE(full_match(n.substr(dir.path().size() + 1), c.shape)) << n;
    EXPECT_EQ(file_mode(n), c.expected);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    EXPECT_EQ(write(fd, "x", 1), 1);  // open for writing
    char octal[16];
    snprintf(octal, sizeof octal, "%#o", c.mask);
    EXPECT_TRUE(log.has("files: open tmpfile (" + std::to_string(fd) + ") " + n + " " + octal));
    close(fd);
  }
}

TEST(OpenTmpfile, BadArgumentsAndWrongModeCreateNothing) {
  TempDir dir;
  Spec good(dir.path(), "p.", NAMING_STD, 0600);
  SpoolFileSpec no_dir = good.spec;
  no_dir.directory = nullptr;
  SpoolFileSpec no_prefix = good.spec;
  no_prefix.prefix = nullptr;
  char* name = nullptr;
  struct Case {
    const char* label;
    const SpoolFileSpec* spec;
    char** out;
    std::string line;
  } cases[] = {
      {"no out", &good.spec, nullptr, "1.0.0.0"},
      {"no spec", nullptr, &name, "0.1.1.1"},
      {"no directory", &no_dir, &name, "0.0.1.0"},
      {"no prefix", &no_prefix, &name, "0.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    CaptureLog log(ZV_LOG_VERBOSE);
    EXPECT_EQ(open_tmpfile(c.spec, c.out), -1);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_THAT(log.texts()[0],
                ::testing::MatchesRegex("files: open tmpfile bad parameters \\(" + c.line +
                                        "\\) were passed \\(zv_files:[0-9]+\\)"));
  }
  for (int mode : {0, 4, -1}) {
    SCOPED_TRACE("mode " + std::to_string(mode));
    CaptureLog log(ZV_LOG_VERBOSE);
    SpoolFileSpec bad = good.spec;
    bad.naming_mode = mode;
    name = reinterpret_cast<char*>(1);
    EXPECT_EQ(open_tmpfile(&bad, &name), -1);
    EXPECT_EQ(name, nullptr);
    EXPECT_EQ(log.texts(),
              std::vector<std::string>{"files: cannot open tmpfile - wrong filenaming mode"});
  }
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(OpenTmpfile, Rand48GivesUpAfterTenTakenNamesAndLeavesThemAlone) {
  TempDir dir;
  Spec s(dir.path(), "q.", NAMING_RAND48, 0600);
  const long seed = 123456;
  auto nth = [&](int i) {
    char hex[16];
    snprintf(hex, sizeof hex, "%08lX", zv_files_detail::rand48_value(seed, i));
    return dir.path() + "/q." + hex;
  };
  for (int i = 0; i < 9; ++i) dir.write(nth(i).substr(dir.path().size() + 1), "taken");
  {
    // Nine taken names: the tenth attempt succeeds.
    CaptureLog log(ZV_LOG_VERBOSE);
    char* raw = nullptr;
    int fd = zv_files_detail::open_tmpfile_rand48(&s.spec, &raw, seed);
    Owned name(raw);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(name.get(), nth(9));
    EXPECT_EQ(zvtest::read_file(nth(9)), "");
  }
  ASSERT_EQ(unlink(nth(9).c_str()), 0);
  dir.write(nth(9).substr(dir.path().size() + 1), "taken");
  CaptureLog log(ZV_LOG_VERBOSE);
  char* raw = reinterpret_cast<char*>(1);
  EXPECT_EQ(zv_files_detail::open_tmpfile_rand48(&s.spec, &raw, seed), -1);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"files: cannot open tmpfile " + nth(9) +
                                                  " - (17) File exists"});
  for (int i = 0; i < 10; ++i) EXPECT_EQ(zvtest::read_file(nth(i)), "taken") << i;
  EXPECT_EQ(entries(dir.path()).size(), 10u);
}

TEST(OpenTmpfile, MissingDirectoryFailsAtOnce) {
  TempDir dir;
  for (int mode : {NAMING_STD, NAMING_RAND48}) {
    SCOPED_TRACE(mode);
    Spec s(dir.file("absent"), "p.", mode, 0600);
    CaptureLog log(ZV_LOG_VERBOSE);
    char* raw = nullptr;
    EXPECT_EQ(open_tmpfile(&s.spec, &raw), -1);
    EXPECT_EQ(raw, nullptr);
    ASSERT_EQ(log.texts().size(), 1u);
    EXPECT_THAT(log.texts()[0],
                ::testing::StartsWith("files: cannot open tmpfile " + dir.file("absent") + "/p."));
    EXPECT_THAT(log.texts()[0], ::testing::EndsWith(" - (2) No such file or directory"));
  }
}

// Out of descriptors, the administrator is told which directory and what to raise.
TEST(OpenTmpfile, NoDescriptorLeftNamesTheDirectoryAndTheLimitToRaise) {
  TempDir dir;
  struct Row {
    int mode;
    int error;
    std::string line;
  };
  const Row rows[] = {
      {NAMING_STD, EMFILE,
       "files: cannot create a file in " + dir.path() +
           " - Too many open files: raise the filter's limit of open files (LimitNOFILE= of "
           "its unit, ulimit -n)"},
      {NAMING_RAND48, ENFILE,
       "files: cannot create a file in " + dir.path() +
           " - Too many open files in system: raise the system's limit of open files "
           "(fs.file-max)"},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.line);
    const std::string path = dir.path();
    std::vector<Refusal> refusals{{SYS_openat, r.error}};
#ifdef SYS_open
    refusals.push_back({SYS_open, r.error});
#endif
    EXPECT_CHILD_OK(run_refusing(refusals, [&] {
      std::string failures;
      Spec s(path, "p.", r.mode, 0600);
      CaptureLog log(ZV_LOG_VERBOSE);
      char* raw = nullptr;
      CHILD_CHECK(open_tmpfile(&s.spec, &raw) == -1);
      CHILD_CHECK(log.has(r.line));
      return failures;
    }));
  }
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(OpenTmpfile, RefusedMaskRemovesOnlyTheNewFileAndDefaultMaskNeedsNoModeChange) {
  TempDir dir;
  dir.write("p.existing", "keep");
  EXPECT_CHILD_OK(run_refusing(chmod_refusals(EPERM), [&] {
    std::string failures;
    CaptureLog log(ZV_LOG_VERBOSE);
    Spec def(dir.path(), "p.", NAMING_STD, 0600);
    char* raw = nullptr;
    int fd = open_tmpfile(&def.spec, &raw);  // 0600 is what mkostemp creates: no fchmod
    CHILD_CHECK(fd >= 0 && raw != nullptr);
    if (fd >= 0) close(fd);
    if (raw) unlink(raw);
    std::free(raw);
    for (int mode : {NAMING_STD, NAMING_TAI}) {
      log.clear();
      Spec s(dir.path(), "p.", mode, 0640);
      raw = reinterpret_cast<char*>(1);
      CHILD_CHECK(open_tmpfile(&s.spec, &raw) == -1);
      CHILD_CHECK(raw == nullptr);
      auto t = log.texts();
      CHILD_CHECK(t.size() == 1 &&
                  full_match(t[0], "files: cannot set permissions of tmpfile " + dir.path() +
                                       "/.*p\\.[A-Za-z0-9]{6} - \\(1\\) "
                                       "Operation not permitted"));
    }
    return failures;
  }));
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"p.existing"});
  EXPECT_EQ(zvtest::read_file(dir.file("p.existing")), "keep");
}

// --- move_file, copy_file, quarantine_file ------------------------------------------------

TEST(Quarantine, MoveByRenameGivesMaskAndRemovesSpoolFile) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("q").c_str(), 0700), 0);
  std::string body = pattern_text(9000);
  std::string src = dir.write("spool.1", body);
  Spec q(dir.file("q"), "zq.", NAMING_STD, 0640);
  CaptureLog log(ZV_LOG_VERBOSE);
  Owned name(quarantine_file(&q.spec, src.c_str(), 1));
  ASSERT_NE(name, nullptr);
  EXPECT_FALSE(exists(src));
  EXPECT_EQ(zvtest::read_file(name.get()), body);
  EXPECT_EQ(file_mode(name.get()), 0640u);
  EXPECT_EQ(entries(dir.file("q")).size(), 1u);
  EXPECT_FALSE(log.contains("by-block copy"));
}

TEST(Quarantine, CopyVariantKeepsSource) {
  TempDir dir;
  std::string src = dir.write("spool.1", "message\r\n");
  chmod(src.c_str(), 0600);
  Spec q(dir.path(), "zq.", NAMING_RAND48, 0604);
  CaptureLog log(ZV_LOG_VERBOSE);
  Owned name(quarantine_file(&q.spec, src.c_str(), 0));
  ASSERT_NE(name, nullptr);
  EXPECT_EQ(zvtest::read_file(src), "message\r\n");
  EXPECT_EQ(zvtest::read_file(name.get()), "message\r\n");
  EXPECT_EQ(file_mode(name.get()), 0604u);
}

TEST(Quarantine, MissingQuarantineDirectoryLeavesSpoolFileAlone) {
  TempDir dir;
  std::string src = dir.write("spool.1", "message");
  Spec q(dir.file("absent"), "zq.", NAMING_STD, 0600);
  CaptureLog log(ZV_LOG_VERBOSE);
  EXPECT_EQ(quarantine_file(&q.spec, src.c_str(), 1), nullptr);
  ASSERT_FALSE(log.texts().empty());
  EXPECT_EQ(log.texts().back(), "quarantine: cannot create file " + dir.file("absent"));
  EXPECT_EQ(zvtest::read_file(src), "message");
}

// A quarantine directory on another file system than the spool: every rename fails with
// EXDEV, as the kernel answers across file systems, so the block copy runs on any host.
class OtherFileSystem : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(mkdir(quarantine_.c_str(), 0700), 0); }
  static std::vector<Refusal> cross_device(std::vector<Refusal> more = {}) {
    more.push_back({SYS_rename, EXDEV});
    more.push_back({SYS_renameat, EXDEV});
    return more;
  }
  TempDir spool_;
  std::string quarantine_ = spool_.file("q");
};

TEST_F(OtherFileSystem, MoveFallsBackToBlockCopy) {
  std::string body = pattern_text(3 * 4096 + 17);
  std::string src = spool_.write("spool.1", body);
  const std::string qdir = quarantine_;
  EXPECT_CHILD_OK(run_refusing(cross_device(), [&] {
    std::string failures;
    Spec q(qdir, "zq.", NAMING_TAI, 0640);
    CaptureLog log(ZV_LOG_VERBOSE);
    Owned name(quarantine_file(&q.spec, src.c_str(), 1));
    CHILD_CHECK(name != nullptr);
    if (name)
      CHILD_CHECK(log.has("move_file: try to use by-block copy, because std rename " + src +
                          " to " + name.get() + " failed - Invalid cross-device link"));
    return failures;
  }));
  EXPECT_FALSE(exists(src));
  std::vector<std::string> names = entries(qdir);
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(zvtest::read_file(qdir + "/" + names[0]), body);
  EXPECT_EQ(file_mode(qdir + "/" + names[0]), 0640u);
}

// Another account that may write the quarantine directory replaces the new quarantine
// file by a link to a file of its choice before the message goes in: that file must stay
// as it was, and the message must stay in the spool.
TEST_F(OtherFileSystem, PlaceholderReplacedByALinkLeavesItsTargetAlone) {
  std::string src = spool_.write("spool.1", "the message");
  std::string target = spool_.write("victim", "someone else's file");
  ASSERT_EQ(chmod(target.c_str(), 0600), 0);
  const std::string qdir = quarantine_;
  EXPECT_CHILD_OK(run_refusing(cross_device(), [&] {
    std::string failures;
    Spec q(qdir, "zq.", NAMING_STD, 0644);
    CaptureLog log(ZV_LOG_VERBOSE);
    Owned name(zv_files_detail::quarantine_file_with(&q.spec, src.c_str(), 1, [&](const char* n) {
      CHILD_CHECK(unlink(n) == 0 && symlink(target.c_str(), n) == 0);
    }));
    CHILD_CHECK(name == nullptr);
    CHILD_CHECK(log.contains("was replaced while it was written"));
    return failures;
  }));
  EXPECT_EQ(zvtest::read_file(target), "someone else's file");
  EXPECT_EQ(file_mode(target), 0600u);
  EXPECT_EQ(zvtest::read_file(src), "the message");
}

TEST_F(OtherFileSystem, FailedCopyReportsFirstCauseAndKeepsSpoolFile) {
  std::string src = spool_.write("spool.1", pattern_text(5000));
  std::string dst = quarantine_ + "/zq.1";
  ASSERT_EQ(close(open(dst.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600)), 0);
  // Every block write fails with a full disk and every close with an I/O error: the caller must
  // see the full disk, the cause, not the error of a later clean-up step.
  EXPECT_CHILD_OK(run_refusing(cross_device({{SYS_write, ENOSPC, 4096}, {SYS_close, EIO}}), [&] {
    std::string failures;
    CaptureLog log(ZV_LOG_VERBOSE);
    errno = 0;
    CHILD_CHECK(move_file(src.c_str(), dst.c_str(), 0600) == -1);
    CHILD_CHECK(errno == ENOSPC);
    CHILD_CHECK(
        log.texts() ==
        (std::vector<std::string>{
            "move_file: try to use by-block copy, because std rename " + src + " to " + dst +
                " failed - Invalid cross-device link",
            "copy_file: quarantine file writing error (4096:0) - No space left on device.\n",
            "copy_file: cannot close temporary file " + src + " - Input/output error",
            "copy_file: cannot close quarantine file " + dst + " - Input/output error",
            "move_file: cannot copy spool file to quarantine file - (28) No space left on "
            "device"}));
    return failures;
  }));
  EXPECT_EQ(zvtest::read_file(src), pattern_text(5000));
  EXPECT_TRUE(entries(quarantine_).empty());  // the half-written copy is removed
}

TEST(Quarantine, RefusedModeChangeAfterRenameKeepsTheMessage) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("q").c_str(), 0700), 0);
  std::string src = dir.write("spool.1", "the only copy");
  const std::string qdir = dir.file("q");
  EXPECT_CHILD_OK(run_refusing(chmod_refusals(EPERM), [&] {
    std::string failures;
    CaptureLog log(ZV_LOG_VERBOSE);
    Spec q(qdir, "zq.", NAMING_RAND48, 0640);
    char* name = quarantine_file(&q.spec, src.c_str(), 1);
    CHILD_CHECK(name == nullptr);
    auto t = log.texts();
    CHILD_CHECK(!t.empty() && t[0].rfind("files: open tmpfile (", 0) == 0);
    if (!t.empty()) t.erase(t.begin());
    CHILD_CHECK(t == (std::vector<std::string>{
                         "move_file: cannot change mode for quarantine file - (1) Operation not "
                         "permitted",
                         "quarantine: cannot move file - Operation not permitted"}));
    return failures;
  }));
  EXPECT_EQ(zvtest::read_file(src), "the only copy");  // back in the spool
  EXPECT_TRUE(entries(qdir).empty());
}

TEST(Quarantine, MessageStaysInQuarantineWhenItCannotGoBack) {
  TempDir dir;
  std::string src = dir.write("spool.1", "the only copy");
  std::string dst = dir.write("zq.1", "");
  std::vector<Refusal> refusals = chmod_refusals(EPERM);
  refusals.push_back({SYS_renameat2, EACCES});
  EXPECT_CHILD_OK(run_refusing(refusals, [&] {
    std::string failures;
    CaptureLog log(ZV_LOG_VERBOSE);
    errno = 0;
    CHILD_CHECK(move_file(src.c_str(), dst.c_str(), 0640) == -1);
    CHILD_CHECK(errno == EPERM);
    CHILD_CHECK(
        log.texts() ==
        (std::vector<std::string>{
            "move_file: cannot change mode for quarantine file - (1) Operation not permitted",
            "move_file: cannot move " + dst + " back to " + src +
                ", the message stays there - (13) Permission denied"}));
    return failures;
  }));
  EXPECT_FALSE(exists(src));
  EXPECT_EQ(zvtest::read_file(dst), "the only copy");
}

TEST(CopyFile, MissingSourceGivesItsErrorAndTouchesNothing) {
  TempDir dir;
  std::string dst = dir.write("zq.1", "");
  CaptureLog log(ZV_LOG_VERBOSE);
  errno = 0;
  EXPECT_EQ(copy_file(dir.file("absent").c_str(), dst.c_str(), 0600), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(log.texts(),
            std::vector<std::string>{"copy_file: error stat() temporary file " +
                                     dir.file("absent") + " - No such file or directory"});
  EXPECT_TRUE(exists(dst));
}

TEST(CopyFile, SourceShorterThanItsSizeStopsAtItsEnd) {
  // A sysfs file claims a page of size but reads much less, as a spool file that shrinks
  // while it is copied does: the copy ends at the end of file and succeeds.
  std::string source, content;
  for (const char* candidate :
       {"/sys/devices/system/cpu/online", "/sys/kernel/mm/transparent_hugepage/enabled",
        "/sys/power/state"}) {
    struct stat st {};
    std::string text = zvtest::read_file(candidate);
    if (stat(candidate, &st) == 0 && !text.empty() &&
        st.st_size > static_cast<off_t>(text.size())) {
      source = candidate;
      content = text;
      break;
    }
  }
  ASSERT_FALSE(source.empty()) << "no sysfs file here claims more than it holds";
  TempDir dir;
  std::string dst = dir.write("zq.1", "");
  CaptureLog log(ZV_LOG_VERBOSE);
  errno = EBADF;
  EXPECT_EQ(copy_file(source.c_str(), dst.c_str(), 0640), 0);
  EXPECT_EQ(errno, 0);
  EXPECT_EQ(zvtest::read_file(dst), content);
  EXPECT_EQ(file_mode(dst), 0640u);
  EXPECT_TRUE(log.texts().empty());
}

// --- normalize_path -------------------------------------------------------------------------

TEST(NormalizePath, StripAndPrefix) {
  struct Case {
    const char* path;
    const char* prefix;
    int strip;
    const char* expected;  // null: fails
    const char* line;      // the last log line
  } cases[] = {
      {"/var/spool/x", "/chroot", 1, "/chroot/var/spool/x",
       "files: filename /var/spool/x converted to /chroot/var/spool/x"},
      {"/var/spool/x", "/chroot", 3, "/chroot/x", nullptr},
      {"/var/spool/x", "/chroot", 0, "/chroot/var/spool/x", nullptr},
      {"/var/spool/x", nullptr, 2, "spool/x", nullptr},
      {"/var/spool/x", "", 0, "/var/spool/x", nullptr},
      {"/var//spool/x", "", 2, "spool/x", nullptr},
      {"var/spool/x", "/c", 1, "/c/spool/x", nullptr},
      {"/var/spool/x", "/chroot", 4, nullptr,
       "files: strip 4 prefixes in /var/spool/x is impossible"},
      {"/var/", nullptr, 2, nullptr, "files: strip 2 prefixes in /var/ is impossible"},
      {"x", "/c", 1, nullptr, "files: strip 1 prefixes in x is impossible"},
      {"", "/c", 0, nullptr, "files: no path for normalizing"},
      {nullptr, nullptr, 0, nullptr, "files: no path for normalizing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " strip " + std::to_string(c.strip));
    CaptureLog log(ZV_LOG_VERBOSE);
    Owned out(normalize_path(c.path, 0, c.prefix, c.strip));
    if (c.expected) {
      ASSERT_NE(out, nullptr);
      EXPECT_STREQ(out.get(), c.expected);
      EXPECT_NE(out.get(), c.path);
    } else {
      EXPECT_EQ(out, nullptr);
    }
    if (c.line) {
      ASSERT_FALSE(log.texts().empty());
      EXPECT_EQ(log.texts().back(), c.line);
    }
  }
}

TEST(NormalizePath, ExpansionResolvesLinksBeforeStripping) {
  TempDir dir;
  ASSERT_EQ(mkdir(dir.file("real").c_str(), 0700), 0);
  dir.write("real/msg", "x");
  ASSERT_EQ(symlink(dir.file("real").c_str(), dir.file("link").c_str()), 0);
  Owned base(realpath(dir.path().c_str(), nullptr));
  ASSERT_NE(base, nullptr);
  std::string input = dir.file("link/./msg");
  std::string resolved = std::string(base.get()) + "/real/msg";
  CaptureLog log(ZV_LOG_VERBOSE);
  Owned out(normalize_path(input.c_str(), 1, nullptr, 0));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out.get(), resolved);
  EXPECT_TRUE(log.has("files: filename " + input + " expanded to " + resolved));

  out.reset(normalize_path(input.c_str(), 1, "/jail", 1));
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out.get(), "/jail" + resolved);

  log.clear();
  std::string missing = dir.file("link/absent");
  EXPECT_EQ(normalize_path(missing.c_str(), 1, nullptr, 0), nullptr);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"files: cannot expand filename " + missing +
                                                  " - No such file or directory"});
}

// --- write and read helpers -------------------------------------------------------------

TEST(WriteHelpers, LengthZeroAndNullTextWriteNothing) {
  CaptureLog log(ZV_LOG_VERBOSE);
  EXPECT_EQ(write_buffer(-1, "abc", 0), 1);
  EXPECT_EQ(write_string(-1, nullptr), 1);
  EXPECT_TRUE(log.texts().empty());
  EXPECT_EQ(write_string(-1, "abc"), 0);
  ASSERT_EQ(log.texts().size(), 1u);
  EXPECT_THAT(log.texts()[0],
              ::testing::MatchesRegex("files: write buf 0x[0-9a-f]+\\[3\\] to fd \\(-1\\) error - "
                                      "\\(9\\) Bad file descriptor"));
}

TEST(ReadHelpers, CopyPartsWithLimitsAndOffsets) {
  TempDir dir;
  std::string body = pattern_text(10000);
  std::string path = dir.write("msg", body);
  struct Case {
    off_t offset;
    size_t limit;
    std::string expected;
  } cases[] = {
      {0, 10, body.substr(0, 10)},
      {0, 0, body},
      {100, 0, body.substr(100)},
      {100, 5000, body.substr(100, 5000)},  // cut inside the second block
      {0, 4096, body.substr(0, 4096)},
      {9990, 100, body.substr(9990)},  // the end of the file comes first
      {20000, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("offset " + std::to_string(c.offset) + " limit " + std::to_string(c.limit));
    std::string out_path = dir.file("out");
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    EXPECT_EQ(send_message_part(path.c_str(), c.offset, c.limit, out), 1);
    close(out);
    EXPECT_EQ(zvtest::read_file(out_path), c.expected);
  }
  CaptureLog log(ZV_LOG_VERBOSE);
  EXPECT_EQ(copy_fd_part(-1, 1, 0), 0);
  EXPECT_EQ(copy_fd_part(0, -1, 0), 0);
  EXPECT_EQ(send_message_part(dir.file("absent").c_str(), 0, 0, 1), 0);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"files: cannot open file " + dir.file("absent") +
                                                  " with message - No such file or directory"});
  log.clear();
  EXPECT_EQ(send_message_part(path.c_str(), 0, 0, -1), 0);  // a bad destination
  EXPECT_EQ(log.texts(), std::vector<std::string>{"files: cannot write file " + path + " to -1"});
}

TEST(ReadHelpers, ReadMessagePartNeedsEveryByte) {
  TempDir dir;
  std::string path = dir.write("msg", "Subject: hi\r\n\r\nbody");
  char buf[32] = {};
  CaptureLog log(ZV_LOG_VERBOSE);
  EXPECT_EQ(read_message_part(path.c_str(), 9, buf, 4), 1);
  EXPECT_EQ(std::string(buf, 4), "hi\r\n");
  EXPECT_EQ(read_message_part(path.c_str(), 15, buf, 5), 0);
  EXPECT_EQ(log.texts(),
            std::vector<std::string>{"files: cannot read from file " + path + " with message"});
}

}  // namespace
