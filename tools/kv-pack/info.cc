#include "tools/kv-pack/info.h"

#include <fcntl.h>

#include <vector>

#include "formats/agent_url.h"
#include "formats/arch.h"
#include "formats/minisig.h"
#include "formats/package_layout.h"
#include "formats/size_slot.h"
#include "formats/stub_record.h"
#include "os/file_descriptor.h"
#include "tools/kv-pack/file_digest.h"
#include "tools/kv-pack/file_io.h"
#include "tools/kv-pack/inputs.h"
#include "tools/kv-pack/printable.h"
#include "tools/kv-pack/staging_dir.h"
#include "tools/kv-pack/stub.h"
#include "tools/kv-pack/unzip_runner.h"

namespace {

constexpr int kLabelWidth = 17;

// Values come from the file, so they are shown escaped, as messages are.
void printLine(FILE* out, const char* label, const std::string& value) {
  fprintf(out, "%-*s%s\n", kLabelWidth, label, printable(value).c_str());
}

std::string joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
  return text;
}

// What the vendor's server must serve for the package: the agent, and its
// signature when agents are checked. Stubs from before the platform was
// recorded fetch for their machine's.
void printAgentUrls(const StubFile& stub, FILE* out) {
  const StubRecord& record = stub.record;
  const std::string platform =
      record.platform.empty() ? archOfMachine(stub.image.machine).platformTag : record.platform;
  const std::string url = agentUrlFor(record.agentBaseUrl, platform.c_str());
  printLine(out, "agent URL", url);
  if (record.checksSignatures() && record.signingKeyId != kNoAgentKey)
    printLine(out, "signature URL", url + ".minisig");
}

void printStub(const StubFile& stub, const std::string& stubHash, FILE* out) {
  const StubRecord& record = stub.record;
  if (record.state == StubRecord::kFound) {
    printLine(out, "record format", std::to_string(record.format));
    printLine(out, "version", record.version);
    printLine(out, "agent base URL", record.agentBaseUrl);
    printLine(out, "signing key", record.signingKeyId);
    if (!record.secondKeyId.empty() && record.secondKeyId != kNoAgentKey)
      printLine(out, "signing key", record.secondKeyId);
    const std::optional<int64_t> notBefore = parseSeconds(record.agentNotBefore);
    printLine(out, "not before", notBefore ? utcTimeText(*notBefore) : kNoAgentNotBefore);
    printLine(out, "signature check", record.signatureCheck);
    printLine(out, "platform", record.platform.empty() ? "not recorded" : record.platform);
    printAgentUrls(stub, out);
  } else {
    printLine(out, "record", stubRecordTrouble(record).shortly);
  }
  const ElfImage& image = stub.image;
  printLine(out, "machine", elfMachineName(image.machine));
  printLine(out, "stub size", std::to_string(image.size) + " bytes");
  printLine(out, "stub SHA-256", stubHash);
  printLine(out, "needs libraries",
            image.neededLibraries.empty() ? "none" : joined(image.neededLibraries));
  std::string glibc = highestGlibcVersion(image.neededVersions);
  printLine(out, "needs glibc",
            glibc.empty() ? "no versioned symbol" : glibc.substr(glibc.find('_') + 1) + " or later");
}

// The agent the bootstrap would take: the fixed name first, else a versioned
// one, whichever its directory listing shows first when there are several.
std::string agentChoice(const std::vector<std::string>& members) {
  std::vector<std::string> versioned;
  for (const std::string& name : members) {
    if (name == kAgentZipName) return name + ", in the package";
    if (isVersionedAgentName(name)) versioned.push_back(name);
  }
  if (versioned.empty()) return "none in the package: downloaded from the agent base URL";
  if (versioned.size() == 1) return versioned[0] + ", in the package";
  return "one of " + joined(versioned) + ", in the package; which one is not fixed";
}

// A size slot's value for --info; "damaged" when the bootstrap would refuse it.
std::string recordedSize(const std::string& value, uint64_t* bytes) {
  switch (readSizeSlot(value.c_str(), bytes)) {
    case SizeSlot::kNotRecorded:
      return "not recorded";
    case SizeSlot::kRecorded:
      return std::to_string(*bytes) + " bytes";
    case SizeSlot::kDamaged:
      break;
  }
  return "damaged";
}

// What the bootstrap holds the file and the disk to; false, with *err, when
// the file is not as long as recorded, so that the package would not run.
bool printRecordedSizes(const std::string& path, const StubFile& stub, FILE* out,
                        std::string* err) {
  uint64_t length = 0, unpacked = 0;
  std::string lengthText = recordedSize(stub.record.packageLength, &length);
  const bool wrongLength = lengthText != "not recorded" && length != stub.fileSize;
  if (wrongLength) lengthText += ", but the file has " + std::to_string(stub.fileSize);
  printLine(out, "package length", lengthText);
  printLine(out, "unpacked size", recordedSize(stub.record.unpackedSize, &unpacked));
  if (wrongLength)
    *err = path + " has " + std::to_string(stub.fileSize) + " bytes, but was packed with " +
           std::to_string(length) + ": it is incomplete or damaged";
  return !wrongLength;
}

bool printArchive(const std::string& path, const StubFile& stub, const std::string& packageHash,
                  const StagingDir& staging, FILE* out, std::string* err) {
  if (stub.fileSize == stub.image.size) {
    printLine(out, "archive", "none");
    return true;
  }
  printLine(out, "archive", std::to_string(stub.fileSize - stub.image.size) + " bytes");
  std::string sizeError;
  const bool sizesHold = printRecordedSizes(path, stub, out, &sizeError);
  printLine(out, "package SHA-256", packageHash);
  ZipTest test;
  test.start(staging, path, "package");
  std::vector<std::string> members;
  std::string listError;
  if (listZipMembers(staging, path, "package", &members, &listError)) {
    for (const std::string& name : members) printLine(out, "member", name);
    printLine(out, "agent", agentChoice(members));
  }
  std::string testError;
  bool passed = test.passed(&testError);
  printLine(out, "unzip -t", passed ? "passes" : "fails");
  if (!passed) {
    *err = testError;
    return false;
  }
  if (!listError.empty()) {
    *err = listError;
    return false;
  }
  if (!sizesHold) *err = sizeError;
  return sizesHold;
}

}  // namespace

// The SHA-256 of the stub (the image at the start of the file) and of the
// whole file, through a copy of the image in staging.
bool hashStubAndFile(const std::string& path, const StubFile& stub, const StagingDir& staging,
                     std::vector<std::string>* hashes, std::string* err) {
  std::string image;
  const std::string copy = staging / "stub";
  const UniqueFd out(open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!readFileStart(path, stub.image.size, &image) || !out.valid() ||
      !writeFully(out.get(), image.data(), image.size())) {
    *err = errnoText("cannot copy the stub of " + path);
    return false;
  }
  return sha256Of({copy, path}, hashes, err);
}

bool printInfo(const std::string& path, FILE* out, std::string* err) {
  StubFile stub;
  if (!readStubFile(path, "", &stub, err)) return false;
  StagingDir staging;
  std::vector<std::string> hashes;
  if (!staging.create(err) || !hashStubAndFile(path, stub, staging, &hashes, err)) return false;
  printStub(stub, hashes[0], out);
  bool archiveRead = printArchive(path, stub, hashes[1], staging, out, err);
  fflush(out);
  if (!archiveRead) return false;
  if (stub.record.state != StubRecord::kFound) {
    *err = path + " " + stubRecordTrouble(stub.record).sentence;
    return false;
  }
  return true;
}
