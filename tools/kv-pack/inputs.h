#ifndef KV_TOOLS_KV_PACK_INPUTS_H_
#define KV_TOOLS_KV_PACK_INPUTS_H_

#include <string>

#include "formats/arch.h"
#include "tools/kv-pack/staging_dir.h"
#include "tools/kv-pack/stub.h"

/// A readable regular file that is a kv-bootstrap stub for `arch`: a 64-bit
/// ELF image of its machine carrying the stub record, with nothing after its
/// section header table, so a finished package is not packed a second time.
/// Gives its record.
[[nodiscard]] bool checkBootstrap(const std::string& path, const Arch& arch, StubRecord* record,
                                  std::string* err);

/// An agent archive must hold the script "install" at its top level.
[[nodiscard]] bool checkAgentHasInstall(const StagingDir& staging, const std::string& path,
                                        std::string* err);

/// The name the agent archive gets in the package: its own when it is a
/// versioned "InstallAgent_*.zip", else "InstallAgent.zip".
std::string agentMemberName(const std::string& agentPath);

#endif  // KV_TOOLS_KV_PACK_INPUTS_H_
