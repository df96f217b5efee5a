// Reads arbitrary bytes as the ELF image at the start of a stub or package,
// as kv-pack --info does with any file it is given: every table must be read
// within the file and within the reader's limits, or refused, and never lead
// outside the input.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz/fuzz_check.h"
#include "tools/kv-pack/elf_image.h"

namespace {

// One in-memory file per process, rewritten for every input.
int imageFile() {
  static const int fd = memfd_create("elf-image-fuzz", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0);
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = imageFile();
  FUZZ_CHECK(ftruncate(fd, 0) == 0);
  FUZZ_CHECK(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

  ElfImage image;
  std::string err;
  ElfReadResult result = readElfImage(fd, size, &image, &err);
  if (result == ElfReadResult::kRead) {
    FUZZ_CHECK(image.size <= size);
    FUZZ_CHECK(err.empty());
  } else if (result != ElfReadResult::kNotElf) {
    FUZZ_CHECK(!err.empty());
  }
  for (const std::string& name : image.neededLibraries)
    FUZZ_CHECK(name.find('\0') == std::string::npos);
  std::string glibc = highestGlibcVersion(image.neededVersions);
  FUZZ_CHECK(glibc.empty() || glibc.compare(0, 6, "GLIBC_") == 0);
  return 0;
}
