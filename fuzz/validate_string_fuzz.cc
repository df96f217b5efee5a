// Puts arbitrary contents in the validation file and checks whether a value
// counts as current against the rule: the value is not empty and equals the
// file's first line. Then stores the value and checks that it reads back.
//
// Input: a flag byte, two bytes (big-endian) that give the value's length
// modulo what remains plus one, the value, and the file's contents. Flag bit
// 0 puts the value in front of the contents, so that matching first lines
// are common; bit 1 leaves the validation file absent.

#include <dirent.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "agent/agent_paths.h"
#include "fuzz/fuzz_check.h"

namespace {

// One private directory per process, reused by every input: a new one each
// time would cost more than the function under test.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && base[0] != '\0' ? base : "/tmp") +
                          "/kv-validate-fuzz.XXXXXX";
    if (mkdtemp(&pattern[0]) == nullptr) {
      perror("mkdtemp");
      abort();
    }
    path_ = pattern;
  }
  ~ScratchDir() {
    clear();
    rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }

  /// Every file name in the directory.
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    DIR* dir = opendir(path_.c_str());
    FUZZ_CHECK(dir != nullptr);
    while (const dirent* entry = readdir(dir)) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(dir);
    return names;
  }

  void clear() const {
    for (const std::string& name : entries()) unlink((path_ + "/" + name).c_str());
  }

 private:
  std::string path_;
};

const ScratchDir& scratchDir() {
  static const ScratchDir dir;
  return dir;
}

bool readFile(const std::string& path, std::string* contents) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  contents->clear();
  char block[4096];
  size_t got = 0;
  while ((got = fread(block, 1, sizeof block, file)) > 0) contents->append(block, got);
  const bool ok = ferror(file) == 0;
  return (fclose(file) == 0) && ok;
}

bool expectedCurrent(bool fileExists, const std::string& contents, const std::string& value) {
  if (!fileExists || value.empty()) return false;
  return contents.substr(0, contents.find('\n')) == value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const unsigned flags = data[0];
  const size_t remaining = size - 3;
  const size_t valueLength = ((static_cast<size_t>(data[1]) << 8) | data[2]) % (remaining + 1);
  const char* bytes = reinterpret_cast<const char*>(data + 3);
  const std::string value(bytes, valueLength);
  std::string contents(bytes + valueLength, remaining - valueLength);
  if ((flags & 1) != 0) contents.insert(0, value);
  const bool fileExists = (flags & 2) == 0;

  const ScratchDir& scratch = scratchDir();
  const std::string& dir = scratch.path();
  const std::string path = validateFilePath(dir);
  scratch.clear();
  if (fileExists) {
    FILE* file = fopen(path.c_str(), "wb");
    FUZZ_CHECK(file != nullptr);
    const bool written = fwrite(contents.data(), 1, contents.size(), file) == contents.size();
    FUZZ_CHECK(fclose(file) == 0 && written);
  }

  FUZZ_CHECK(isValidateStringCurrent(dir, value) == expectedCurrent(fileExists, contents, value));

  writeValidateString(dir, value);
  std::string stored;
  const bool storedExists = readFile(path, &stored);
  if (value.empty()) {
    // Nothing to store: the file is left as it was.
    FUZZ_CHECK(storedExists == fileExists);
    if (fileExists) FUZZ_CHECK(stored == contents);
  } else {
    FUZZ_CHECK(storedExists && stored == value);
  }
  // The temporary file that the value went through is gone.
  FUZZ_CHECK(scratch.entries().size() == (storedExists ? 1U : 0U));
  FUZZ_CHECK(isValidateStringCurrent(dir, value) == expectedCurrent(storedExists, stored, value));
  if (!value.empty() && value.find('\n') == std::string::npos)
    FUZZ_CHECK(isValidateStringCurrent(dir, value));
  return 0;
}
