#include "os/file_descriptor.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

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

namespace {

// An interrupted write is retried even when an interrupt is pending: what is
// written (a cache file, a package, the last words of a child) is wanted
// whole, and whoever loops over the writes checks for interrupts between them.
// `write` writes at most `size` bytes of `data` that lie `done` bytes in.
template <typename Write>
bool writeAll(const void* data, size_t size, Write write) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t written = write(bytes + done, size - done, done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) return false;
    if (written == 0) {
      errno = EIO;
      return false;
    }
    done += static_cast<size_t>(written);
  }
  return true;
}

}  // namespace

bool writeFully(int fd, const void* data, size_t size) {
  return writeAll(data, size,
                  [fd](const char* next, size_t left, size_t) { return write(fd, next, left); });
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a descriptor and an offset, told apart by name
bool writeFullyAt(int fd, uint64_t offset, const void* data, size_t size) {
  return writeAll(data, size, [fd, offset](const char* next, size_t left, size_t done) {
    return pwrite(fd, next, left, static_cast<off_t>(offset + done));
  });
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

bool readFileStart(const std::string& path, size_t maxBytes, std::string* text) {
  text->clear();
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  char buffer[4096];
  while (text->size() < maxBytes) {
    const size_t want = std::min(sizeof buffer, maxBytes - text->size());
    const ssize_t got = read(fd.get(), buffer, want);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    text->append(buffer, static_cast<size_t>(got));
  }
  return true;
}

FileReplacement::~FileReplacement() {
  fd_ = UniqueFd();
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
}

bool FileReplacement::create(const std::string& path) {
  path_ = path;
  std::string name = path + ".tmpXXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  UniqueFd fd(mkostemp(buffer.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  fd_ = std::move(fd);
  tempPath_ = buffer.data();
  return true;
}

bool FileReplacement::finishWriting() { return close(fd_.release()) == 0; }

bool FileReplacement::commit() {
  if ((fd_.valid() && !finishWriting()) || rename(tempPath_.c_str(), path_.c_str()) != 0) return false;
  tempPath_.clear();
  return true;
}

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): a path and its text, told apart by name
bool replaceFileContents(const std::string& path, const std::string& contents) {
  FileReplacement replacement;
  return replacement.create(path) &&
         writeFully(replacement.fd(), contents.data(), contents.size()) && replacement.commit();
}
