#include "tools/kv-pack/file_io.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "os/interrupt.h"

namespace {

// Large enough that system calls cost little next to copying and the CRC.
constexpr size_t kBlockSize = size_t{1} << 20;

}  // namespace

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  std::unique_ptr<char, decltype(&free)> cwd(getcwd(nullptr, 0), &free);
  if (cwd == nullptr) return path;
  return std::string(cwd.get()) + "/" + path;
}

std::string errnoText(const std::string& what) { return what + ": " + strerror(errno); }

// NOLINTNEXTLINE(bugprone-easily-swappable-parameters): an fd and a byte count, told apart by name
bool copyBytes(int in, const std::string& inName, int out, uint64_t size, uint32_t* crc,
               std::string* err) {
  posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[kBlockSize]);
  uint64_t left = size;
  uLong sum = crc32(0L, Z_NULL, 0);
  for (;;) {
    if (pendingInterrupt() != 0) {
      *err = "interrupted";
      return false;
    }
    // One byte more than expected is asked for at the end, to notice a file that grew.
    size_t want = left < kBlockSize ? static_cast<size_t>(left) + 1 : kBlockSize;
    ssize_t got = read(in, buffer.get(), want);
    if (got < 0) {
      if (errno == EINTR) continue;
      *err = errnoText("cannot read " + inName);
      return false;
    }
    if (static_cast<uint64_t>(got) > left) {
      *err = inName + " grew while being read";
      return false;
    }
    if (got == 0) break;
    if (crc != nullptr)
      sum = crc32(sum, reinterpret_cast<const Bytef*>(buffer.get()), static_cast<uInt>(got));
    if (!writeFully(out, buffer.get(), static_cast<size_t>(got))) {
      *err = errnoText("cannot write the package");
      return false;
    }
    left -= static_cast<uint64_t>(got);
  }
  if (left != 0) {
    *err = inName + " shrank while being read";
    return false;
  }
  if (crc != nullptr) *crc = static_cast<uint32_t>(sum);
  return true;
}
