#ifndef KV_OS_PATHS_H_
#define KV_OS_PATHS_H_

#include <cstdint>
#include <string>
#include <sys/types.h>

/// Creates the directory when the path does not exist (the mkdir result is
/// not examined); -1 with errno ENOTDIR when it exists but is no directory.
int makeDir(const std::string& path, mode_t mode);

/// Creates every directory along the path, like "mkdir -p"; 0 or the first
/// failing makeDir() result.
int makeDirs(const std::string& path, mode_t mode);

/// True when the path names a directory (symbolic links followed).
bool isDirectory(const std::string& path);

/// Why makeDirs() left path missing, as an errno value: the first directory
/// along it that does not exist is tried once more. makeDirs() itself does
/// not look at mkdir's result.
int whyDirectoryMissing(const std::string& path);

/// Runs "rm -rf" on the path when it exists; the result is ignored.
void removeTreeIfExists(const std::string& path);

/// True when the path's status can be read (symbolic links followed).
bool pathExists(const std::string& path);

/// The bytes the regular files under the directory hold, in its
/// subdirectories too (symbolic links not followed); what cannot be read
/// counts nothing.
uint64_t bytesInTree(const std::string& dir);

#endif  // KV_OS_PATHS_H_
