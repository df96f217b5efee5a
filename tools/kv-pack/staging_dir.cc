#include "tools/kv-pack/staging_dir.h"

#include <ftw.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

int makeOwnerWritable(const char* path, const struct stat* status, int type, struct FTW*) {
  if (type == FTW_D || type == FTW_DNR) chmod(path, (status->st_mode & 07777) | S_IRWXU);
  return 0;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

constexpr int kMaxOpenDirs = 32;

}  // namespace

void removeTree(const std::string& path) {
  // Pre-order visits a directory before reading it, so an unreadable one can still be emptied.
  nftw(path.c_str(), makeOwnerWritable, kMaxOpenDirs, FTW_PHYS);
  nftw(path.c_str(), removeEntry, kMaxOpenDirs, FTW_PHYS | FTW_DEPTH);
}

StagingDir::~StagingDir() {
  if (!path_.empty()) removeTree(path_);
}

bool StagingDir::create(std::string* err) {
  const char* base = getenv("TMPDIR");
  std::string dir = absolutePath(base != nullptr && *base != '\0' ? base : "/tmp");
  // Longer than the bootstrap's own /tmp/kvXXXXXX work directories, so that
  // nothing that looks for those mistakes ours for one.
  std::string templ = dir + "/kv-pack.XXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  if (mkdtemp(name.data()) == nullptr) {
    *err = errnoText("cannot create a temporary directory in " + dir);
    return false;
  }
  path_ = name.data();
  return true;
}

