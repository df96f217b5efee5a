// Runs a fuzz target over saved inputs, so that every build, with or without
// libFuzzer, replays the corpus and any input that once crashed.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool readFile(const std::string& path, std::string* contents) {
  FILE* file = fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  char block[4096];
  size_t got = 0;
  contents->clear();
  while ((got = fread(block, 1, sizeof block, file)) > 0) contents->append(block, got);
  const bool ok = ferror(file) == 0;
  return (fclose(file) == 0) && ok;
}

// Sorted, so that a failure names the same first input on every machine.
bool listDirectory(const std::string& dir, std::vector<std::string>* paths) {
  DIR* handle = opendir(dir.c_str());
  if (handle == nullptr) return false;
  std::vector<std::string> names;
  while (const dirent* entry = readdir(handle)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(handle);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    std::string path = dir;
    path += '/';
    path += name;
    paths->push_back(path);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s CORPUS_DIR_OR_FILE...\n", argv[0]);
    return 2;
  }
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    struct stat info {};
    if (stat(argv[i], &info) != 0) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], argv[i]);
      return 2;
    }
    if (S_ISDIR(info.st_mode)) {
      if (!listDirectory(argv[i], &inputs)) {
        fprintf(stderr, "%s: cannot list %s\n", argv[0], argv[i]);
        return 2;
      }
    } else {
      inputs.emplace_back(argv[i]);
    }
  }
  // A corpus that went missing would otherwise pass without testing anything.
  if (inputs.empty()) {
    fprintf(stderr, "%s: no inputs\n", argv[0]);
    return 2;
  }

  std::string contents;
  for (const std::string& path : inputs) {
    if (!readFile(path, &contents)) {
      fprintf(stderr, "%s: cannot read %s\n", argv[0], path.c_str());
      return 2;
    }
    fprintf(stderr, "replaying %s\n", path.c_str());
    // Copied to a buffer of exactly the input's size, so that the sanitizer
    // build catches a read past its end as libFuzzer's would.
    std::vector<uint8_t> data(contents.begin(), contents.end());
    LLVMFuzzerTestOneInput(data.data(), data.size());
  }
  printf("%zu inputs replayed\n", inputs.size());
  return 0;
}
