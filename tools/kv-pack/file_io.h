#ifndef KV_TOOLS_KV_PACK_FILE_IO_H_
#define KV_TOOLS_KV_PACK_FILE_IO_H_

#include <cstddef>
#include <cstdint>
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

/// Writes all bytes, retrying short writes; false with errno set on failure.
[[nodiscard]] bool writeFully(int fd, const void* data, size_t size);

/// Copies exactly `size` bytes from `in` (read from its current position) to
/// the end of `out`, feeding them to a CRC-32 when `crc` is given. Fails when
/// the input ends early or grows, so a file changed under us is not shipped.
[[nodiscard]] bool copyBytes(int in, const std::string& inName, int out, uint64_t size,
                             uint32_t* crc, std::string* err);

/// The path made absolute against the working directory, without resolving
/// links; unchanged when it already is.
std::string absolutePath(const std::string& path);

/// "what: strerror(errno)", for error messages.
std::string errnoText(const std::string& what);

#endif  // KV_TOOLS_KV_PACK_FILE_IO_H_
