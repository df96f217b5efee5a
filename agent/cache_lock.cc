#include "agent/cache_lock.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "agent/agent_paths.h"
#include "bootstrap/interrupt.h"

CacheLock::CacheLock(const std::string& cacheRoot) {
  // Never through a symbolic link: it could make this run create a file elsewhere.
  fd_ = open((cacheRoot + kLockFileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd_ < 0) return;
  while (flock(fd_, LOCK_EX) != 0) {
    // A SIGTERM or SIGHUP while waiting ends the wait: the run is about to stop.
    if (errno == EINTR && pendingInterrupt() == 0) continue;
    close(fd_);
    fd_ = -1;
    return;
  }
}

CacheLock::~CacheLock() {
  if (fd_ >= 0) close(fd_);  // closing the only descriptor releases the lock
}
