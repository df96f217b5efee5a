// The bootstrap's record of itself, written at build time.
#include "bootstrap/stub_record.h"

#include <cstddef>
#include <cstdint>

#include "agent/platform_tag.h"

#if !defined(KV_VERSION) || !defined(KV_RECORD_AGENT_BASE_URL) || !defined(KV_SIGNING_KEY_ID)
#error "KV_VERSION, KV_RECORD_AGENT_BASE_URL and KV_SIGNING_KEY_ID must be defined for the stub record"
#endif

namespace {

struct Field {
  const char* key;
  const char* value;
};
constexpr Field kFields[] = {
    {kStubVersionKey, KV_VERSION},
    {kStubAgentBaseUrlKey, KV_RECORD_AGENT_BASE_URL},
    {kStubSigningKeyKey, KV_SIGNING_KEY_ID},
    {kStubPlatformKey, kPlatformTag},
};

constexpr size_t textLength(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

constexpr size_t fieldBytes() {
  size_t total = 0;
  for (const Field& field : kFields) total += textLength(field.key) + 1 + textLength(field.value) + 1;
  return total;
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
      for (const char* c = field.value; *c != '\0'; ++c) description[at++] = *c;
      description[at++] = '\0';
    }
  }
};

}  // namespace

// A note section, because the linker keeps notes through --gc-sections and
// strip keeps every section the program loads; "used" keeps the compiler and
// LTO from dropping a variable that no code reads. The alignment is the note
// format's own, which the compiler must not raise for a large object.
__attribute__((used, section(".note.kv-bootstrap"), aligned(4)))
constexpr StubRecordNote kStubRecordNote;
