#ifndef KV_AGENT_CACHE_LOCK_H_
#define KV_AGENT_CACHE_LOCK_H_

#include <string>

#include "os/file_descriptor.h"

/// An exclusive lock on the per-user agent cache, held while a run checks,
/// downloads and unpacks the cached agent, so that concurrent runs of the same
/// user take turns. Released when the object goes away.
class CacheLock {
 public:
  /// Locks the file ".lock" in cacheRoot, waiting for other holders.
  explicit CacheLock(const std::string& cacheRoot);
  CacheLock(const CacheLock&) = delete;
  CacheLock& operator=(const CacheLock&) = delete;

  /// False when the lock file could not be opened or locked; the run then
  /// goes on unlocked, as it would on a file system without locks.
  bool held() const { return fd_.valid(); }

 private:
  UniqueFd fd_;  // closing the only descriptor releases the lock
};

#endif  // KV_AGENT_CACHE_LOCK_H_
