#ifndef KV_OS_BYTE_COUNT_H_
#define KV_OS_BYTE_COUNT_H_

#include <cstdint>
#include <string>

/// A count of bytes as people read it, rounded down, in units of 1024: "512 B",
/// "1.5 KiB", "20.0 MiB", "4.2 GiB".
std::string bytesForHumans(uint64_t bytes);

#endif  // KV_OS_BYTE_COUNT_H_
