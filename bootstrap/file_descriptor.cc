#include "bootstrap/file_descriptor.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) close(fd_);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) close(fd_);
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  int fd = fd_;
  fd_ = -1;
  return fd;
}

// An interrupted write is retried even when an interrupt is pending: what is
// written (a cache file, a package, the last words of a child) is wanted
// whole, and whoever loops over the writes checks for interrupts between them.
bool writeFully(int fd, const void* data, size_t size) {
  const char* next = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, next, size);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    next += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

UniqueFd openForReading(const std::string& path, struct stat* status) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid() && fstat(fd.get(), status) != 0) {
    const int why = errno;
    fd = UniqueFd();
    errno = why;
  }
  return fd;
}
