#ifndef KV_TOOLS_KV_PACK_FILE_IO_H_
#define KV_TOOLS_KV_PACK_FILE_IO_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "os/file_descriptor.h"

/// Copies exactly `size` bytes from `in` (read from its current position) to
/// the end of `out`, feeding them to a CRC-32 when `crc` is given. Fails when
/// the input ends early or grows, so a file changed under us is not shipped.
[[nodiscard]] bool copyBytes(int in, const std::string& inName, int out, uint64_t size,
                             uint32_t* crc, std::string* err);

/// The path made absolute against the working directory, without resolving
/// links; unchanged when it already is.
std::string absolutePath(const std::string& path);

/// "what: strerror(errno)", for error messages.
std::string errnoText(const std::string& what);

#endif  // KV_TOOLS_KV_PACK_FILE_IO_H_
