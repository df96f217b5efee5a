#include "agent/agent_paths.h"

#include <cstdio>
#include <cstdlib>

#include "agent/agent_url.h"
#include "agent/platform_tag.h"
#include "agent/signature_check.h"
#include "bootstrap/package_layout.h"
#include "bootstrap/paths.h"
#include "bootstrap/stream_handles.h"
#include "bootstrap/stub_record.h"

#ifndef KV_AGENT_BASE_URL
#error "KV_AGENT_BASE_URL must name the scheme and host the install agent is downloaded from"
#endif

namespace {

const char kReleaseLabel[] = "V7031c";
const char kAgentDirName[] = "installagent";

const char kUrlVariable[] = "KV_INTERNAL_INSTALL_AGENT_URL";

// The cache root below HOME for the agents of the build's own URL.
std::string cacheSubdir(const std::string& separator) {
  return ".korvex" + separator + kAgentDirName + separator + kReleaseLabel + separator +
         kPlatformTag + separator;
}

// A vendor may write the base with a trailing slash; the file name brings its own.
std::string withoutTrailingSlashes(std::string base) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string agentUrlFrom(const std::string& base) {
  return withoutTrailingSlashes(base) + "/pi_install_agent_pi_" + kReleaseLabel + "_" + kPlatformTag;
}

// The base URL of the package: the record's slot, as kv-pack set it. One
// damaged by hand reads as far as its room; the run refuses it before any
// use (agent_settings.h).
std::string packageAgentBaseUrl() {
  const std::string slot = ownAgentBaseUrlSlot();
  return slot.substr(0, slot.find('\0'));
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
      agentUrlFrom(packageAgentBaseUrl()),
      agentUrlFrom(KV_AGENT_BASE_URL),
      kAgentDirName,
      cacheSubdir(separator),
      ".validatestring",
      "ETag: ",
  };
}

}  // namespace

const AgentPaths kAgentPaths = buildAgentPaths();

std::string installAgentUrl() {
  const char* url = getenv(kUrlVariable);
  return url != nullptr ? url : kAgentPaths.kAgentUrl;
}

std::string agentSourceDirName(const std::string& agentUrl) {
  return agentUrl == kAgentPaths.kBuiltInAgentUrl ? "" : "url-" + stableHashText(agentUrl) + "/";
}

std::string agentCacheSubdir() {
  std::string subdir = kAgentPaths.kCacheSubdir + agentSourceDirName(installAgentUrl());
  // An agent stored by a bootstrap without the key, or with another one, was
  // never verified with this one, and must not run because the server's tag
  // matches.
  if (!agentKeyId().empty()) subdir += "signed-" + agentKeyId() + kAgentPaths.kPathSeparator;
  return subdir;
}

std::string agentCacheRoot() {
  const char* home = getenv("HOME");
  std::string root = (home != nullptr && home[0] != '\0') ? home : "/tmp";
  if (root.back() != '/') root += kAgentPaths.kPathSeparator;
  return root + agentCacheSubdir();
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
