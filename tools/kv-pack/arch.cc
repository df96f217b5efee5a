#include "tools/kv-pack/arch.h"

#include <elf.h>

namespace {

// x86-64 first: it is the default, and its stub keeps the path it has always
// had, so that existing vendors' scripts pack as before.
const std::vector<Arch> kArches = {
    {"x86-64", EM_X86_64, "tux64le", "kv-bootstrap", "kv-bootstrap-keyed", "stub", "stub-keyed"},
    {"aarch64", EM_AARCH64, "tuxarm64le", "kv-bootstrap-aarch64", "kv-bootstrap-keyed-aarch64",
     "stub-aarch64", "stub-keyed-aarch64"},
};

}  // namespace

const std::vector<Arch>& allArches() { return kArches; }

const Arch& defaultArch() { return kArches[0]; }

const Arch* archNamed(const std::string& name) {
  for (const Arch& arch : kArches)
    if (name == arch.name) return &arch;
  return nullptr;
}

std::string elfMachineName(uint16_t machine) {
  for (const Arch& arch : kArches)
    if (machine == arch.elfMachine) return arch.name;
  return "ELF machine " + std::to_string(machine);
}

std::string archNames() {
  std::string names;
  for (const Arch& arch : kArches) names += (names.empty() ? "" : " or ") + std::string(arch.name);
  return names;
}

// The build tree's host-built bootstrap comes last for either architecture:
// its machine decides.
std::vector<std::string> stubsBesidePack(const Arch& arch, bool keyed) {
  const std::string installed = keyed ? arch.keyedStubName : arch.stubName;
  const std::string buildDir = keyed ? arch.keyedStubBuildDir : arch.stubBuildDir;
  return {"../lib/kv-bootstrap/" + installed, buildDir + "/kv-bootstrap",
          keyed ? "kv-bootstrap-keyed" : "kv-bootstrap"};
}
