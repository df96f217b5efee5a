#include "agent/provision.h"

#include <dirent.h>
#include <unistd.h>

#include <cstring>
#include <exception>

#include "agent/agent_paths.h"
#include "agent/cache_lock.h"
#include "agent/cache_trust.h"
#include "agent/download.h"
#include "formats/package_layout.h"
#include "os/interrupt.h"
#include "os/paths.h"
#include "os/shell.h"
#include "os/stream_handles.h"

namespace {

bool cacheTrusted(const AgentConfig& config, ReportFn report) {
  const std::string distrust = untrustedCacheReason(config);
  if (!distrust.empty()) report(distrust, true);
  return distrust.empty();
}

// The agent from the per-user cache: confirmed current by the server, or
// downloaded and unpacked afresh.
std::string provisionCachedAgent(const std::string& payloadDir, const AgentConfig& config,
                                ReportFn report) {
  // Without libcurl nothing can be fetched: say so before the cache is touched.
  const CurlLibrary* lib = curlLibraryFor(config.agentUrl, report);
  if (lib == nullptr) return std::string();

  const std::string& cacheRoot = config.cacheRoot;
  const std::string agentDir = cacheRoot + kAgentDirName;
  if (!cacheTrusted(config, report)) return std::string();
  // The lock file's directory. The agent directory is made only under the
  // lock: the run holding it removes that directory whenever it downloads.
  makeDirs(cacheRoot, 0700);

  // Concurrent runs of the same user would otherwise remove, unpack and
  // validate the cached agent under each other's feet.
  CacheLock lock(cacheRoot);
  if (pendingInterrupt()) return std::string();
  // Another user may have created the cache between the first look and now.
  if (!cacheTrusted(config, report)) return std::string();
  if (makeDirs(agentDir, 0700) != 0 || !isDirectory(agentDir)) {
    report("Cannot create the install agent cache directory " + agentDir + ": " +
               strerror(whyDirectoryMissing(agentDir)) +
               ". Set HOME to a directory of your own that you can write to.",
           true);
    return std::string();
  }

  const std::string archive = payloadDir + "/" + kAgentZipName;
  if (!downloadInstallAgent(config, *lib, archive, report)) return std::string();

  std::string cached = findCachedAgent(cacheRoot);
  if (!cached.empty()) return installScriptPath(cached);

  // The download removed the stale agent's directory; unzip would make it anew
  // with the umask's mode, open to others' reading.
  makeDirs(agentDir, 0700);
  if (!unpackAgentZip(archive, agentDir, report)) {
    // The new tag is stored already: without these a later run would take the
    // half-unpacked agent for a current one.
    unlink(validateFilePath(cacheRoot).c_str());
    removeTreeIfExists(agentDir);
    return std::string();
  }
  keepWritableByOwnerOnly(agentDir);
  return installScriptPath(agentDir);
}

}  // namespace

std::string findAgentZipInPayload(const std::string& payloadDir) {
  std::string candidate = payloadDir;
  if (candidate.empty() || candidate.back() != '/') candidate += "/";
  candidate += kAgentZipName;
  if (pathExists(candidate)) return candidate;

  const std::string scanDir = candidate.substr(0, candidate.find_last_of("/\\"));
  DirHandle dir(opendir(scanDir.c_str()));
  if (!dir) return std::string();
  while (const struct dirent* entry = readdir(dir.get())) {
    if (isVersionedAgentName(entry->d_name))
      return scanDir + "/" + entry->d_name;
  }
  return std::string();
}

bool unpackAgentZip(const std::string& archive, const std::string& destDir, ReportFn report) {
  if (!pathExists(archive)) return false;
  const std::string command = quoteIfNeeded("unzip") + " -qq -o " + quoteIfNeeded(archive) +
                              " -d " + quoteIfNeeded(destDir);
  int status = 0;
  try {
    // unzip asks on a full disk; the user's input is the agent's, not unzip's.
    status = runShellCommandOnOwnLines(command, CommandInput::kNone);
  } catch (const std::exception&) {
    return false;
  }
  if (status != 0) {
    // An unzip killed along with an interrupted run is no fault worth telling.
    if (pendingInterrupt() == 0) report(internalErrorMessage(kAgentUnpackFailed), true);
    return false;
  }
  return true;
}

std::string provisionInstallAgent(const std::string& payloadDir, const AgentConfig& config,
                                  ReportFn report) {
  const std::string archive = findAgentZipInPayload(payloadDir);
  if (archive.empty()) return provisionCachedAgent(payloadDir, config, report);
  if (!unpackAgentZip(archive, payloadDir, report)) return std::string();
  return installScriptPath(payloadDir);
}
