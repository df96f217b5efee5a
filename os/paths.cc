#include "os/paths.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "os/shell.h"

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
