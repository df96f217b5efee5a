#ifndef KV_FORMATS_STUB_RECORD_H_
#define KV_FORMATS_STUB_RECORD_H_

// The record a built bootstrap carries about itself, so that kv-pack can tell
// a stub from any other program, show what it was built for, and set the
// agent server and key of each package it makes. It is an ELF note: owner
// kStubRecordOwner, type kStubRecordFormat, and as description a run of
// "key=value" fields, each ended by a NUL byte.
//
// Format 2 adds slots (kRecordSlots): fields whose value has a fixed room
// right after the "key=", filled with NUL bytes after the value. kv-pack
// rewrites them in the package's copy of the stub; the bootstrap reads them
// from its own record in memory (bootstrap/own_record.h). A reader skips the
// empty fields the filling makes, and a field it does not know, so a slot
// added later needs no new format: a stub without it lacks the slot, and an
// older kv-pack leaves it as the build made it.

#include <cstddef>
#include <cstring>

inline constexpr char kStubRecordOwner[] = "kv-bootstrap";
/// The note type, and so the record's format: raised whenever a reader of
/// the old format would misread the new one.
inline constexpr unsigned kStubRecordFormat = 2;
/// The first format, without slots: its fields are version, agent-base-url,
/// signing-key (a key id, or "none") and, in later stubs, platform.
inline constexpr unsigned kStubRecordFormatWithoutSlots = 1;

inline constexpr char kStubVersionKey[] = "version";
/// The platform tag of the agent URL and cache ("tux64le", "tuxarm64le").
/// Format 1 stubs built before it lack it.
inline constexpr char kStubPlatformKey[] = "platform";
/// What the stub can check a downloaded agent with: kSignatureCheckEd25519,
/// or "none" for a stub without signature code.
inline constexpr char kStubSignatureCheckKey[] = "signature-check";
inline constexpr char kSignatureCheckEd25519[] = "ed25519";
/// Slot: scheme and host, maybe a path, the agent is downloaded from.
inline constexpr char kStubAgentBaseUrlKey[] = "agent-base-url";
/// Slot: the second line of the vendor's minisign.pub, or kNoAgentKey.
inline constexpr char kStubAgentKeyKey[] = "agent-key";
inline constexpr char kNoAgentKey[] = "none";
/// Slot: a second key, for a rotation from one key to another, or kNoAgentKey.
/// Stubs built before it lack it.
inline constexpr char kStubAgentSecondKeyKey[] = "agent-key-2";
/// Slot: the earliest signing time accepted, in decimal seconds since 1970,
/// or kNoAgentNotBefore. Stubs built before it lack it.
inline constexpr char kStubAgentNotBeforeKey[] = "agent-not-before";
inline constexpr char kNoAgentNotBefore[] = "none";
/// Slot: the package's whole length in bytes, in decimal, which kv-pack
/// writes once the package is complete: a file cut short or grown on its way
/// to the user is told so before anything is unpacked. Empty in a stub.
inline constexpr char kStubPackageLengthKey[] = "package-length";
/// Slot: the bytes unzip writes when it unpacks the package's archive, in
/// decimal, held against the free space before unzip starts. Empty in a stub.
inline constexpr char kStubUnpackedSizeKey[] = "unpacked-size";
/// Format 1's key id field.
inline constexpr char kStubSigningKeyKey[] = "signing-key";

/// Each slot's room, its terminating NUL included.
inline constexpr size_t kAgentBaseUrlSlotBytes = 256;
inline constexpr size_t kAgentKeySlotBytes = 64;
/// Eleven digits: seconds into the year 5138; kv-pack writes no floor later
/// than tomorrow.
inline constexpr size_t kAgentNotBeforeSlotBytes = 12;
/// Room for the decimal digits of any 64-bit count.
inline constexpr size_t kSizeSlotBytes = 21;

/// A field of format 2 with a fixed room that kv-pack fills for a package.
struct RecordSlot {
  const char* key;
  size_t bytes;  ///< the room, the value's terminating NUL included
};

/// Every slot, in the order the record holds them.
inline constexpr RecordSlot kRecordSlots[] = {
    {kStubAgentBaseUrlKey, kAgentBaseUrlSlotBytes},
    {kStubAgentKeyKey, kAgentKeySlotBytes},
    {kStubAgentSecondKeyKey, kAgentKeySlotBytes},
    {kStubAgentNotBeforeKey, kAgentNotBeforeSlotBytes},
    {kStubPackageLengthKey, kSizeSlotBytes},
    {kStubUnpackedSizeKey, kSizeSlotBytes},
};

/// The room of the slot named key; 0 when key names no slot.
constexpr size_t recordSlotBytes(const char* key) {
  for (const RecordSlot& slot : kRecordSlots) {
    const char* a = slot.key;
    const char* b = key;
    while (*a != '\0' && *a == *b) ++a, ++b;
    if (*a == *b) return slot.bytes;
  }
  return 0;
}

/// The value in a slot of `bytes` bytes, as a C string; nullptr when the
/// slot holds no NUL to end it (damaged by hand).
inline const char* slotValue(const char* slot, size_t bytes) {
  return memchr(slot, '\0', bytes) != nullptr ? slot : nullptr;
}

#endif  // KV_FORMATS_STUB_RECORD_H_
