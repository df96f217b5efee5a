#ifndef KV_BOOTSTRAP_FILE_DESCRIPTOR_H_
#define KV_BOOTSTRAP_FILE_DESCRIPTOR_H_

// A file descriptor's owner and the loops around read and write that every
// user of one would otherwise write again. Shared by the bootstrap and kv-pack.

#include <sys/stat.h>

#include <cstddef>
#include <string>

/// Owns a file descriptor and closes it when it goes.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd();
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

/// Writes all bytes, retrying short and interrupted writes; false with errno
/// set when a write fails or writes nothing.
[[nodiscard]] bool writeFully(int fd, const void* data, size_t size);

/// The file at path, opened for reading, with what fstat says of it in
/// *status; not valid, with errno set, when either fails.
UniqueFd openForReading(const std::string& path, struct stat* status);

#endif  // KV_BOOTSTRAP_FILE_DESCRIPTOR_H_
