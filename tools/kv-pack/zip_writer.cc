#include "tools/kv-pack/zip_writer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>

#include "tools/kv-pack/file_io.h"

namespace {

constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kZip64EndSignature = 0x06064b50;
constexpr uint32_t kZip64LocatorSignature = 0x07064b50;
constexpr uint16_t kMadeByUnixZip30 = (3 << 8) | 30;
constexpr uint16_t kNeededStored = 10;
constexpr uint16_t kNeededZip64 = 45;
constexpr uint16_t kExtraTimestamp = 0x5455;  // "UT"
constexpr uint16_t kExtraUnixOwner = 0x7875;  // "ux"
constexpr uint16_t kExtraZip64 = 0x0001;
constexpr uint8_t kTimestampModAndAccess = 0x03;
constexpr uint32_t kMarker32 = 0xFFFFFFFFu;
constexpr uint16_t kMarker16 = 0xFFFF;
constexpr uint8_t kDosReadOnly = 0x01;
constexpr size_t kCrcOffsetInLocalHeader = 14;

void put16(std::string& out, uint32_t value) {
  out += static_cast<char>(value & 0xFF);
  out += static_cast<char>((value >> 8) & 0xFF);
}

void put32(std::string& out, uint32_t value) {
  put16(out, value & 0xFFFF);
  put16(out, value >> 16);
}

void put64(std::string& out, uint64_t value) {
  put32(out, static_cast<uint32_t>(value));
  put32(out, static_cast<uint32_t>(value >> 32));
}

// The "UT" field holds 32-bit Unix times; zip 3.0 truncates larger ones too.
uint32_t unixTime32(time_t t) { return static_cast<uint32_t>(t); }

// DOS time and date as zip 3.0 computes them: rounded up to even seconds,
// and clamped to 1980-01-01 00:00:00 for anything earlier.
uint32_t dosDateTime(time_t t, bool utc) {
  time_t even = (t + 1) & ~static_cast<time_t>(1);
  struct tm parts = {};
  if ((utc ? gmtime_r(&even, &parts) : localtime_r(&even, &parts)) == nullptr) return 0x00210000;
  int year = parts.tm_year + 1900;
  if (year < 1980) return 0x00210000;
  if (year > 2107) return (127u << 25) | (12u << 21) | (31u << 16) | (23u << 11) | (59u << 5) | 29u;
  uint32_t date = (static_cast<uint32_t>(year - 1980) << 9) |
                  (static_cast<uint32_t>(parts.tm_mon + 1) << 5) |
                  static_cast<uint32_t>(parts.tm_mday);
  uint32_t time = (static_cast<uint32_t>(parts.tm_hour) << 11) |
                  (static_cast<uint32_t>(parts.tm_min) << 5) |
                  static_cast<uint32_t>(parts.tm_sec / 2);
  return (date << 16) | time;
}

void putUnixOwner(std::string& out, const ZipMemberInfo& info) {
  put16(out, kExtraUnixOwner);
  put16(out, 11);
  out += '\x01';  // version
  out += '\x04';
  put32(out, static_cast<uint32_t>(info.uid));
  out += '\x04';
  put32(out, static_cast<uint32_t>(info.gid));
}

}  // namespace

// The run of fields local and central headers have in common, from the version
// needed to extract up to the extra field's length.
void ZipWriter::putSharedFields(std::string& header, const Entry& entry, size_t extraSize) const {
  bool bigSize = needsZip64(entry.size);
  put16(header, bigSize ? kNeededZip64 : kNeededStored);
  put16(header, 0);  // flags
  put16(header, 0);  // stored
  put32(header, dosDateTime(entry.info.mtime, entry.info.dosTimeInUtc));
  put32(header, entry.crc);
  uint32_t size32 = bigSize ? kMarker32 : static_cast<uint32_t>(entry.size);
  put32(header, size32);
  put32(header, size32);
  put16(header, static_cast<uint32_t>(entry.info.name.size()));
  put16(header, static_cast<uint32_t>(extraSize));
}

std::string ZipWriter::localHeader(const Entry& entry) const {
  const ZipMemberInfo& info = entry.info;
  bool bigSize = needsZip64(entry.size);
  std::string extra;
  put16(extra, kExtraTimestamp);
  put16(extra, 9);
  extra += static_cast<char>(kTimestampModAndAccess);
  put32(extra, unixTime32(info.mtime));
  put32(extra, unixTime32(info.atime));
  putUnixOwner(extra, info);
  if (bigSize) {
    put16(extra, kExtraZip64);
    put16(extra, 16);
    put64(extra, entry.size);
    put64(extra, entry.size);
  }

  std::string header;
  put32(header, kLocalSignature);
  putSharedFields(header, entry, extra.size());
  return header + info.name + extra;
}

std::string ZipWriter::centralHeader(const Entry& entry) const {
  const ZipMemberInfo& info = entry.info;
  bool bigSize = needsZip64(entry.size);
  bool bigOffset = needsZip64(entry.offset);
  std::string extra;
  put16(extra, kExtraTimestamp);
  put16(extra, 5);
  extra += static_cast<char>(kTimestampModAndAccess);
  put32(extra, unixTime32(info.mtime));
  putUnixOwner(extra, info);
  if (bigSize || bigOffset) {
    put16(extra, kExtraZip64);
    put16(extra, (bigSize ? 16 : 0) + (bigOffset ? 8 : 0));
    if (bigSize) {
      put64(extra, entry.size);
      put64(extra, entry.size);
    }
    if (bigOffset) put64(extra, entry.offset);
  }

  uint32_t mode = S_IFREG | (info.mode & 07777);
  uint32_t dosAttributes = (info.mode & S_IWUSR) != 0 ? 0 : kDosReadOnly;
  std::string header;
  put32(header, kCentralSignature);
  put16(header, kMadeByUnixZip30);
  putSharedFields(header, entry, extra.size());
  put16(header, 0);  // comment length
  put16(header, 0);  // disk number
  put16(header, 0);  // internal attributes: zip -0 never marks text
  put32(header, (mode << 16) | dosAttributes);
  put32(header, bigOffset ? kMarker32 : static_cast<uint32_t>(entry.offset));
  return header + info.name + extra;
}

std::string ZipWriter::endRecords(uint64_t directoryOffset, uint64_t directorySize) const {
  uint64_t count = entries_.size();
  bool bigCount = count >= kMarker16;
  bool bigSize = needsZip64(directorySize);
  bool bigOffset = needsZip64(directoryOffset);
  std::string records;
  if (bigCount || bigSize || bigOffset) {
    uint64_t zip64EndOffset = directoryOffset + directorySize;
    put32(records, kZip64EndSignature);
    put64(records, 44);  // size of the rest of this record
    put16(records, kMadeByUnixZip30);
    put16(records, kNeededZip64);
    put32(records, 0);  // this disk
    put32(records, 0);  // disk of the central directory
    put64(records, count);
    put64(records, count);
    put64(records, directorySize);
    put64(records, directoryOffset);
    put32(records, kZip64LocatorSignature);
    put32(records, 0);  // disk of the ZIP64 end record
    put64(records, zip64EndOffset);
    put32(records, 1);  // total disks
  }
  put32(records, kEndSignature);
  put16(records, 0);  // this disk
  put16(records, 0);  // disk of the central directory
  uint32_t count16 = bigCount ? kMarker16 : static_cast<uint32_t>(count);
  put16(records, count16);
  put16(records, count16);
  put32(records, bigSize ? kMarker32 : static_cast<uint32_t>(directorySize));
  put32(records, bigOffset ? kMarker32 : static_cast<uint32_t>(directoryOffset));
  put16(records, 0);  // comment length
  return records;
}

bool ZipWriter::writeAll(const std::string& bytes, std::string* err) {
  if (!writeFully(fd_, bytes.data(), bytes.size())) {
    *err = errnoText("cannot write the package");
    return false;
  }
  position_ += bytes.size();
  return true;
}

bool ZipWriter::addFile(const std::string& path, const ZipMemberInfo& info, std::string* err) {
  struct stat status;
  const UniqueFd in = openForReading(path, &status);
  if (!in.valid()) {
    *err = errnoText("cannot read " + path);
    return false;
  }
  Entry entry;
  entry.info = info;
  entry.size = static_cast<uint64_t>(status.st_size);
  entry.offset = position_;
  // The CRC is known only once the data has passed, so the header gets it afterwards.
  if (!writeAll(localHeader(entry), err)) return false;
  if (!copyBytes(in.get(), path, fd_, entry.size, &entry.crc, err)) return false;
  position_ += entry.size;

  char crc[4];
  for (int i = 0; i < 4; ++i) crc[i] = static_cast<char>((entry.crc >> (8 * i)) & 0xFF);
  off_t crcAt = static_cast<off_t>(entry.offset + kCrcOffsetInLocalHeader);
  if (pwrite(fd_, crc, sizeof crc, crcAt) != static_cast<ssize_t>(sizeof crc)) {
    *err = errnoText("cannot write the package");
    return false;
  }
  entries_.push_back(entry);
  return true;
}

uint64_t ZipWriter::memberBytes() const {
  uint64_t total = 0;
  for (const Entry& entry : entries_) total += entry.size;
  return total;
}

bool ZipWriter::finish(std::string* err) {
  uint64_t directoryOffset = position_;
  std::string directory;
  for (const Entry& entry : entries_) directory += centralHeader(entry);
  if (!writeAll(directory, err)) return false;
  return writeAll(endRecords(directoryOffset, directory.size()), err);
}
