#include "tools/kv-pack/stub.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "bootstrap/stub_record.h"
#include "tools/kv-pack/file_io.h"

namespace {

// Format 1: NUL-ended "key=value" fields; the first three must be there, the
// platform came later, and fields this kv-pack does not know are skipped.
bool readFields(const std::string& description, StubRecord* record) {
  bool version = false, url = false, key = false;
  size_t at = 0;
  while (at < description.size()) {
    size_t end = description.find('\0', at);
    if (end == std::string::npos) return false;
    std::string field = description.substr(at, end - at);
    at = end + 1;
    size_t equals = field.find('=');
    if (equals == std::string::npos) return false;
    std::string name = field.substr(0, equals), value = field.substr(equals + 1);
    if (name == kStubVersionKey) {
      record->version = value;
      version = true;
    } else if (name == kStubAgentBaseUrlKey) {
      record->agentBaseUrl = value;
      url = true;
    } else if (name == kStubSigningKeyKey) {
      record->signingKey = value;
      key = true;
    } else if (name == kStubPlatformKey) {
      record->platform = value;
    }
  }
  return version && url && key;
}

}  // namespace

StubRecord findStubRecord(const ElfImage& image) {
  StubRecord record;
  for (const ElfNote& note : image.notes) {
    if (note.owner != kStubRecordOwner) continue;
    record.format = note.type;
    if (note.type != kStubRecordFormat) {
      record.state = StubRecord::kOtherFormat;
    } else {
      record.state = readFields(note.description, &record) ? StubRecord::kFound : StubRecord::kDamaged;
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
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
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
