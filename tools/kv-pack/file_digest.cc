#include "tools/kv-pack/file_digest.h"

#include <sstream>

#include "tools/kv-pack/child_process.h"

bool sha256Of(const std::vector<std::string>& paths, std::vector<std::string>* hex,
              std::string* err) {
  std::vector<std::string> argv = {"sha256sum", "--binary", "--"};
  argv.insert(argv.end(), paths.begin(), paths.end());
  const ChildResult result = runChild({argv, {"LC_ALL=C"}, "", ""});
  if (!result.succeeded()) {
    *err = "cannot run sha256sum: " + result.summary();
    return false;
  }
  // One line a file, "<64 hex digits> *<name>", in the order given; a name
  // with a line break gets a backslash before its line.
  std::istringstream lines(result.out);
  hex->clear();
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] == '\\') line.erase(0, 1);
    hex->push_back(line.substr(0, 64));
  }
  if (hex->size() != paths.size()) {
    *err = "sha256sum gave " + std::to_string(hex->size()) + " sums for " +
           std::to_string(paths.size()) + " files";
    return false;
  }
  return true;
}
