#ifndef KV_OS_FILE_DESCRIPTOR_H_
#define KV_OS_FILE_DESCRIPTOR_H_

// A file descriptor's owner, the loops around read and write that every user
// of one would otherwise write again, and replacing a file whole. Shared by
// the bootstrap and kv-pack.

#include <sys/stat.h>

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

/// Writes all bytes, retrying short and interrupted writes; false with errno
/// set when a write fails or writes nothing.
[[nodiscard]] bool writeFully(int fd, const void* data, size_t size);

/// The same at a given offset of the file, which does not move the file's position.
[[nodiscard]] bool writeFullyAt(int fd, uint64_t offset, const void* data, size_t size);

/// The file at path, opened for reading, with what fstat says of it in
/// *status; not valid, with errno set, when either fails.
UniqueFd openForReading(const std::string& path, struct stat* status);

/// The first maxBytes bytes of the file at path, all of it when it is
/// shorter: the one reader of the small files the programs keep and take
/// (a tag, a signing time, a key). False, with errno set, when it cannot be read.
[[nodiscard]] bool readFileStart(const std::string& path, size_t maxBytes, std::string* text);

/// A new file beside a path that takes the path's place only when committed,
/// so that a run cut short never leaves a partial file there; removed when
/// the object goes unless it was committed.
class FileReplacement {
 public:
  FileReplacement() = default;
  ~FileReplacement();
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  /// Makes the new file, path + ".tmpXXXXXX", mode 0600; false with errno set.
  [[nodiscard]] bool create(const std::string& path);
  int fd() const { return fd_.get(); }
  const std::string& tempPath() const { return tempPath_; }
  /// Closes the new file, so that a write the file system kept back fails
  /// here; false with errno set.
  [[nodiscard]] bool finishWriting();
  /// Closes the new file if still open and renames it to the path; false
  /// with errno set.
  [[nodiscard]] bool commit();

 private:
  std::string path_;
  std::string tempPath_;
  UniqueFd fd_;
};

/// Writes contents to a FileReplacement of path and commits it. False when
/// any step failed; path is then as it was.
bool replaceFileContents(const std::string& path, const std::string& contents);

#endif  // KV_OS_FILE_DESCRIPTOR_H_
