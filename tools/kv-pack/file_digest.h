#ifndef KV_TOOLS_KV_PACK_FILE_DIGEST_H_
#define KV_TOOLS_KV_PACK_FILE_DIGEST_H_

#include <string>
#include <vector>

/// The SHA-256 of each file, in hex, as sha256sum (coreutils) gives it, so
/// that what --info prints can be held against sha256sum's own output and a
/// vendor's checksums. False with *err when it cannot be had.
[[nodiscard]] bool sha256Of(const std::vector<std::string>& paths, std::vector<std::string>* hex,
                            std::string* err);

#endif  // KV_TOOLS_KV_PACK_FILE_DIGEST_H_
