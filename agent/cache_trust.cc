#include "agent/cache_trust.h"

#include <ftw.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "agent/agent_paths.h"

namespace {

// The paths to check, outermost first: every directory level of the cache
// below HOME, then the agent directory and the files in the cache the run uses.
std::vector<std::string> pathsToTrust(const AgentConfig& config) {
  const std::string& root = config.cacheRoot;
  const std::string& subdir = config.cacheSubdir;
  const std::string& home = config.home;
  std::vector<std::string> paths;
  for (size_t slash = subdir.find('/'); slash != std::string::npos; slash = subdir.find('/', slash + 1))
    paths.push_back(home + subdir.substr(0, slash));
  const std::string agentDir = root + kAgentDirName;
  paths.push_back(agentDir);
  paths.push_back(validateFilePath(root));
  paths.push_back(signingTimeFilePath(root));
  paths.push_back(root + kLockFileName);
  paths.push_back(installScriptPath(agentDir));
  return paths;
}

std::string describeUser(uid_t uid) {
  std::string text = "user " + std::to_string(uid);
  if (const struct passwd* entry = getpwuid(uid)) text += std::string(" (") + entry->pw_name + ")";
  return text;
}

int removeGroupAndOtherWrite(const char* path, const struct stat* info, int type,
                             struct FTW* /*where*/) {
  if (type != FTW_SL && type != FTW_SLN && (info->st_mode & (S_IWGRP | S_IWOTH)) != 0)
    chmod(path, info->st_mode & 07755);
  return 0;
}

}  // namespace

std::string untrustedCacheReason(const AgentConfig& config) {
  for (const std::string& path : pathsToTrust(config)) {
    struct stat info;
    // Missing paths are created by this run; one that cannot be examined
    // cannot be used either, which the run finds out when it creates the cache.
    if (lstat(path.c_str(), &info) != 0) continue;
    const char* problem = nullptr;
    if (S_ISLNK(info.st_mode))
      problem = "is a symbolic link";
    else if (info.st_uid != geteuid())
      problem = "belongs to another user";
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
      problem = "can be written by other users";
    else
      continue;
    return "The install agent cache cannot be trusted: " + path + " " + problem + " (owner: " +
           describeUser(info.st_uid) + ", you are " + describeUser(geteuid()) +
           "). Have it removed, or set HOME to a directory of your own.";
  }
  return std::string();
}

void keepWritableByOwnerOnly(const std::string& dir) {
  nftw(dir.c_str(), removeGroupAndOtherWrite, 16, FTW_PHYS);
}
