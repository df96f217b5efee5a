#ifndef KV_TOOLS_KV_PACK_STAGING_DIR_H_
#define KV_TOOLS_KV_PACK_STAGING_DIR_H_

#include <string>

#include "tools/kv-pack/file_io.h"

/// A private directory for intermediate files, under $TMPDIR or /tmp, removed
/// with everything in it when it goes.
class StagingDir {
 public:
  StagingDir() = default;
  ~StagingDir();
  StagingDir(const StagingDir&) = delete;
  StagingDir& operator=(const StagingDir&) = delete;

  [[nodiscard]] bool create(std::string* err);
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// Removes a directory tree, making read-only directories in it writable first.
void removeTree(const std::string& path);

#endif  // KV_TOOLS_KV_PACK_STAGING_DIR_H_
