#ifndef KV_TOOLS_KV_PACK_PACK_H_
#define KV_TOOLS_KV_PACK_PACK_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "formats/arch.h"

/// Everything one package is made from.
struct PackOptions {
  const Arch* arch = &defaultArch();  ///< the bootstrap must be built for it
  std::string bootstrap;
  std::string bundle;  ///< a directory, or a ZIP archive carried as it is
  std::string agent;   ///< empty: the package carries no agent
  std::string agentUrl;  ///< the agent base URL to set; empty: the stub's own
  /// The key lines to set, at most two (a rotation's old and new key); none:
  /// the stub's own.
  std::vector<std::string> agentKeys;
  /// The earliest signing time to set, in seconds since 1970; none: the stub's own.
  std::optional<int64_t> agentNotBefore;
  std::string output;
  int level = -1;             ///< compression of a bundle directory; -1 for zip's default
  bool reproducible = false;  ///< record `epoch` and owner 0 instead of the files' own
  time_t epoch = 0;
  uint64_t zip64Threshold = 0xFFFFFFFFu;  ///< lowered only by tests
};

/// Writes the package: the bootstrap image, then a ZIP archive holding
/// "bundle.zip" and the agent, offsets counted from the start of the file.
/// On failure `err` says why in one line, and no output or intermediate file
/// is left behind.
[[nodiscard]] bool packPackage(const PackOptions& options, std::string* err);

/// Reads SOURCE_DATE_EPOCH: a decimal count of seconds that fits the 32-bit
/// times of a ZIP archive.
[[nodiscard]] bool parseSourceDateEpoch(const std::string& text, time_t* epoch, std::string* err);

#endif  // KV_TOOLS_KV_PACK_PACK_H_
