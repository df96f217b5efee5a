#include "tools/kv-pack/file_digest.h"

#include "tools/kv-pack/child_process.h"

bool sha256Of(const std::vector<std::string>& paths, std::vector<std::string>* hex,
              std::string* err) {
  hex->clear();
  for (const std::string& path : paths) {
    // Read from standard input, so that no name is escaped in the output.
    const ChildResult result = runChild({{"sha256sum", "--binary"}, {"LC_ALL=C"}, "", path});
    if (!result.succeeded() || result.out.size() < 64) {
      *err = "cannot run sha256sum on " + path + ": " + result.summary();
      return false;
    }
    hex->push_back(result.out.substr(0, 64));
  }
  return true;
}
