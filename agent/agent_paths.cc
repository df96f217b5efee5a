#include "agent/agent_paths.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "agent/agent_url.h"
#include "agent/signature_check.h"
#include "bootstrap/package_layout.h"
#include "bootstrap/paths.h"
#include "bootstrap/platform_tag.h"
#include "bootstrap/stream_handles.h"
#include "bootstrap/stub_record.h"

#ifndef KV_AGENT_BASE_URL
#error "KV_AGENT_BASE_URL must name the scheme and host the install agent is downloaded from"
#endif

namespace {

#define KV_RELEASE_LABEL "V7031c"
// An agent URL is its base, this, and the platform tag.
const char kAgentFilePrefix[] = "/pi_install_agent_pi_" KV_RELEASE_LABEL "_";
// The build's own agent URL but for the platform tag; the build gives the
// base without a trailing slash.
const char kBuiltInAgentUrlPrefix[] = KV_AGENT_BASE_URL "/pi_install_agent_pi_" KV_RELEASE_LABEL "_";

const char kUrlVariable[] = "KV_INTERNAL_INSTALL_AGENT_URL";

// The cache root below HOME for the agents of the build's own URL.
std::string cacheSubdir() {
  std::string subdir = ".korvex/";
  subdir += kAgentDirName;
  subdir += "/" KV_RELEASE_LABEL "/";
  subdir += kPlatformTag;
  subdir += '/';
  return subdir;
}

// A vendor may write the base with a trailing slash; the file name brings its own.
std::string withoutTrailingSlashes(std::string base) {
  while (!base.empty() && base.back() == '/') base.pop_back();
  return base;
}

std::string agentUrlFrom(const std::string& base) {
  std::string url = withoutTrailingSlashes(base);
  url += kAgentFilePrefix;
  url += kPlatformTag;
  return url;
}

bool isBuiltInAgentUrl(const std::string& url) {
  const size_t prefix = sizeof kBuiltInAgentUrlPrefix - 1;
  return url.compare(0, prefix, kBuiltInAgentUrlPrefix) == 0 &&
         url.compare(prefix, std::string::npos, kPlatformTag) == 0;
}

// The base URL of the package: the record's slot, as kv-pack set it. One
// damaged by hand reads as far as its room; the run refuses it before any
// use (agent_settings.h).
std::string packageAgentBaseUrl() {
  const char* slot = ownAgentBaseUrlSlot();
  return std::string(slot, strnlen(slot, kAgentBaseUrlSlotBytes));
}

AgentPaths buildAgentPaths() { return AgentPaths{agentUrlFrom(packageAgentBaseUrl()), cacheSubdir()}; }

}  // namespace

const AgentPaths kAgentPaths = buildAgentPaths();

std::string installAgentUrl() {
  const char* url = getenv(kUrlVariable);
  return url != nullptr ? url : kAgentPaths.agentUrl;
}

std::string agentSourceDirName(const std::string& agentUrl) {
  std::string name;
  if (!isBuiltInAgentUrl(agentUrl)) {
    name = "url-";
    name += stableHashText(agentUrl);
    name += '/';
  }
  return name;
}

std::string agentCacheSubdir() {
  std::string subdir = kAgentPaths.cacheSubdir;
  subdir += agentSourceDirName(installAgentUrl());
  // An agent stored by a bootstrap without the key, or with another one, was
  // never verified with this one, and must not run because the server's tag
  // matches.
  if (*agentKeyId() != '\0') {
    subdir += "signed-";
    subdir += agentKeyId();
    subdir += '/';
  }
  return subdir;
}

std::string agentCacheRoot() {
  const char* home = getenv("HOME");
  std::string root = (home != nullptr && home[0] != '\0') ? home : "/tmp";
  if (root.back() != '/') root += '/';
  return root + agentCacheSubdir();
}

std::string installScriptPath(const std::string& dir) {
  std::string path = dir;
  if (!path.empty() && path.back() != '/') path += '/';
  return path + "install";
}

std::string findCachedAgent() {
  const std::string agentDir =
      agentCacheRoot() + kAgentDirName + '/';
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
