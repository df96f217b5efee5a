#ifndef KV_FORMATS_SIZE_SLOT_H_
#define KV_FORMATS_SIZE_SLOT_H_

// The record's size slots (kStubPackageLengthKey, kStubUnpackedSizeKey in
// formats/stub_record.h): a count of bytes in decimal digits, which kv-pack
// writes into a package; a stub, and a package made before the slots, holds
// none.

#include <cstdint>

enum class SizeSlot { kNotRecorded, kRecorded, kDamaged };

/// Reads a size slot's value as slotValue() gives it. A slot without its end
/// (nullptr), or one that holds anything but decimal digits of a count that
/// fits 64 bits, is kDamaged; *bytes is set for kRecorded only.
inline SizeSlot readSizeSlot(const char* value, uint64_t* bytes) {
  if (value == nullptr) return SizeSlot::kDamaged;
  if (*value == '\0') return SizeSlot::kNotRecorded;
  uint64_t count = 0;
  for (const char* c = value; *c != '\0'; ++c) {
    if (*c < '0' || *c > '9') return SizeSlot::kDamaged;
    const auto digit = static_cast<uint64_t>(*c - '0');
    if (count > (UINT64_MAX - digit) / 10) return SizeSlot::kDamaged;
    count = count * 10 + digit;
  }
  *bytes = count;
  return SizeSlot::kRecorded;
}

#endif  // KV_FORMATS_SIZE_SLOT_H_
