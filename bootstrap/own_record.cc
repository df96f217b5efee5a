// The bootstrap's record of itself, written at build time; kv-pack may
// rewrite its slots in a package.
#include "bootstrap/own_record.h"

#include <cstdint>
#include <cstring>
#include <iterator>

#include "build_config.h"
#include "formats/arch.h"
#include "formats/stub_record.h"

#if !defined(KV_RECORD_AGENT_KEY) || !defined(KV_RECORD_SIGNATURE_CHECK)
#error "KV_RECORD_AGENT_KEY and KV_RECORD_SIGNATURE_CHECK, the flavour's key and check, must be defined for the stub record"
#endif

namespace {

// Each field's value as the build gives it; a slot's room is its
// recordSlotBytes(), any other value takes its own length.
struct Field {
  const char* key;
  const char* value;
};
constexpr Field kFields[] = {
    {kStubVersionKey, KV_VERSION},
    {kStubPlatformKey, kPlatformTag},
    {kStubSignatureCheckKey, KV_RECORD_SIGNATURE_CHECK},
    {kStubAgentBaseUrlKey, KV_AGENT_BASE_URL},
    {kStubAgentKeyKey, KV_RECORD_AGENT_KEY},
    {kStubAgentSecondKeyKey, kNoAgentKey},
    {kStubAgentNotBeforeKey, kNoAgentNotBefore},
    {kStubPackageLengthKey, ""},
    {kStubUnpackedSizeKey, ""},
};

constexpr size_t textLength(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

constexpr bool sameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// The value as it is recorded: the build's base URL without the trailing
// slashes a vendor may give it, as kv-pack writes one.
constexpr size_t recordedLength(const Field& field) {
  size_t length = textLength(field.value);
  if (sameText(field.key, kStubAgentBaseUrlKey))
    while (length > 0 && field.value[length - 1] == '/') --length;
  return length;
}

constexpr size_t valueBytes(const Field& field) {
  const size_t slotBytes = recordSlotBytes(field.key);
  return slotBytes != 0 ? slotBytes : textLength(field.value) + 1;
}

// Every slot has its field, with a value that fits its room.
constexpr bool everySlotFits() {
  for (const RecordSlot& slot : kRecordSlots) {
    bool found = false;
    for (const Field& field : kFields)
      if (sameText(field.key, slot.key)) found = recordedLength(field) < slot.bytes;
    if (!found) return false;
  }
  return true;
}

constexpr size_t fieldBytes() {
  size_t total = 0;
  for (const Field& field : kFields) total += textLength(field.key) + 1 + valueBytes(field);
  return total;
}

// Where the value of the field named `key` starts in the description.
constexpr size_t valueOffset(const char* key) {
  size_t at = 0;
  for (const Field& field : kFields) {
    at += textLength(field.key) + 1;
    if (sameText(field.key, key)) return at;
    at += valueBytes(field);
  }
  return at;
}

// Owner and description each start on a 4-byte boundary in a note.
constexpr size_t padded(size_t size) { return (size + 3) & ~size_t{3}; }

struct StubRecordNote {
  uint32_t ownerSize = sizeof kStubRecordOwner;
  uint32_t descriptionSize = fieldBytes();
  uint32_t type = kStubRecordFormat;
  char owner[padded(sizeof kStubRecordOwner)] = {};
  char description[padded(fieldBytes())] = {};

  constexpr StubRecordNote() {
    for (size_t i = 0; i < sizeof kStubRecordOwner; ++i) owner[i] = kStubRecordOwner[i];
    size_t at = 0;
    for (const Field& field : kFields) {
      for (const char* c = field.key; *c != '\0'; ++c) description[at++] = *c;
      description[at++] = '=';
      const size_t end = at + valueBytes(field);
      for (size_t i = 0; i < recordedLength(field); ++i) description[at + i] = field.value[i];
      at = end;  // the rest of the value's room stays NUL
    }
  }
};

static_assert(everySlotFits(), "a slot has no field, or its value is longer than its room");

}  // namespace

// A note section, because the linker keeps notes through --gc-sections and
// strip keeps every section the program loads; "used" keeps the compiler and
// LTO from dropping a variable that no code reads. The alignment is the note
// format's own, which the compiler must not raise for a large object.
__attribute__((used, section(".note.kv-bootstrap"), aligned(4)))
constexpr StubRecordNote kStubRecordNote;

namespace {

// The record's bytes as the loaded file holds them. kv-pack changes the
// slots after the build, so the compiler must not put the values it knows
// in their place: the empty asm hides where the pointer comes from.
const char* ownSlot(size_t offset) {
  const char* description = kStubRecordNote.description;
  __asm__("" : "+r"(description));
  return description + offset;
}

// Where each slot of kRecordSlots starts in the description.
struct SlotOffsets {
  size_t at[std::size(kRecordSlots)] = {};
  constexpr SlotOffsets() {
    for (size_t i = 0; i < std::size(kRecordSlots); ++i) at[i] = valueOffset(kRecordSlots[i].key);
  }
};
constexpr SlotOffsets kSlotOffsets;

}  // namespace

const char* ownRecordSlot(const char* key) {
  for (size_t i = 0; i < std::size(kRecordSlots); ++i)
    if (strcmp(kRecordSlots[i].key, key) == 0) return ownSlot(kSlotOffsets.at[i]);
  return nullptr;
}
