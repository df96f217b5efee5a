#ifndef KV_TOOLS_KV_PACK_INFO_H_
#define KV_TOOLS_KV_PACK_INFO_H_

#include <cstdio>
#include <string>

/// Prints what a package or a bare stub is, one aligned line per fact: the
/// stub's record, size and load-time needs, then the archive's members, the
/// agent among them, and unzip's test. True when the stub carries its record
/// and any archive passes the test; otherwise `err` says what is wrong, after
/// everything that could be read has been printed.
[[nodiscard]] bool printInfo(const std::string& path, FILE* out, std::string* err);

#endif  // KV_TOOLS_KV_PACK_INFO_H_
