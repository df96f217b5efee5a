#include "agent/agent_config.h"

#include <cstring>
#include <utility>

#include "agent/agent_paths.h"
#include "agent/signature_check.h"
#include "formats/agent_url.h"
#include "formats/arch.h"
#include "formats/stub_record.h"

namespace {

// Starts the cache directory of agents checked with a key, before its id.
const char kKeyedCachePrefix[] = "signed-";

// One message for every damage: the bootstrap goes in front of every
// package, so its failure texts are put together, not written out each.
bool refuse(const char* what, const char* why, ReportFn report) {
  std::string message = "This installer is damaged: its ";
  message += what;
  message += why;
  message += ". Download it again, or ask its vendor for a new copy.";
  report(message, true);
  return false;
}

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

// An empty variable counts as unset, as an empty proxy variable does for libcurl.
void settleTrustedAuthorities(const AgentConfigSources& sources, AgentConfig* config) {
  if (isSet(sources.caBundleVariable)) {
    config->caFile = sources.caBundleVariable;
    config->caFileVariable = kCaBundleVariable;
    return;
  }
  if (isSet(sources.certFileVariable)) {
    config->caFile = sources.certFileVariable;
    config->caFileVariable = kCertFileVariable;
  }
  if (isSet(sources.certDirVariable)) config->caDirectory = sources.certDirVariable;
}

}  // namespace

AgentConfig agentConfigFor(const std::string& agentUrl, const char* home,
                           std::vector<MinisignPublicKey> keys) {
  AgentConfig config;
  config.agentUrl = agentUrl;
  config.home = home != nullptr && *home != '\0' ? home : "/tmp";
  if (config.home.back() != '/') config.home += '/';
  config.cacheSubdir = kAgentPaths.cacheSubdir;
  config.cacheSubdir += agentSourceDirName(agentUrl);
  // One directory for the set of keys: an agent that either of two keys
  // verified may be one that a package with only the other must not run.
  for (size_t i = 0; i < keys.size(); ++i) {
    config.cacheSubdir += i == 0 ? kKeyedCachePrefix : "-";
    config.cacheSubdir += keyIdText(keys[i].keyId);
  }
  if (!keys.empty()) config.cacheSubdir += '/';
  config.cacheRoot = config.home;
  config.cacheRoot += config.cacheSubdir;
  config.keys = std::move(keys);
  return config;
}

bool settleAgentConfig(const AgentConfigSources& sources, ReportFn report, AgentConfig* config) {
  const char* base = slotValue(sources.agentBaseUrlSlot, kAgentBaseUrlSlotBytes);
  const char* problem = base == nullptr ? "has no end" : agentBaseUrlProblem(base);
  if (problem != nullptr) return refuse("agent URL ", problem, report);
  std::vector<MinisignPublicKey> keys;
  std::string why;
  for (const char* slot : {sources.agentKeySlot, sources.agentSecondKeySlot}) {
    const char* keyLine = slotValue(slot, kAgentKeySlotBytes);
    if (keyLine == nullptr) return refuse("agent key ", "has no end", report);
    if (!readAgentKeySlot(keyLine, &keys, &why)) return refuse("agent key ", why.c_str(), report);
  }
  std::optional<int64_t> notBefore;
  if (!readAgentNotBeforeSlot(sources.agentNotBeforeSlot, &notBefore))
    return refuse("earliest signing time ", "is not a number of seconds since 1970", report);
  *config = agentConfigFor(sources.agentUrlVariable != nullptr ? sources.agentUrlVariable
                                                               : agentUrlFor(base, kPlatformTag),
                           sources.home, std::move(keys));
  settleTrustedAuthorities(sources, config);
  config->notBefore = notBefore;
  return true;
}
