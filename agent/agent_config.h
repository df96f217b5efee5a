#ifndef KV_AGENT_AGENT_CONFIG_H_
#define KV_AGENT_AGENT_CONFIG_H_

#include <cstdint>
#include <optional>
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
  /// "signed-<key id>/", or "signed-<key id>-<key id>/" for two keys: an
  /// agent stored by a bootstrap without these keys, or with others, was
  /// never verified with them. Ends in "/".
  std::string cacheSubdir;
  /// home + cacheSubdir.
  std::string cacheRoot;
  /// A downloaded agent runs only when signed with one of these; none: agents
  /// are not checked.
  std::vector<MinisignPublicKey> keys;
  /// With keys, an agent signed before this (seconds since 1970) is refused,
  /// even on a first run; nullopt: no floor.
  std::optional<int64_t> notBefore;
  /// The certificate authorities a server's certificate is checked against,
  /// beside or instead of the system's, as the curl tool takes them from the
  /// environment: $CURL_CA_BUNDLE alone when set, else $SSL_CERT_FILE and
  /// $SSL_CERT_DIR. Empty: libcurl's own. Networks that inspect TLS put their
  /// own authority there.
  std::string caFile;          ///< a file of PEM certificates
  std::string caFileVariable;  ///< the variable that named caFile
  std::string caDirectory;     ///< a directory of them, hashed as OpenSSL looks them up
};

/// What a run's configuration is settled from: the bootstrap's record, as
/// kv-pack set it for the package, and the environment.
struct AgentConfigSources {
  const char* agentBaseUrlSlot;  ///< kAgentBaseUrlSlotBytes bytes, maybe damaged
  const char* agentKeySlot;      ///< kAgentKeySlotBytes bytes, maybe damaged
  const char* agentSecondKeySlot;  ///< kAgentKeySlotBytes bytes, maybe damaged
  const char* agentNotBeforeSlot;  ///< kAgentNotBeforeSlotBytes bytes, maybe damaged
  const char* agentUrlVariable;  ///< $KV_INTERNAL_INSTALL_AGENT_URL, or nullptr
  const char* home;              ///< $HOME, or nullptr
  const char* caBundleVariable = nullptr;  ///< $CURL_CA_BUNDLE, or nullptr
  const char* certFileVariable = nullptr;  ///< $SSL_CERT_FILE, or nullptr
  const char* certDirVariable = nullptr;   ///< $SSL_CERT_DIR, or nullptr
};

/// The variables that name certificate authorities to trust.
inline constexpr char kCaBundleVariable[] = "CURL_CA_BUNDLE";
inline constexpr char kCertFileVariable[] = "SSL_CERT_FILE";
inline constexpr char kCertDirVariable[] = "SSL_CERT_DIR";

/// The name of the variable that overrides the package's agent URL.
inline constexpr char kAgentUrlVariable[] = "KV_INTERNAL_INSTALL_AGENT_URL";

/// Settles the configuration. False, after reporting, when the record was
/// damaged: a package that would fetch and run who knows what must not go on.
bool settleAgentConfig(const AgentConfigSources& sources, ReportFn report, AgentConfig* config);

/// The configuration of agents from agentUrl, kept below home, checked with keys.
AgentConfig agentConfigFor(const std::string& agentUrl, const char* home,
                           std::vector<MinisignPublicKey> keys);

#endif  // KV_AGENT_AGENT_CONFIG_H_
