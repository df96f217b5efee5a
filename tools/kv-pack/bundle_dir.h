#ifndef KV_TOOLS_KV_PACK_BUNDLE_DIR_H_
#define KV_TOOLS_KV_PACK_BUNDLE_DIR_H_

#include <ctime>
#include <string>
#include <vector>

#include "tools/kv-pack/staging_dir.h"

/// How a bundle directory becomes a ZIP archive.
struct BundleZipOptions {
  int level = -1;             ///< zip's compression level 0-9; -1 for its default
  bool reproducible = false;  ///< when set, every file counts as changed at `epoch`
  time_t epoch = 0;
};

/// The paths under `dir`, relative to it, in byte order: directories (with a
/// trailing "/"), regular files and symbolic links (not followed). Anything
/// else, or a name that zip's name list cannot carry, is an error.
[[nodiscard]] bool listBundleTree(const std::string& dir, std::vector<std::string>* paths,
                                  std::string* err);

/// Zips the directory into `zipPath` with Info-ZIP zip, members in byte
/// order. Intermediate files go into `staging`.
[[nodiscard]] bool zipBundleDirectory(const std::string& dir, const BundleZipOptions& options,
                                      const StagingDir& staging, const std::string& zipPath,
                                      std::string* err);

#endif  // KV_TOOLS_KV_PACK_BUNDLE_DIR_H_
