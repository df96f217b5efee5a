#include "agent/agent_paths.h"

#include <cstdio>
#include <cstdlib>

#include "agent/platform_tag.h"
#include "bootstrap/package_layout.h"
#include "bootstrap/paths.h"
#include "bootstrap/stream_handles.h"

#ifndef KV_AGENT_BASE_URL
#error "KV_AGENT_BASE_URL must name the scheme and host the install agent is downloaded from"
#endif

namespace {

const char kReleaseLabel[] = "V7031c";
const char kAgentDirName[] = "installagent";

#ifdef KV_AGENT_SIGNED
// A build that checks signatures keeps a cache of its own for its key: an
// agent stored by a build without the key, or with another one, was never
// verified by this one, and must not run because the server's tag matches.
const char kKeyedCacheDir[] = "signed-" KV_AGENT_KEY_ID;
#endif

// The cache root below HOME.
std::string cacheSubdir(const std::string& separator) {
  std::string subdir = ".korvex" + separator + kAgentDirName + separator + kReleaseLabel +
                       separator + kPlatformTag + separator;
#ifdef KV_AGENT_SIGNED
  subdir += kKeyedCacheDir + separator;
#endif
  return subdir;
}

// A vendor may write the base with a trailing slash; the file name brings its own.
std::string agentBaseUrl() {
  std::string base = KV_AGENT_BASE_URL;
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

AgentPaths buildAgentPaths() {
  const std::string separator = "/";
  const std::string joiner = "_";
  return AgentPaths{
      separator,
      kReleaseLabel,
      joiner,
      kPlatformTag,
      kAgentZipName,
      agentBaseUrl() + "/pi_install_agent_pi_" + kReleaseLabel + joiner + kPlatformTag,
      kAgentDirName,
      cacheSubdir(separator),
      ".validatestring",
      "ETag: ",
  };
}

}  // namespace

const AgentPaths kAgentPaths = buildAgentPaths();

std::string agentCacheRoot() {
  const char* home = getenv("HOME");
  std::string root = (home != nullptr && home[0] != '\0') ? home : "/tmp";
  if (root.back() != '/') root += kAgentPaths.kPathSeparator;
  return root + kAgentPaths.kCacheSubdir;
}

std::string installScriptPath(const std::string& dir) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += kAgentPaths.kPathSeparator;
  return path + "install";
}

std::string findCachedAgent() {
  const std::string agentDir =
      agentCacheRoot() + kAgentPaths.kAgentDirName + kAgentPaths.kPathSeparator;
  return pathExists(installScriptPath(agentDir)) ? agentDir : std::string();
}

std::string validateFilePath(const std::string& dir) {
  return dir + kAgentPaths.kPathSeparator + kAgentPaths.kValidateFileName;
}

std::string signingTimeFilePath(const std::string& cacheRoot) { return cacheRoot + ".signingtime"; }

void writeValidateString(const std::string& dir, const ValidateString& value) {
  if (dir.empty() || value.empty()) return;
  // A partial tag left by a run cut short could match a later one.
  replaceFileContents(validateFilePath(dir), value);
}

bool isValidateStringCurrent(const std::string& dir, const ValidateString& value) {
  // An empty dir would name "/.validatestring", a file writeValidateString never writes.
  if (dir.empty() || value.empty()) return false;
  const std::string path = validateFilePath(dir);
  if (!pathExists(path)) return false;
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  // Reading stops once the line is longer than the value: it cannot match then.
  std::string firstLine;
  for (int c; firstLine.size() <= value.size() && (c = getc(file.get())) != EOF && c != '\n';)
    firstLine += static_cast<char>(c);
  return firstLine == value;
}
