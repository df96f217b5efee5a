#ifndef KV_TOOLS_KV_PACK_SCOPED_PATHS_H_
#define KV_TOOLS_KV_PACK_SCOPED_PATHS_H_

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

/// The package while it is being written: a fresh file beside the final
/// name, removed when it goes unless it was renamed into place.
class PendingOutput {
 public:
  PendingOutput() = default;
  ~PendingOutput();
  PendingOutput(const PendingOutput&) = delete;
  PendingOutput& operator=(const PendingOutput&) = delete;

  [[nodiscard]] bool create(const std::string& finalPath, std::string* err);
  int fd() const { return fd_.get(); }
  const std::string& tempPath() const { return tempPath_; }
  /// Closes the file, gives it mode 0777 less the umask, as a linker would
  /// for a program, and renames it to the final name.
  [[nodiscard]] bool commit(std::string* err);

 private:
  std::string finalPath_;
  std::string tempPath_;
  UniqueFd fd_;
};

/// Removes a directory tree, making read-only directories in it writable first.
void removeTree(const std::string& path);

#endif  // KV_TOOLS_KV_PACK_SCOPED_PATHS_H_
