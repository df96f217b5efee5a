#ifndef KV_TOOLS_KV_PACK_ELF_IMAGE_H_
#define KV_TOOLS_KV_PACK_ELF_IMAGE_H_

#include <cstdint>
#include <string>
#include <vector>

/// One entry of a note section.
struct ElfNote {
  std::string owner;  ///< without its ending NUL byte
  uint32_t type = 0;
  std::string description;
  uint64_t descriptionOffset = 0;  ///< where the description starts in the file
};

/// What kv-pack needs to know of the 64-bit ELF image at the start of a
/// bootstrap file or a package.
struct ElfImage {
  uint16_t machine = 0;  ///< the header's e_machine: EM_X86_64, EM_AARCH64, ...
  uint64_t size = 0;     ///< up to the end of the section header table, which ends the image
  std::vector<ElfNote> notes;
  std::vector<std::string> neededLibraries;  ///< the dynamic section's NEEDED entries, in order
  std::vector<std::string> neededVersions;   ///< every version the version needs name
};

enum class ElfReadResult {
  kRead,
  kNotElf,
  kUnsupported,  ///< ELF, but not a 64-bit little-endian image with section headers
  kDamaged,      ///< some table lies outside the file or contradicts itself
};

/// Reads the image at the start of the open file, whose size is `fileSize`;
/// `err` says why for kUnsupported and kDamaged.
[[nodiscard]] ElfReadResult readElfImage(int fd, uint64_t fileSize, ElfImage* image,
                                         std::string* err);

/// The highest "GLIBC_x.y[.z]" among the versions, compared number by number;
/// empty when none is a glibc version.
std::string highestGlibcVersion(const std::vector<std::string>& versions);

#endif  // KV_TOOLS_KV_PACK_ELF_IMAGE_H_
