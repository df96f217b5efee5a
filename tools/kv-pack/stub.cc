#include "tools/kv-pack/stub.h"

#include <sys/stat.h>

#include <vector>

#include "formats/arch.h"
#include "formats/minisig.h"
#include "formats/stub_record.h"
#include "tools/kv-pack/file_io.h"

namespace {

// A field of the description: "key=value" ended by a NUL byte, or, for a
// slot, "key=" and the slot's room.
struct Field {
  std::string name, value;
  size_t valueAt = 0;
};

// Splits the description into fields; a slot's room must hold its value's
// end. Format 2 fills rooms with NUL bytes, whose empty fields are skipped.
bool splitFields(const std::string& description, unsigned format, std::vector<Field>* fields) {
  size_t at = 0;
  while (at < description.size()) {
    if (description[at] == '\0' && format >= kStubRecordFormat) {
      ++at;
      continue;
    }
    Field field;
    const size_t equals = description.find('=', at);
    if (equals == std::string::npos) return false;
    field.name = description.substr(at, equals - at);
    if (field.name.find('\0') != std::string::npos) return false;
    field.valueAt = equals + 1;
    const size_t room = format >= kStubRecordFormat ? recordSlotBytes(field.name.c_str()) : 0;
    size_t end = description.find('\0', field.valueAt);
    if (end == std::string::npos || (room != 0 && end >= field.valueAt + room)) return false;
    field.value = description.substr(field.valueAt, end - field.valueAt);
    at = room != 0 ? field.valueAt + room : end + 1;
    if (at > description.size()) return false;
    fields->push_back(field);
  }
  return true;
}

// The id of the key line in a key slot, or "none"; "" when it is neither.
std::string keyIdOfSlot(const std::string& keyLine) {
  if (keyLine == kNoAgentKey) return kNoAgentKey;
  MinisignPublicKey parsed;
  std::string why;
  return parseMinisignPublicKey(keyLine, &parsed, &why) ? keyIdText(parsed.keyId) : "";
}

// Format 1: version, agent base URL and key id must be there, the platform
// came later. Format 2: version, platform, signature check and the slots of
// the URL and the key; the second key's and the floor's came later. Fields
// this kv-pack does not know are skipped.
bool readFields(const ElfNote& note, StubRecord* record) {
  std::vector<Field> fields;
  if (!splitFields(note.description, note.type, &fields)) return false;
  bool version = false, url = false, key = false, check = false;
  for (const Field& field : fields) {
    const size_t room = note.type >= kStubRecordFormat ? recordSlotBytes(field.name.c_str()) : 0;
    if (room != 0) record->slots[field.name] = {note.descriptionOffset + field.valueAt, room};
    if (field.name == kStubVersionKey) {
      record->version = field.value;
      version = true;
    } else if (field.name == kStubAgentBaseUrlKey) {
      record->agentBaseUrl = field.value;
      url = true;
    } else if (field.name == kStubSigningKeyKey && note.type == kStubRecordFormatWithoutSlots) {
      record->signingKeyId = field.value;
      key = true;
    } else if (field.name == kStubAgentKeyKey && note.type >= kStubRecordFormat) {
      record->agentKey = field.value;
      key = true;
    } else if (field.name == kStubSignatureCheckKey) {
      record->signatureCheck = field.value;
      check = true;
    } else if (field.name == kStubPlatformKey) {
      record->platform = field.value;
    } else if (field.name == kStubAgentSecondKeyKey && note.type >= kStubRecordFormat) {
      record->secondKeyId = keyIdOfSlot(field.value);
      if (record->secondKeyId.empty()) return false;
    } else if (field.name == kStubAgentNotBeforeKey && note.type >= kStubRecordFormat) {
      record->agentNotBefore = field.value;
      if (field.value != kNoAgentNotBefore && !parseSeconds(field.value)) return false;
    } else if (field.name == kStubPackageLengthKey && room != 0) {
      record->packageLength = field.value;
    } else if (field.name == kStubUnpackedSizeKey && room != 0) {
      record->unpackedSize = field.value;
    }
  }
  if (note.type == kStubRecordFormatWithoutSlots) {
    // A format 1 stub checks signatures exactly when a key was built in.
    record->signatureCheck = record->signingKeyId == kNoAgentKey ? kNoAgentKey : kSignatureCheckEd25519;
    return version && url && key;
  }
  record->signingKeyId = keyIdOfSlot(record->agentKey);
  return version && url && key && check && !record->signingKeyId.empty();
}

}  // namespace

std::string elfMachineName(uint16_t machine) {
  for (const Arch& arch : kArches)
    if (machine == arch.elfMachine) return arch.name;
  return "ELF machine " + std::to_string(machine);
}

const StubSlot* StubRecord::slot(const char* key) const {
  const auto found = slots.find(key);
  return found != slots.end() ? &found->second : nullptr;
}

bool StubRecord::checksSignatures() const { return signatureCheck == kSignatureCheckEd25519; }

StubRecord findStubRecord(const ElfImage& image) {
  StubRecord record;
  for (const ElfNote& note : image.notes) {
    if (note.owner != kStubRecordOwner) continue;
    record.format = note.type;
    if (note.type != kStubRecordFormat && note.type != kStubRecordFormatWithoutSlots) {
      record.state = StubRecord::kOtherFormat;
    } else {
      record.state = readFields(note, &record) ? StubRecord::kFound : StubRecord::kDamaged;
    }
    break;
  }
  return record;
}

StubRecordTrouble stubRecordTrouble(const StubRecord& record) {
  const std::string format = std::to_string(record.format);
  switch (record.state) {
    case StubRecord::kFound:
      break;
    case StubRecord::kMissing:
      return {"none", "is not a kv-bootstrap stub: it carries no stub record"};
    case StubRecord::kOtherFormat:
      return {"format " + format + ", which this kv-pack cannot read",
              "carries a stub record of format " + format + ", which this kv-pack (format " +
                  std::to_string(kStubRecordFormat) + ") cannot read"};
    case StubRecord::kDamaged:
      return {"damaged", "carries a damaged stub record"};
  }
  return {};
}

bool readStubFile(const std::string& path, const std::string& role, StubFile* stub,
                  std::string* err) {
  std::string named = role.empty() ? path : role + " " + path;
  struct stat status;
  const UniqueFd fd = openForReading(path, &status);
  if (!fd.valid()) {
    *err = errnoText("cannot read " + named);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *err = named + " is not a regular file";
    return false;
  }
  stub->fileSize = static_cast<uint64_t>(status.st_size);
  std::string why;
  switch (readElfImage(fd.get(), stub->fileSize, &stub->image, &why)) {
    case ElfReadResult::kRead:
      break;
    case ElfReadResult::kNotElf:
      *err = named + " is not an ELF executable";
      return false;
    case ElfReadResult::kUnsupported:
    case ElfReadResult::kDamaged:
      *err = named + " cannot be read as a stub: " + why;
      return false;
  }
  stub->record = findStubRecord(stub->image);
  return true;
}
