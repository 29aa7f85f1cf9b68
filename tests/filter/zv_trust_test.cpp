#include "zv_trust.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/zv_test_support.h"
#include "zv_owned.h"

namespace {

using zvtest::TempDir;

constexpr uid_t kOtherUid = 65534;

// A configuration file in a folder of its own, each with the row's mode and owner. The
// reader trusts the account running the test (root in CI), as a filter started by root
// trusts root.
TEST(ConfigFileTrust, ModesAndOwnersOfTheFileAndItsFolders) {
  const bool root = geteuid() == 0;
  struct Case {
    const char* name;
    mode_t file_mode;
    mode_t folder_mode;
    bool other_file_owner;
    bool other_folder_owner;
    int trusted;
    const char* reason;  // the end of the reason; the start names the file or folder
  };
  const Case cases[] = {
      {"owner only", 0600, 0755, false, false, 1, ""},
      {"readable by all", 0644, 0755, false, false, 1, ""},
      {"group writable", 0620, 0755, false, false, 0, "is writable by group or others"},
      {"writable by all", 0666, 0755, false, false, 0, "is writable by group or others"},
      {"folder writable by all", 0600, 0777, false, false, 0,
       "is writable by group or others without the sticky bit"},
      {"folder writable by group", 0600, 0775, false, false, 0,
       "is writable by group or others without the sticky bit"},
      {"sticky folder writable by all", 0600, 01777, false, false, 1, ""},
      {"file of another user", 0600, 0755, true, false, 0, "is owned by another user than root"},
      {"folder of another user", 0600, 0755, false, true, 0, "is owned by another user than root"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if ((c.other_file_owner || c.other_folder_owner) && !root) continue;  // chown needs root
    TempDir dir;
    const std::string folder = dir.file("etc");
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    const std::string path = folder + "/zarvik_smf.conf";
    zv::UniqueFd fd(open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.valid());
    ASSERT_EQ(fchmod(fd.get(), c.file_mode), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    if (c.other_file_owner) {
      ASSERT_EQ(fchown(fd.get(), kOtherUid, kOtherUid), 0);
    }
    if (c.other_folder_owner) {
      ASSERT_EQ(chown(folder.c_str(), kOtherUid, kOtherUid), 0);
    }

    std::string reason;
    EXPECT_EQ(config_file_trusted(fd.get(), path.c_str(), geteuid(), &reason), c.trusted);
    if (c.trusted) {
      EXPECT_EQ(reason, "");
      continue;
    }
    const bool about_folder = c.folder_mode != 0755 || c.other_folder_owner;
    const std::string named = about_folder ? "folder " + folder : "file " + path;
    char mode[8];
    snprintf(mode, sizeof(mode), "%04o", about_folder ? c.folder_mode : c.file_mode);
    EXPECT_EQ(reason.rfind(named + " (mode " + mode + ", owner ", 0), 0u) << reason;
    EXPECT_TRUE(reason.ends_with(c.reason)) << reason;
  }
}

// The folders are examined by name: a name that no longer leads to the file read, and a
// descriptor that is not a regular file, are refused.
TEST(ConfigFileTrust, TheNameMustLeadToTheFileRead) {
  TempDir dir;
  const std::string read = dir.write("read.conf", "x");
  const std::string other = dir.write("other.conf", "x");
  zv::UniqueFd fd(open(read.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(fd.valid());
  std::string reason;
  EXPECT_EQ(config_file_trusted(fd.get(), read.c_str(), geteuid(), &reason), 1) << reason;
  EXPECT_EQ(config_file_trusted(fd.get(), other.c_str(), geteuid(), &reason), 0);
  EXPECT_EQ(reason, "file " + other + " was replaced while being examined");

  // A link to the file is examined by the folders of the file itself.
  const std::string link = dir.file("link.conf");
  ASSERT_EQ(symlink(read.c_str(), link.c_str()), 0);
  EXPECT_EQ(config_file_trusted(fd.get(), link.c_str(), geteuid(), &reason), 1) << reason;

  zv::UniqueFd folder(open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(folder.valid());
  EXPECT_EQ(config_file_trusted(folder.get(), dir.path().c_str(), geteuid(), &reason), 0);
  EXPECT_TRUE(reason.ends_with("is not a regular file")) << reason;
}

}  // namespace
