#include "tools/kv-pack/scoped_paths.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t currentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

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

PendingOutput::~PendingOutput() {
  fd_ = UniqueFd();
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
}

bool PendingOutput::create(const std::string& finalPath, std::string* err) {
  finalPath_ = finalPath;
  std::string templ = finalPath + ".tmpXXXXXX";
  std::vector<char> name(templ.begin(), templ.end());
  name.push_back('\0');
  int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) {
    *err = errnoText("cannot create " + finalPath + " (in " + directoryOf(finalPath) + ")");
    return false;
  }
  fd_ = UniqueFd(fd);
  tempPath_ = name.data();
  return true;
}

bool PendingOutput::commit(std::string* err) {
  if (fchmod(fd_.get(), 0777 & ~currentUmask()) != 0) {
    *err = errnoText("cannot make " + tempPath_ + " executable");
    return false;
  }
  if (close(fd_.release()) != 0) {
    *err = errnoText("cannot write " + tempPath_);
    return false;
  }
  if (rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    *err = errnoText("cannot create " + finalPath_);
    return false;
  }
  tempPath_.clear();
  return true;
}
