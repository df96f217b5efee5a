#include "tools/kv-pack/inputs.h"

#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "bootstrap/package_layout.h"
#include "tools/kv-pack/child_process.h"
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

bool readExactly(int fd, void* buffer, size_t size, off_t at) {
  return pread(fd, buffer, size, at) == static_cast<ssize_t>(size);
}

}  // namespace

bool checkBootstrap(const std::string& path, std::string* err) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat status;
  if (!fd.valid() || fstat(fd.get(), &status) != 0) {
    *err = errnoText("cannot read bootstrap " + path);
    return false;
  }
  if (!S_ISREG(status.st_mode)) {
    *err = "bootstrap " + path + " is not a regular file";
    return false;
  }
  Elf64_Ehdr header;
  bool isElf =
      readExactly(fd.get(), &header, EI_NIDENT, 0) && memcmp(header.e_ident, ELFMAG, SELFMAG) == 0;
  if (!isElf) {
    *err = "bootstrap " + path + " is not an ELF executable";
    return false;
  }
  if (header.e_ident[EI_CLASS] != ELFCLASS64 || !readExactly(fd.get(), &header, sizeof header, 0))
    return true;
  uint64_t imageEnd = header.e_shoff + uint64_t{header.e_shnum} * header.e_shentsize;
  if (header.e_shoff != 0 && static_cast<uint64_t>(status.st_size) > imageEnd) {
    *err = "bootstrap " + path + " has data after its ELF image (is it a package already?)";
    return false;
  }
  return true;
}

void ZipTest::start(const StagingDir& staging, const std::string& path, const std::string& role) {
  path_ = path;
  role_ = role;
  std::string linkName = "test-" + role + ".zip";
  for (char& c : linkName)
    if (c == ' ') c = '-';
  started_ = startUnzip(staging, linkName, "-tqq", path, &child_, &startError_);
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

bool checkAgentHasInstall(const StagingDir& staging, const std::string& path, std::string* err) {
  Child child;
  if (!startUnzip(staging, "list-agent.zip", "-Z1", path, &child, err)) return false;
  ChildResult result = child.wait();
  if (!result.succeeded()) {
    *err = "cannot list agent " + path + ": " + unzipComplaint(result);
    return false;
  }
  std::istringstream names(result.out);
  std::string name;
  while (std::getline(names, name))
    if (name == "install") return true;
  *err = "agent " + path + " has no \"install\" script at its top level";
  return false;
}

std::string agentMemberName(const std::string& agentPath) {
  std::string name = agentPath.substr(agentPath.rfind('/') + 1);
  return isVersionedAgentName(name) ? name : kAgentZipName;
}
