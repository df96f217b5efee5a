#include "bootstrap/package_size.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include "bootstrap/own_record.h"
#include "formats/size_slot.h"
#include "formats/stub_record.h"
#include "os/byte_count.h"
#include "os/executable_path.h"

namespace {

// A size slot, and what a message calls it.
struct SizeField {
  const char* key;
  const char* name;
};
constexpr SizeField kLengthField{kStubPackageLengthKey, "recorded length"};
constexpr SizeField kUnpackedField{kStubUnpackedSizeKey, "recorded unpacked size"};

bool readSlot(const SizeField& field, std::optional<uint64_t>* bytes, ReportFn report) {
  uint64_t value = 0;
  switch (readSizeSlot(slotValue(ownRecordSlot(field.key), kSizeSlotBytes), &value)) {
    case SizeSlot::kNotRecorded:
      return true;
    case SizeSlot::kRecorded:
      *bytes = value;
      return true;
    case SizeSlot::kDamaged:
      break;
  }
  std::string message = "This installer is damaged: its ";
  message += field.name;
  message += " is not a number of bytes. Download it again, or ask its vendor for a new copy.";
  report(message, true);
  return false;
}

// A count of bytes, and the same as people read it.
void appendBothWays(uint64_t bytes, std::string* message) {
  *message += std::to_string(bytes);
  *message += " bytes (";
  *message += bytesForHumans(bytes);
  *message += ')';
}

}  // namespace

bool readPackageSizes(PackageSizes* sizes, ReportFn report) {
  return readSlot(kLengthField, &sizes->length, report) &&
         readSlot(kUnpackedField, &sizes->unpacked, report);
}

bool packageIsWhole(const PackageSizes& sizes, ReportFn report) {
  struct stat own;
  // By the path unzip is given: under qemu-user, /proc/self/exe itself is
  // the emulator, and only the link's target names the package.
  if (!sizes.length || stat(executablePath().c_str(), &own) != 0) return true;
  const auto actual = static_cast<uint64_t>(own.st_size);
  if (actual == *sizes.length) return true;
  std::string message = "This installer is incomplete or damaged: its file has ";
  message += std::to_string(actual);
  message += " bytes, but it was made with ";
  message += std::to_string(*sizes.length);
  message += " bytes. Download it again.";
  report(message, true);
  return false;
}

bool roomToUnpack(const std::string& dir, const PackageSizes& sizes, const std::string& shownDir,
                  ReportFn report) {
  struct statvfs fs;
  // A file system that tells nothing leaves it to unzip to find out.
  if (!sizes.unpacked || statvfs(dir.c_str(), &fs) != 0) return true;
  // What a user without the file system's reserve may write, as df shows it.
  const uint64_t free = static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
  if (*sizes.unpacked <= free) return true;
  std::string message = "Not enough free space in ";
  message += shownDir;
  message += " to unpack this installer: it needs ";
  appendBothWays(*sizes.unpacked, &message);
  message += ", and ";
  appendBothWays(free, &message);
  message += " are free. Make room there, and run it again.";
  report(message, true);
  return false;
}
