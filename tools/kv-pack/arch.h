#ifndef KV_TOOLS_KV_PACK_ARCH_H_
#define KV_TOOLS_KV_PACK_ARCH_H_

#include <cstdint>
#include <string>
#include <vector>

/// A processor architecture kv-pack packs for: the one table of them in the
/// sources. The install rules and the shipped-stub builds (the list
/// kv_shipped_stubs in cmake/ShippedStub.cmake) use the same names.
struct Arch {
  const char* name;         ///< as --arch takes it and messages say it: "x86-64", "aarch64"
  uint16_t elfMachine;      ///< the e_machine of its stubs
  const char* platformTag;  ///< the platform its stubs record and fetch agents for
  const char* stubName;     ///< its shipped stub's name in lib/kv-bootstrap/
  const char* keyedStubName;  ///< the same for its keyed stub, which checks agents against a key
  const char* stubBuildDir;       ///< the build tree's directory of its shipped stub
  const char* keyedStubBuildDir;  ///< the same for its keyed stub
};

/// Every architecture, x86-64 first.
const std::vector<Arch>& allArches();

/// x86-64, the architecture packed for without --arch.
const Arch& defaultArch();

/// The architecture --arch names; nullptr for any other name.
const Arch* archNamed(const std::string& name);

/// "x86-64" and "aarch64" for theirs, else "ELF machine N".
std::string elfMachineName(uint16_t machine);

/// The names --arch takes, for messages: "x86-64 or aarch64".
std::string archNames();

/// Where arch's shipped bootstrap (keyed: its keyed one) lies relative to
/// kv-pack's own directory, in the order tried: installed, then in a build
/// tree, then the build tree's host-built bootstrap, whose machine decides.
std::vector<std::string> stubsBesidePack(const Arch& arch, bool keyed);

#endif  // KV_TOOLS_KV_PACK_ARCH_H_
