#include "tools/kv-pack/stub_discovery.h"

#include <sys/stat.h>

#include "tools/kv-pack/stub.h"

// The build tree's host-built bootstrap comes last for either architecture:
// its machine decides.
std::vector<std::string> stubsBesidePack(const Arch& arch, bool keyed) {
  const std::string installed = keyed ? arch.keyedStubName : arch.stubName;
  const std::string buildDir = keyed ? arch.keyedStubBuildDir : arch.stubBuildDir;
  return {"../lib/kv-bootstrap/" + installed, buildDir + "/kv-bootstrap",
          keyed ? "kv-bootstrap-keyed" : "kv-bootstrap"};
}

std::string findDefaultBootstrap(const Arch& arch, bool keyed, const std::string& packDir,
                                 std::string* tried) {
  for (const std::string& relative : stubsBesidePack(arch, keyed)) {
    std::string candidate = packDir + relative;
    struct stat status;
    StubFile stub;
    std::string unreadable;
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        (!readStubFile(candidate, "", &stub, &unreadable) || stub.image.machine == arch.elfMachine))
      return candidate;
    *tried += (tried->empty() ? "" : " or ") + candidate;
  }
  return "";
}
