#include "tools/kv-pack/stub.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/size_slot.h"
#include "formats/stub_record.h"
#include "tests/test_util.h"

namespace {

std::string field(const std::string& key, const std::string& value) {
  return key + "=" + value + std::string(1, '\0');
}

// A slot's field: the value in a room of `bytes` bytes, NUL-filled.
std::string slotField(const std::string& key, const std::string& value, size_t bytes) {
  std::string room = value;
  room.resize(bytes, '\0');
  return key + "=" + room;
}

ElfImage imageWith(unsigned type, const std::string& description, const std::string& owner = kStubRecordOwner) {
  ElfImage image;
  image.notes.push_back({"GNU", 3, "build id", 100});
  image.notes.push_back({owner, type, description, 1000});
  return image;
}

}  // namespace

// Every record a stub of any release carries is read, or told apart as what
// it is: a reader that demands a later field of an earlier format would
// refuse every stub of that release.
TEST(StubRecordTest, RecordsOfEveryFormatAreReadOrToldApart) {
  const std::string url = "https://agents.example.org";
  const std::string format2 = field("version", "1.0.0") + field("platform", "tux64le") +
                              field("signature-check", "none") +
                              slotField("agent-base-url", url, kAgentBaseUrlSlotBytes) +
                              slotField("agent-key", "none", kAgentKeySlotBytes);
  const std::string keyed2 = field("version", "1.0.0") + field("platform", "tux64le") +
                             field("signature-check", "ed25519") +
                             slotField("agent-base-url", url, kAgentBaseUrlSlotBytes) +
                             slotField("agent-key", testKeyLine(), kAgentKeySlotBytes);
  // A rotation's second key (the id 01 ... 08) and a floor, in stubs built since their slots.
  const std::string rotation =
      keyed2 + slotField("agent-key-2", "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", kAgentKeySlotBytes) +
      slotField("agent-not-before", "1700000000", kAgentNotBeforeSlotBytes);
  const std::string unset = format2 + slotField("agent-key-2", "none", kAgentKeySlotBytes) +
                            slotField("agent-not-before", "none", kAgentNotBeforeSlotBytes);
  struct {
    std::string what;
    ElfImage image;
    StubRecord::State state;
    std::string version{}, platform{}, keyId{}, check{};
    std::string secondKeyId{}, notBefore{};  ///< empty: the stub has no such slot
    std::string length{}, unpacked{};
  } cases[] = {
      {"format 2", imageWith(2, format2), StubRecord::kFound, "1.0.0", "tux64le", "none", "none"},
      {"format 2 with a key", imageWith(2, keyed2), StubRecord::kFound, "1.0.0", "tux64le",
       testKeyId(), "ed25519"},
      {"format 2 with a field this kv-pack does not know",
       imageWith(2, field("later", "x") + format2), StubRecord::kFound, "1.0.0", "tux64le", "none", "none"},
      {"format 2 with the sizes of a package",
       imageWith(2, format2 + slotField("package-length", "393950", kSizeSlotBytes) +
                        slotField("unpacked-size", "18446744073709551615", kSizeSlotBytes)),
       StubRecord::kFound, "1.0.0", "tux64le", "none", "none", "", "", "393950", "18446744073709551615"},
      {"a size that fills its room",
       imageWith(2, format2 + "package-length=" + std::string(kSizeSlotBytes, '1')), StubRecord::kDamaged},
      {"format 1", imageWith(1, field("version", "0.9") + field("agent-base-url", url) +
                                    field("signing-key", "none") + field("platform", "tux64le")),
       StubRecord::kFound, "0.9", "tux64le", "none", "none"},
      {"format 1 before the platform field",
       imageWith(1, field("version", "0.8") + field("agent-base-url", url) + field("signing-key", "ABCD")),
       StubRecord::kFound, "0.8", "", "ABCD", "ed25519"},
      {"format 2 with two keys and a floor", imageWith(2, rotation), StubRecord::kFound, "1.0.0", "tux64le",
       testKeyId(), "ed25519", "0807060504030201", "1700000000"},
      {"format 2 with the rotation's slots unset", imageWith(2, unset), StubRecord::kFound, "1.0.0", "tux64le",
       "none", "none", "none", "none"},
      {"a second key slot that holds no minisign key",
       imageWith(2, keyed2 + slotField("agent-key-2", std::string(56, 'A'), kAgentKeySlotBytes)), StubRecord::kDamaged},
      {"a floor that is no number",
       imageWith(2, format2 + slotField("agent-not-before", "soon", kAgentNotBeforeSlotBytes)), StubRecord::kDamaged},
      {"a floor that fills its room",
       imageWith(2, format2 + "agent-not-before=" + std::string(kAgentNotBeforeSlotBytes, '1')), StubRecord::kDamaged},
      {"format 3", imageWith(3, format2), StubRecord::kOtherFormat},
      {"no record", imageWith(2, format2, "GNU"), StubRecord::kMissing},
      {"no version", imageWith(2, format2.substr(format2.find("platform"))), StubRecord::kDamaged},
      {"format 1 without its key id",
       imageWith(1, field("version", "0.8") + field("agent-base-url", url)), StubRecord::kDamaged},
      {"a URL that fills its room", imageWith(2, field("version", "1") + field("platform", "p") +
                                                    field("signature-check", "none") +
                                                    "agent-base-url=" + std::string(kAgentBaseUrlSlotBytes, 'a') +
                                                    slotField("agent-key", "none", kAgentKeySlotBytes)),
       StubRecord::kDamaged},
      {"a key slot that holds no minisign key",
       imageWith(2, field("version", "1") + field("platform", "p") + field("signature-check", "ed25519") +
                        slotField("agent-base-url", url, kAgentBaseUrlSlotBytes) +
                        slotField("agent-key", std::string(56, 'A'), kAgentKeySlotBytes)),
       StubRecord::kDamaged},
      {"a field without its NUL", imageWith(2, format2 + "version=2"), StubRecord::kDamaged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const StubRecord record = findStubRecord(c.image);
    EXPECT_EQ(c.state, record.state);
    if (c.state != StubRecord::kFound) continue;
    EXPECT_EQ(c.version, record.version);
    EXPECT_EQ(url, record.agentBaseUrl);
    EXPECT_EQ(c.platform, record.platform);
    EXPECT_EQ(c.keyId, record.signingKeyId);
    EXPECT_EQ(c.check, record.signatureCheck);
    EXPECT_EQ(c.secondKeyId, record.secondKeyId);
    EXPECT_EQ(c.notBefore, record.agentNotBefore);
    EXPECT_EQ(!c.notBefore.empty(), record.slot(kStubAgentNotBeforeKey) != nullptr);
    EXPECT_EQ(!c.secondKeyId.empty(), record.slot(kStubAgentSecondKeyKey) != nullptr);
    EXPECT_EQ(c.length, record.packageLength);
    EXPECT_EQ(c.unpacked, record.unpackedSize);
    EXPECT_EQ(record.format >= 2, record.hasSlots());
    if (record.hasSlots()) {
      const size_t urlAt = c.image.notes[1].description.find("agent-base-url=") + 15;
      ASSERT_NE(nullptr, record.slot(kStubAgentBaseUrlKey));
      EXPECT_EQ(1000 + urlAt, record.slot(kStubAgentBaseUrlKey)->offset);
      EXPECT_EQ(kAgentBaseUrlSlotBytes, record.slot(kStubAgentBaseUrlKey)->bytes);
      EXPECT_EQ(kAgentKeySlotBytes, record.slot(kStubAgentKeyKey)->bytes);
      if (const StubSlot* floor = record.slot(kStubAgentNotBeforeKey)) {
        EXPECT_EQ(1000 + c.image.notes[1].description.find("agent-not-before=") + 17, floor->offset);
        EXPECT_EQ(kAgentNotBeforeSlotBytes, floor->bytes);
      }
    }
  }
}

// What a size slot may hold: nothing (a package made before the slots), or
// the decimal digits of a 64-bit count; anything else is a damaged package,
// which neither the bootstrap nor --info takes for a size.
TEST(SizeSlotTest, HoldsNothingOrA64BitCount) {
  struct {
    const char* value;
    SizeSlot state;
    uint64_t bytes;
  } cases[] = {
      {"", SizeSlot::kNotRecorded, 0},
      {"0", SizeSlot::kRecorded, 0},
      {"393950", SizeSlot::kRecorded, 393950},
      {"18446744073709551615", SizeSlot::kRecorded, UINT64_MAX},
      {"18446744073709551616", SizeSlot::kDamaged, 0},
      {"99999999999999999999", SizeSlot::kDamaged, 0},
      {"12x", SizeSlot::kDamaged, 0},
      {"-1", SizeSlot::kDamaged, 0},
      {" 1", SizeSlot::kDamaged, 0},
      {nullptr, SizeSlot::kDamaged, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value != nullptr ? c.value : "no end");
    uint64_t bytes = 0;
    EXPECT_EQ(c.state, readSizeSlot(c.value, &bytes));
    EXPECT_EQ(c.bytes, bytes);
  }
}
