#ifndef KV_AGENT_CACHE_TRUST_H_
#define KV_AGENT_CACHE_TRUST_H_

#include <string>

#include "agent/agent_config.h"

/// Why the per-user agent cache of config must not be used, as one line for the user
/// that names the path, its owner and the fix; empty when it may be used.
/// Each existing directory from ".korvex" down to the cache root and the
/// agent directory, and each file the run reads or relies on there (the
/// validation file, the signing time, the lock file, the install script),
/// must belong to the running user and be writable by nobody else, and none
/// may be a symbolic link: otherwise another user could have put an agent
/// there for this user to run. Symbolic links are never followed; HOME
/// itself is not checked.
std::string untrustedCacheReason(const AgentConfig& config);

/// Takes write permission for group and others away from everything in dir
/// (symbolic links left alone). unzip gives unpacked files the modes stored
/// in the archive, whatever the umask says.
void keepWritableByOwnerOnly(const std::string& dir);

#endif  // KV_AGENT_CACHE_TRUST_H_
