#include "tools/kv-pack/inputs.h"

#include <vector>

#include "formats/package_layout.h"
#include "tools/kv-pack/unzip_runner.h"

bool checkBootstrap(const std::string& path, const Arch& arch, StubRecord* record,
                    std::string* err) {
  StubFile stub;
  if (!readStubFile(path, "bootstrap", &stub, err)) return false;
  if (stub.fileSize > stub.image.size) {
    *err = "bootstrap " + path + " has data after its ELF image (is it a package already?)";
    return false;
  }
  if (stub.record.state != StubRecord::kFound) {
    *err = "bootstrap " + path + " " + stubRecordTrouble(stub.record).sentence;
    return false;
  }
  // A package for the wrong processor would fail on every user's machine.
  if (stub.image.machine != arch.elfMachine) {
    *err = "bootstrap " + path + " is built for " + elfMachineName(stub.image.machine) +
           ", not for " + arch.name + " (--arch)";
    return false;
  }
  *record = stub.record;
  return true;
}

bool checkAgentHasInstall(const StagingDir& staging, const std::string& path, std::string* err) {
  std::vector<std::string> names;
  if (!listZipMembers(staging, path, "agent", &names, err)) return false;
  for (const std::string& name : names)
    if (name == "install") return true;
  *err = "agent " + path + " has no \"install\" script at its top level";
  return false;
}

std::string agentMemberName(const std::string& agentPath) {
  std::string name = agentPath.substr(agentPath.rfind('/') + 1);
  return isVersionedAgentName(name) ? name : kAgentZipName;
}
