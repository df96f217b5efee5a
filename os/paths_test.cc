#include "os/paths.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "os/executable_path.h"
#include "os/file_descriptor.h"
#include "tests/test_util.h"

namespace {

bool isDir(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

}  // namespace

TEST(MakeDirs, CreatesEveryLevelAndSkipsDoubledSeparators) {
  ScopedTempDir tmp;
  EXPECT_EQ(0, makeDirs(tmp.path() + "/a//b/", 0700));
  EXPECT_TRUE(isDir(tmp / "a"));
  EXPECT_TRUE(isDir(tmp / "a/b"));

  struct stat info;
  ASSERT_EQ(0, stat((tmp / "a/b").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 0777);

  EXPECT_EQ(0, makeDirs(tmp / "a/b", 0700)) << "existing directories are fine";
}

TEST(MakeDirs, StopsAtARegularFileWithENOTDIR) {
  ScopedTempDir tmp;
  writeFile(tmp / "file", "x");
  errno = 0;
  EXPECT_EQ(-1, makeDirs(tmp / "file/below/deeper", 0700));
  EXPECT_EQ(ENOTDIR, errno);
  EXPECT_EQ(std::vector<std::string>{"file"}, listDir(tmp.path()));
}

TEST(MakeDirs, FollowsSymbolicLinksToDirectories) {
  ScopedTempDir tmp;
  ASSERT_EQ(0, mkdir((tmp / "real").c_str(), 0755));
  ASSERT_EQ(0, symlink("real", (tmp / "link").c_str()));
  EXPECT_EQ(0, makeDirs(tmp / "link/inner", 0700));
  EXPECT_TRUE(isDir(tmp / "real/inner"));
}

TEST(ExecutableDir, IsTheDirectoryOfTheRunningProgram) {
  std::string self = executablePath();
  ASSERT_FALSE(self.empty());
  char resolved[PATH_MAX];
  ASSERT_NE(nullptr, realpath("/proc/self/exe", resolved));
  EXPECT_EQ(std::string(resolved), self);
  EXPECT_EQ(self.substr(0, self.rfind('/')), executableDir());
}

TEST(RemoveTreeIfExists, RemovesPathsThatNeedQuoting) {
  ScopedTempDir tmp;
  for (const char* name : {"plain", "with blank", "it's", "a$b", "(x)", "-rf"}) {
    std::string dir = tmp / name;
    ASSERT_EQ(0, makeDirs(dir + "/inner", 0700)) << name;
    writeFile(dir + "/inner/file", "x");
    removeTreeIfExists(dir);
    EXPECT_FALSE(fileExists(dir)) << name;
  }
  EXPECT_TRUE(listDir(tmp.path()).empty());
  removeTreeIfExists(tmp / "missing");  // nothing to do, nothing to fail
}

// What unzip has written so far: files at every depth, but nothing a link
// leads to, however big.
TEST(BytesInTree, CountsTheFilesBelowAndFollowsNoLink) {
  ScopedTempDir tmp;
  EXPECT_EQ(0u, bytesInTree(tmp / "missing"));
  writeFile(tmp / "bundle.zip", std::string(1000, 'b'));
  ASSERT_EQ(0, makeDirs(tmp / "app/lib", 0700));
  writeFile(tmp / "app/lib/libx.so", std::string(24, 'x'));
  ASSERT_EQ(0, symlink("/proc/self/exe", (tmp / "app/link").c_str()));
  ASSERT_EQ(0, symlink("lib", (tmp / "app/dir-link").c_str()));
  EXPECT_EQ(1024u, bytesInTree(tmp.path()));
  EXPECT_EQ(24u, bytesInTree(tmp / "app"));
}

// A cache file, a package or a command's last words written only in part
// must not count as written: the device says the disk is full.
TEST(WriteFully, FailedWriteIsReportedWithItsReason) {
  UniqueFd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(full.valid());
  errno = 0;
  EXPECT_FALSE(writeFully(full.get(), "tag", 3));
  EXPECT_EQ(ENOSPC, errno);
  UniqueFd null(open("/dev/null", O_WRONLY | O_CLOEXEC));
  ASSERT_TRUE(null.valid());
  EXPECT_TRUE(writeFully(null.get(), "tag", 3));
}
