#include "tools/kv-pack/info.h"

#include <vector>

#include "formats/arch.h"
#include "formats/package_layout.h"
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

void printStub(const StubFile& stub, FILE* out) {
  const StubRecord& record = stub.record;
  if (record.state == StubRecord::kFound) {
    printLine(out, "record format", std::to_string(record.format));
    printLine(out, "version", record.version);
    printLine(out, "agent base URL", record.agentBaseUrl);
    printLine(out, "signing key", record.signingKeyId);
    printLine(out, "signature check", record.signatureCheck);
    printLine(out, "platform", record.platform.empty() ? "not recorded" : record.platform);
  } else {
    printLine(out, "record", stubRecordTrouble(record).shortly);
  }
  const ElfImage& image = stub.image;
  printLine(out, "machine", elfMachineName(image.machine));
  printLine(out, "stub size", std::to_string(image.size) + " bytes");
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

bool printArchive(const std::string& path, const StubFile& stub, FILE* out, std::string* err) {
  if (stub.fileSize == stub.image.size) {
    printLine(out, "archive", "none");
    return true;
  }
  printLine(out, "archive", std::to_string(stub.fileSize - stub.image.size) + " bytes");
  StagingDir staging;
  if (!staging.create(err)) return false;
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
  return true;
}

}  // namespace

bool printInfo(const std::string& path, FILE* out, std::string* err) {
  StubFile stub;
  if (!readStubFile(path, "", &stub, err)) return false;
  printStub(stub, out);
  bool archiveRead = printArchive(path, stub, out, err);
  fflush(out);
  if (!archiveRead) return false;
  if (stub.record.state != StubRecord::kFound) {
    *err = path + " " + stubRecordTrouble(stub.record).sentence;
    return false;
  }
  return true;
}
