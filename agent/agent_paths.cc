#include "agent/agent_paths.h"

#include "build_config.h"
#include "formats/agent_url.h"
#include "formats/arch.h"
#include "os/file_descriptor.h"
#include "os/paths.h"

namespace {

AgentPaths buildAgentPaths() {
  std::string cacheSubdir = ".korvex/";
  cacheSubdir += kAgentDirName;
  cacheSubdir += '/';
  cacheSubdir += kReleaseLabel;
  cacheSubdir += '/';
  cacheSubdir += kPlatformTag;
  cacheSubdir += '/';
  return AgentPaths{agentUrlFor(KV_AGENT_BASE_URL, kPlatformTag), cacheSubdir};
}

}  // namespace

const AgentPaths kAgentPaths = buildAgentPaths();

std::string agentSourceDirName(const std::string& agentUrl) {
  if (agentUrl == kAgentPaths.agentUrl) return "";
  return "url-" + stableHashText(agentUrl) + "/";
}

std::string installScriptPath(const std::string& dir) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + "install";
}

std::string findCachedAgent(const std::string& cacheRoot) {
  const std::string agentDir = cacheRoot + kAgentDirName + '/';
  return pathExists(installScriptPath(agentDir)) ? agentDir : std::string();
}

std::string validateFilePath(const std::string& dir) {
  return dir + '/' + kValidateFileName;
}

std::string signingTimeFilePath(const std::string& cacheRoot) { return cacheRoot + kSigningTimeFileName; }

void writeValidateString(const std::string& dir, const ValidateString& value) {
  if (dir.empty() || value.empty()) return;
  // A partial tag left by a run cut short could match a later one.
  replaceFileContents(validateFilePath(dir), value);
}

bool isValidateStringCurrent(const std::string& dir, const ValidateString& value) {
  // An empty dir would name "/.validatestring", a file writeValidateString never writes.
  if (dir.empty() || value.empty()) return false;
  // One byte past the value is enough: a first line that long cannot match.
  std::string start;
  if (!readFileStart(validateFilePath(dir), value.size() + 1, &start)) return false;
  return start.substr(0, start.find('\n')) == value;
}
