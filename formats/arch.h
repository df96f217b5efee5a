#ifndef KV_FORMATS_ARCH_H_
#define KV_FORMATS_ARCH_H_

#include <elf.h>

#include <cstdint>

/// A processor architecture a bootstrap is built for and kv-pack packs for.
struct Arch {
  const char* name;         ///< as --arch takes it and messages say it: "x86-64", "aarch64"
  uint16_t elfMachine;      ///< the e_machine of its stubs
  /// The platform its agents are fetched and cached for: an agent may carry
  /// native programs, so a bootstrap never takes another architecture's.
  const char* platformTag;
  const char* stubName;           ///< its shipped stub's name in lib/kv-bootstrap/
  const char* keyedStubName;      ///< the same for its keyed stub, which checks agents against a key
  const char* stubBuildDir;       ///< the build tree's directory of its shipped stub
  const char* keyedStubBuildDir;  ///< the same for its keyed stub
};

/// Every architecture, the default (x86-64) first, one row each: the one table
/// of them. CMake reads the shipped stubs' names and directories from these
/// rows (cmake/ShippedStubTargets.cmake), so each stays on one line of this form.
inline constexpr Arch kArches[] = {
    {"x86-64", EM_X86_64, "tux64le", "kv-bootstrap", "kv-bootstrap-keyed", "stub", "stub-keyed"},
    {"aarch64", EM_AARCH64, "tuxarm64le", "kv-bootstrap-aarch64", "kv-bootstrap-keyed-aarch64", "stub-aarch64", "stub-keyed-aarch64"},
};

#if defined(__x86_64__)
inline constexpr uint16_t kBuildMachine = EM_X86_64;
#elif defined(__aarch64__) && defined(__AARCH64EL__)
inline constexpr uint16_t kBuildMachine = EM_AARCH64;
#else
#error "the bootstrap is built for x86-64 and little-endian aarch64 Linux only"
#endif

/// The architecture whose machine is `machine`; the default one for any other.
constexpr const Arch& archOfMachine(uint16_t machine) {
  for (const Arch& arch : kArches)
    if (arch.elfMachine == machine) return arch;
  return kArches[0];
}

/// What this program is built for.
inline constexpr const Arch& kBuildArch = archOfMachine(kBuildMachine);
static_assert(kBuildArch.elfMachine == kBuildMachine, "the table has a row for every machine built for");
/// The platform tag of this program's agents: in its agent URL, cache and record.
inline constexpr const char* kPlatformTag = kBuildArch.platformTag;

/// x86-64, the architecture packed for without --arch.
inline const Arch& defaultArch() { return kArches[0]; }

#endif  // KV_FORMATS_ARCH_H_
