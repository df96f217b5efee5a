#ifndef KV_TOOLS_KV_PACK_UNZIP_RUNNER_H_
#define KV_TOOLS_KV_PACK_UNZIP_RUNNER_H_

// unzip, run on an archive kv-pack takes or writes: its test and its list of
// members, with its complaints made into one line.

#include <string>
#include <vector>

#include "tools/kv-pack/child_process.h"
#include "tools/kv-pack/staging_dir.h"

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

#endif  // KV_TOOLS_KV_PACK_UNZIP_RUNNER_H_
