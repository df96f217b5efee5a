#include "agent/cache_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <utility>

#include "agent/agent_paths.h"
#include "os/interrupt.h"

CacheLock::CacheLock(const std::string& cacheRoot) {
  // Never through a symbolic link: it could make this run create a file elsewhere.
  UniqueFd fd(open((cacheRoot + kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return;
  while (flock(fd.get(), LOCK_EX) != 0) {
    // A SIGTERM or SIGHUP while waiting ends the wait: the run is about to stop.
    if (errno != EINTR || pendingInterrupt() != 0) return;
  }
  fd_ = std::move(fd);
}
