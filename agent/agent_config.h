#ifndef KV_AGENT_AGENT_CONFIG_H_
#define KV_AGENT_AGENT_CONFIG_H_

#include <string>
#include <vector>

#include "formats/minisig.h"
#include "os/report.h"

/// Where this run's install agent comes from, where it is kept and what it
/// must be signed with: settled once, when the run starts, and handed to
/// every step that needs it.
struct AgentConfig {
  /// The package's agent URL, or $KV_INTERNAL_INSTALL_AGENT_URL when that is set.
  std::string agentUrl;
  /// $HOME, or "/tmp" when it is unset or empty; ends in "/".
  std::string home;
  /// The cache's path below home: the build's cache directory, the agent
  /// URL's own directory (agentSourceDirName) and, when agents are checked,
  /// "signed-<key id>/": an agent stored by a bootstrap without the key, or
  /// with another one, was never verified with it. Ends in "/".
  std::string cacheSubdir;
  /// home + cacheSubdir.
  std::string cacheRoot;
  /// A downloaded agent runs only when signed with one of these; none: agents
  /// are not checked.
  std::vector<MinisignPublicKey> keys;
};

/// What a run's configuration is settled from: the bootstrap's record, as
/// kv-pack set it for the package, and the environment.
struct AgentConfigSources {
  const char* agentBaseUrlSlot;  ///< kAgentBaseUrlSlotBytes bytes, maybe damaged
  const char* agentKeySlot;      ///< kAgentKeySlotBytes bytes, maybe damaged
  const char* agentUrlVariable;  ///< $KV_INTERNAL_INSTALL_AGENT_URL, or nullptr
  const char* home;              ///< $HOME, or nullptr
};

/// The name of the variable that overrides the package's agent URL.
inline constexpr char kAgentUrlVariable[] = "KV_INTERNAL_INSTALL_AGENT_URL";

/// Settles the configuration. False, after reporting, when the record was
/// damaged: a package that would fetch and run who knows what must not go on.
bool settleAgentConfig(const AgentConfigSources& sources, ReportFn report, AgentConfig* config);

/// The configuration of agents from agentUrl, kept below home, checked with keys.
AgentConfig agentConfigFor(const std::string& agentUrl, const char* home,
                           std::vector<MinisignPublicKey> keys);

#endif  // KV_AGENT_AGENT_CONFIG_H_
