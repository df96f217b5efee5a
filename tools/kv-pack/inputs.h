#ifndef KV_TOOLS_KV_PACK_INPUTS_H_
#define KV_TOOLS_KV_PACK_INPUTS_H_

#include <string>
#include <vector>

#include "tools/kv-pack/arch.h"
#include "tools/kv-pack/child_process.h"
#include "tools/kv-pack/scoped_paths.h"
#include "tools/kv-pack/stub.h"

/// A readable regular file that is a kv-bootstrap stub for `arch`: a 64-bit
/// ELF image of its machine carrying the stub record, with nothing after its
/// section header table, so a finished package is not packed a second time.
/// Gives its record.
[[nodiscard]] bool checkBootstrap(const std::string& path, const Arch& arch, StubRecord* record,
                                  std::string* err);

/// unzip's test of an archive, which may run beside other work: a big
/// bundle takes unzip seconds per gigabyte.
class ZipTest {
 public:
  /// `role` names the archive in messages ("bundle", "agent"); each role
  /// is tested at most once per staging directory.
  void start(const StagingDir& staging, const std::string& path, const std::string& role);
  /// Waits for unzip: true when it tested the archive without a single complaint.
  [[nodiscard]] bool passed(std::string* err);

 private:
  std::string path_, role_, startError_;
  bool started_ = false;
  Child child_;
};

/// Runs a ZipTest to its end.
[[nodiscard]] bool checkZipArchive(const StagingDir& staging, const std::string& path,
                                   const std::string& role, std::string* err);

/// The names unzip lists in the archive, one per member, in archive order.
[[nodiscard]] bool listZipMembers(const StagingDir& staging, const std::string& path,
                                  const std::string& role, std::vector<std::string>* names,
                                  std::string* err);

/// An agent archive must hold the script "install" at its top level.
[[nodiscard]] bool checkAgentHasInstall(const StagingDir& staging, const std::string& path,
                                        std::string* err);

/// The name the agent archive gets in the package: its own when it is a
/// versioned "InstallAgent_*.zip", else "InstallAgent.zip".
std::string agentMemberName(const std::string& agentPath);

#endif  // KV_TOOLS_KV_PACK_INPUTS_H_
