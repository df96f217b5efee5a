// Feeds headerCallback the header lines of one response and checks, call by
// call, which line it keeps as the entity tag.
//
// Input: one mode byte, then the lines. Mode bit 0 clear: lines end after each
// '\n' and keep it, as libcurl hands them over; set: lines are separated by
// NUL bytes, which are dropped, so a line may end in any byte or hold '\n'
// anywhere. Mode bits 1-2 choose how the length is split into size and count.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "agent/download.h"
#include "fuzz/fuzz_check.h"

namespace {

const char kPrefix[] = "etag: ";
const size_t kPrefixLength = sizeof kPrefix - 1;

unsigned char asciiLower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool isTagLine(const char* line, size_t length) {
  if (length < kPrefixLength) return false;
  for (size_t i = 0; i < kPrefixLength; ++i)
    if (asciiLower(static_cast<unsigned char>(line[i])) != static_cast<unsigned char>(kPrefix[i]))
      return false;
  return true;
}

// libcurl always passes size 1, but the callback contract is size * count.
enum class Split { kBytes, kOneBlock, kSmallestDivisor, kEmptyBlocks };

struct Factors {
  size_t size;
  size_t count;
};

Factors splitLength(size_t length, Split split) {
  switch (split) {
    case Split::kBytes:
      break;
    case Split::kOneBlock:
      return {length, 1};
    case Split::kSmallestDivisor:
      for (size_t d = 2; d * d <= length; ++d)
        if (length % d == 0) return {d, length / d};
      break;
    case Split::kEmptyBlocks:
      if (length == 0) return {7, 0};  // nothing to read, whatever the size
      break;
  }
  return {1, length};
}

void feedLine(const uint8_t* bytes, size_t length, Split split, std::string* tag) {
  // A heap block of exactly the line's size, so that ASan sees any read past it.
  std::unique_ptr<char[]> line(new char[length == 0 ? 1 : length]);
  if (length > 0) memcpy(line.get(), bytes, length);
  const Factors factors = splitLength(length, split);

  const std::string before = *tag;
  const size_t result = headerCallback(line.get(), factors.size, factors.count, tag);
  FUZZ_CHECK(result == factors.size * factors.count);
  if (isTagLine(line.get(), length))
    FUZZ_CHECK(*tag == std::string(line.get(), length - 1));
  else if (length >= 5 && memcmp(line.get(), "HTTP/", 5) == 0)
    FUZZ_CHECK(tag->empty());
  else
    FUZZ_CHECK(*tag == before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const unsigned mode = data[0];
  const bool nulSeparated = (mode & 1) != 0;
  const auto split = static_cast<Split>((mode >> 1) & 3);
  const uint8_t* rest = data + 1;
  const size_t restSize = size - 1;

  // Starts non-empty so that a line wrongly taken for a tag line, or a tag
  // wrongly cleared, shows.
  std::string tag = "ETag: \"before\"\r";
  size_t start = 0;
  for (size_t i = 0; i < restSize; ++i) {
    if (nulSeparated && rest[i] == '\0') {
      feedLine(rest + start, i - start, split, &tag);
      start = i + 1;
    } else if (!nulSeparated && rest[i] == '\n') {
      feedLine(rest + start, i + 1 - start, split, &tag);
      start = i + 1;
    }
  }
  if (start < restSize || nulSeparated) feedLine(rest + start, restSize - start, split, &tag);
  return 0;
}
