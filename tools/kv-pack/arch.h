#ifndef KV_TOOLS_KV_PACK_ARCH_H_
#define KV_TOOLS_KV_PACK_ARCH_H_

#include <cstdint>
#include <string>
#include <vector>

/// A processor architecture kv-pack packs for.
struct Arch {
  const char* name;     ///< as --arch takes it: "x86-64", "aarch64"
  uint16_t elfMachine;  ///< the e_machine of its stubs
  /// Where its shipped bootstrap lies relative to kv-pack's own directory,
  /// in the order tried: installed, then in a build tree.
  std::vector<std::string> stubsBesidePack;
  /// The same for its keyed stub, which checks agents against a key.
  std::vector<std::string> keyedStubsBesidePack;
};

/// x86-64, the architecture packed for without --arch.
const Arch& defaultArch();

/// The architecture --arch names; nullptr for any other name.
const Arch* archNamed(const std::string& name);

/// "x86-64" and "aarch64" for theirs, else "ELF machine N".
std::string elfMachineName(uint16_t machine);

/// The names --arch takes, for messages: "x86-64 or aarch64".
std::string archNames();

#endif  // KV_TOOLS_KV_PACK_ARCH_H_
