#include "os/executable_path.h"

#include <unistd.h>

std::string executablePath() {
  // The link target may be longer than any fixed buffer: grow until it fits.
  std::string target(256, '\0');
  for (;;) {
    ssize_t n = readlink("/proc/self/exe", &target[0], target.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < target.size()) {
      target.resize(static_cast<size_t>(n));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

std::string executableDir() {
  std::string path = executablePath();
  size_t cut = path.find_last_of("/\\");
  if (cut == std::string::npos) return path;
  return path.substr(0, cut);
}
