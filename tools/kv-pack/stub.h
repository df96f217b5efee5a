#ifndef KV_TOOLS_KV_PACK_STUB_H_
#define KV_TOOLS_KV_PACK_STUB_H_

#include <cstdint>
#include <map>
#include <string>

#include "tools/kv-pack/elf_image.h"

/// A slot of the record: a value with a fixed room that kv-pack may rewrite.
struct StubSlot {
  uint64_t offset = 0;  ///< where its room starts in the file
  size_t bytes = 0;     ///< the room, the value's terminating NUL included
};

/// A bootstrap's record of itself (formats/stub_record.h).
struct StubRecord {
  enum State { kFound, kMissing, kOtherFormat, kDamaged };
  State state = kMissing;
  uint32_t format = 0;  ///< the note type, when a note of our owner was found
  std::string version;
  std::string agentBaseUrl;
  /// The base64 line of the key agents are checked with, or "none"; empty
  /// in format 1, which records only the key's id.
  std::string agentKey;
  std::string signingKeyId;    ///< the key's id, or "none"
  /// The second key's id, or "none"; empty in stubs built before its slot.
  std::string secondKeyId;
  /// The earliest signing time agents must have, in seconds since 1970, or
  /// "none"; empty in stubs built before its slot.
  std::string agentNotBefore;
  std::string signatureCheck;  ///< "ed25519" or "none"
  std::string platform;        ///< empty in stubs built before the field
  /// The size slots' values, as written: decimal digits in a package, empty
  /// in a stub and where the record has no such slot (formats/size_slot.h).
  std::string packageLength, unpackedSize;
  /// The slots the record has, by key (formats/stub_record.h); none in format 1.
  std::map<std::string, StubSlot> slots;

  /// The slot named key; nullptr when the record has none of that name.
  const StubSlot* slot(const char* key) const;
  bool hasSlots() const { return !slots.empty(); }
  bool checksSignatures() const;
};

/// The start of a bootstrap file or of a package.
struct StubFile {
  uint64_t fileSize = 0;
  ElfImage image;
  StubRecord record;
};

/// Reads the ELF image at the start of the file and the stub record in it.
/// `role` names the file in messages ("bootstrap" gives "bootstrap PATH ...").
[[nodiscard]] bool readStubFile(const std::string& path, const std::string& role, StubFile* stub,
                                std::string* err);

/// "x86-64" and "aarch64" for theirs, else "ELF machine N".
std::string elfMachineName(uint16_t machine);

/// Reads the record from the image's notes.
StubRecord findStubRecord(const ElfImage& image);

/// What is wrong with a record that is not kFound, in the two forms kv-pack
/// says it: --info's "record" line, and an error that follows "PATH ".
struct StubRecordTrouble {
  std::string shortly;   ///< "none", "damaged", ...
  std::string sentence;  ///< "is not a kv-bootstrap stub: it carries no stub record", ...
};
StubRecordTrouble stubRecordTrouble(const StubRecord& record);

#endif  // KV_TOOLS_KV_PACK_STUB_H_
