#ifndef KV_AGENT_PROVISION_H_
#define KV_AGENT_PROVISION_H_

#include <string>

#include "agent/agent_config.h"
#include "os/report.h"

/// Leaves an install agent unpacked on disk (from the package, the per-user
/// cache of config, or a fresh download from config's agent URL) and returns
/// the path of its install script; the empty string on failure.
std::string provisionInstallAgent(const std::string& payloadDir, const AgentConfig& config,
                                  ReportFn report);

/// The agent archive carried in the payload directory, or the empty string.
std::string findAgentZipInPayload(const std::string& payloadDir);

/// Unpacks the agent archive into destDir; false when it could not.
bool unpackAgentZip(const std::string& archive, const std::string& destDir, ReportFn report);

#endif  // KV_AGENT_PROVISION_H_
