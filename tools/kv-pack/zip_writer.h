#ifndef KV_TOOLS_KV_PACK_ZIP_WRITER_H_
#define KV_TOOLS_KV_PACK_ZIP_WRITER_H_

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

/// What the archive records about a member besides its bytes.
struct ZipMemberInfo {
  std::string name;
  time_t mtime = 0;
  time_t atime = 0;
  bool dosTimeInUtc = false;  ///< else local time, as zip does
  uid_t uid = 0;
  gid_t gid = 0;
  mode_t mode = 0644;  ///< permission bits; the member is always a regular file
};

/// Writes a ZIP archive of stored members onto the end of an open file, laid
/// out as Info-ZIP zip 3.0 writes "zip -0" on Unix. Every offset it records
/// counts from the start of that file, so whatever precedes the archive there
/// becomes a leading stub of one valid ZIP file.
class ZipWriter {
 public:
  /// `fd` is open for writing and positioned at `start`.
  ZipWriter(int fd, uint64_t start) : fd_(fd), position_(start) {}

  /// Streams the file at `path` in as the next member, reading it once.
  [[nodiscard]] bool addFile(const std::string& path, const ZipMemberInfo& info, std::string* err);
  /// Writes the central directory and the end records.
  [[nodiscard]] bool finish(std::string* err);

  /// The bytes of all members added: what unzip writes when it unpacks them.
  uint64_t memberBytes() const;

  /// Sizes and offsets from this value on are written as ZIP64 records. Only
  /// tests lower it, to reach those records without writing 4 GiB.
  void setZip64Threshold(uint64_t threshold) { zip64Threshold_ = threshold; }

 private:
  struct Entry {
    ZipMemberInfo info;
    uint32_t crc = 0;
    uint64_t size = 0;
    uint64_t offset = 0;
  };

  bool needsZip64(uint64_t value) const { return value >= zip64Threshold_; }
  void putSharedFields(std::string& header, const Entry& entry, size_t extraSize) const;
  std::string localHeader(const Entry& entry) const;
  std::string centralHeader(const Entry& entry) const;
  std::string endRecords(uint64_t directoryOffset, uint64_t directorySize) const;
  bool writeAll(const std::string& bytes, std::string* err);

  int fd_;
  uint64_t position_;
  uint64_t zip64Threshold_ = 0xFFFFFFFFu;
  std::vector<Entry> entries_;
};

#endif  // KV_TOOLS_KV_PACK_ZIP_WRITER_H_
