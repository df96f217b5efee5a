#ifndef KV_OS_EXECUTABLE_PATH_H_
#define KV_OS_EXECUTABLE_PATH_H_

#include <string>

// Where the running program's own file is. Shared by the bootstrap, which
// unpacks the archive appended to itself, and kv-pack, which finds the
// shipped bootstrap beside itself.

/// The running program's own file, read from /proc/self/exe; empty when unreadable.
std::string executablePath();

/// executablePath() up to its last '/' or '\'; the whole path when it has none.
std::string executableDir();

#endif  // KV_OS_EXECUTABLE_PATH_H_
