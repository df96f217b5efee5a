#include "os/paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/shell.h"
#include "os/stream_handles.h"

namespace {

// Deeper trees are not walked: no stack runs out on a hostile archive.
constexpr int kMaxTreeDepth = 32;

// The directory open as fd, which it takes.
DirHandle openDirectory(int fd) {
  DirHandle dir(fd >= 0 ? fdopendir(fd) : nullptr);
  if (!dir && fd >= 0) close(fd);
  return dir;
}

uint64_t bytesBelow(DirHandle dir, int depth) {
  if (!dir) return 0;
  uint64_t total = 0;
  while (const struct dirent* entry = readdir(dir.get())) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    struct stat info;
    if (fstatat(dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (S_ISREG(info.st_mode)) {
      total += static_cast<uint64_t>(info.st_size);
    } else if (S_ISDIR(info.st_mode) && depth > 0) {
      total += bytesBelow(openDirectory(openat(dirfd(dir.get()), entry->d_name,
                                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)),
                          depth - 1);
    }
  }
  return total;
}

}  // namespace

bool pathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

int makeDir(const std::string& path, mode_t mode) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    // A failure here (permissions, a race) shows when the directory is used.
    mkdir(path.c_str(), mode);
    return 0;
  }
  if (S_ISDIR(info.st_mode)) return 0;
  errno = ENOTDIR;
  return -1;
}

int makeDirs(const std::string& path, mode_t mode) {
  size_t cursor = 0;
  for (size_t slash; (slash = path.find('/', cursor)) != std::string::npos; cursor = slash + 1) {
    if (slash == cursor) continue;  // leading or doubled separator: nothing to create
    int result = makeDir(path.substr(0, slash), mode);
    if (result != 0) return result;
  }
  return makeDir(path, mode);
}

bool isDirectory(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int whyDirectoryMissing(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && prefix.back() != '/' && !pathExists(prefix) &&
        mkdir(prefix.c_str(), 0700) != 0)
      return errno;
    if (slash == std::string::npos) break;
  }
  // Everything along the path exists now, or something in the way is no directory.
  return isDirectory(path) ? 0 : ENOTDIR;
}

void removeTreeIfExists(const std::string& path) {
  if (!pathExists(path)) return;
  runShellCommand("rm -rf " + quoteIfNeeded(path));
}

uint64_t bytesInTree(const std::string& dir) {
  return bytesBelow(openDirectory(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)),
                    kMaxTreeDepth);
}
