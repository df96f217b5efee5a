#include "tools/kv-pack/unzip_runner.h"

#include <unistd.h>

#include <sstream>

#include "tools/kv-pack/file_io.h"

namespace {

// unzip reads its archive argument as a wildcard pattern and prefers another
// file that the pattern matches ("setup[1].zip" opens "setup1.zip"), so it
// only ever sees a fixed name: a link in our staging directory.
bool startUnzip(const StagingDir& staging, const std::string& linkName, const char* option,
                const std::string& path, Child* child, std::string* err) {
  std::string link = staging / linkName;
  if (symlink(absolutePath(path).c_str(), link.c_str()) != 0) {
    *err = errnoText("cannot link " + link);
    return false;
  }
  child->start({{"unzip", option, linkName}, {}, staging.path(), ""});
  return true;
}

// The link's name for one use of one archive, e.g. "test-written-package.zip".
std::string unzipLinkName(const std::string& use, const std::string& role) {
  std::string name = use + "-" + role + ".zip";
  for (char& c : name)
    if (c == ' ') c = '-';
  return name;
}

// unzip's first real complaint, without the "[archive]" lines that would
// only name our link.
std::string unzipComplaint(const ChildResult& result) {
  std::istringstream lines(result.out + result.err);
  std::string line;
  while (std::getline(lines, line)) {
    size_t start = line.find_first_not_of(' ');
    if (start == std::string::npos || line[start] == '[') continue;
    line = line.substr(start);
    if (line.compare(0, 9, "warning [") == 0) {
      size_t text = line.find_first_not_of(' ', line.find("]:") + 2);
      if (text != std::string::npos) line = line.substr(text);
    }
    std::string squeezed;
    for (char c : line)
      if (c != ' ' || squeezed.empty() || squeezed.back() != ' ') squeezed += c;
    return squeezed;
  }
  return result.summary();
}

}  // namespace

void ZipTest::start(const StagingDir& staging, const std::string& path, const std::string& role) {
  path_ = path;
  role_ = role;
  started_ = startUnzip(staging, unzipLinkName("test", role), "-tqq", path, &child_, &startError_);
}

bool ZipTest::passed(std::string* err) {
  if (!started_) {
    *err = startError_;
    return false;
  }
  ChildResult result = child_.wait();
  if (result.succeeded() && result.out.empty() && result.err.empty()) return true;
  if (!result.started) {
    *err = "cannot run unzip: " + result.summary();
  } else if (result.exited && result.exitCode == 9) {
    *err = role_ + " " + path_ + " is not a ZIP archive";
  } else {
    *err = role_ + " " + path_ + " does not pass unzip's test: " + unzipComplaint(result);
  }
  return false;
}

bool checkZipArchive(const StagingDir& staging, const std::string& path, const std::string& role,
                     std::string* err) {
  ZipTest test;
  test.start(staging, path, role);
  return test.passed(err);
}

bool listZipMembers(const StagingDir& staging, const std::string& path, const std::string& role,
                    std::vector<std::string>* names, std::string* err) {
  Child child;
  if (!startUnzip(staging, unzipLinkName("list", role), "-Z1", path, &child, err)) return false;
  ChildResult result = child.wait();
  // Status 1 is a warning after a complete listing, as for bytes ahead of an
  // archive whose offsets do not count them, or unzip's only line for an
  // archive without members.
  if (!result.exited || (result.exitCode != 0 && result.exitCode != 1)) {
    *err = "cannot list " + role + " " + path + ": " + unzipComplaint(result);
    return false;
  }
  if (result.exitCode == 1 && result.out == "Empty zipfile.\n") return true;
  std::istringstream lines(result.out);
  std::string name;
  while (std::getline(lines, name)) names->push_back(name);
  return true;
}

