#include "tools/kv-pack/arch.h"

#include <elf.h>

namespace {

// x86-64 first: it is the default, and its stub keeps the path it has always
// had, so that existing vendors' scripts pack as before. The host-built
// kv-bootstrap of a build tree comes last for either: its machine decides.
const Arch kArches[] = {
    {"x86-64", EM_X86_64,
     {"../lib/kv-bootstrap/kv-bootstrap", "stub/kv-bootstrap", "kv-bootstrap"},
     {"../lib/kv-bootstrap/kv-bootstrap-keyed", "stub-keyed/kv-bootstrap", "kv-bootstrap-keyed"}},
    {"aarch64", EM_AARCH64,
     {"../lib/kv-bootstrap/kv-bootstrap-aarch64", "stub-aarch64/kv-bootstrap", "kv-bootstrap"},
     {"../lib/kv-bootstrap/kv-bootstrap-keyed-aarch64", "stub-keyed-aarch64/kv-bootstrap",
      "kv-bootstrap-keyed"}},
};

}  // namespace

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
