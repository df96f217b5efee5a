#ifndef KV_TOOLS_KV_PACK_PENDING_OUTPUT_H_
#define KV_TOOLS_KV_PACK_PENDING_OUTPUT_H_

#include <string>

#include "os/file_descriptor.h"

/// The package while it is being written: a fresh file beside the final
/// name, removed when it goes unless it was renamed into place.
class PendingOutput {
 public:
  [[nodiscard]] bool create(const std::string& finalPath, std::string* err);
  int fd() const { return file_.fd(); }
  const std::string& tempPath() const { return file_.tempPath(); }
  /// Closes the file, gives it mode 0777 less the umask, as a linker would
  /// for a program, and renames it to the final name.
  [[nodiscard]] bool commit(std::string* err);

 private:
  std::string finalPath_;
  FileReplacement file_;
};

#endif  // KV_TOOLS_KV_PACK_PENDING_OUTPUT_H_
