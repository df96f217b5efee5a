#include "os/byte_count.h"

#include <cstdio>

std::string bytesForHumans(uint64_t bytes) {
  static const char kUnits[][4] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  char text[32];
  if (bytes < 1024) {
    snprintf(text, sizeof text, "%llu B", static_cast<unsigned long long>(bytes));
    return text;
  }
  uint64_t unit = 1024;
  size_t index = 1;
  while (index + 1 < sizeof kUnits / sizeof kUnits[0] && bytes / unit >= 1024) {
    unit *= 1024;
    ++index;
  }
  // In 1024ths of the unit first, so that no product overflows.
  const uint64_t tenths = bytes % unit / (unit / 1024) * 10 / 1024;
  snprintf(text, sizeof text, "%llu.%llu %s", static_cast<unsigned long long>(bytes / unit),
           static_cast<unsigned long long>(tenths), kUnits[index]);
  return text;
}
