#include "tests/run_helpers.h"

#include <algorithm>
#include <cstdint>

#include "bootstrap/report.h"
#include "tests/server_process.h"

std::string failureOutput(int code) {
  return internalErrorMessage(code) + "\nInstallation failed.\n";
}

bool endsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

ProcessResult runPackage(const std::string& package, const std::string& home,
                         const std::vector<std::string>& args, Command command) {
  command.argv.insert(command.argv.begin(), package);
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.setEnv.emplace("HOME", home);
  command.setEnv.emplace("KV_INTERNAL_INSTALL_AGENT_URL",
                         "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/agent");
  command.unsetEnv.push_back("__KV_BOOTSTRAP_INSTALLER_UNITTEST__");
  command.privateTmp = runTmpDir();
  return runProcess(command);
}

std::vector<std::string> newWorkDirs(const std::vector<std::string>& before) {
  std::vector<std::string> added;
  for (const std::string& dir : workDirsInTmp())
    if (std::find(before.begin(), before.end(), dir) == before.end()) added.push_back(dir);
  return added;
}

std::string pathOutsideRun(const std::string& pathInRun) {
  const std::string tmp = "/tmp/";
  if (pathInRun.compare(0, tmp.size(), tmp) != 0) return pathInRun;
  return runTmpDir() + pathInRun.substr(tmp.size() - 1);
}

bool waitUntilWaitingForLock(int pid) {
  const std::string waiter = "-> FLOCK  ADVISORY  WRITE " + std::to_string(pid) + " ";
  return waitUntil([&] { return readFile("/proc/locks").find(waiter) != std::string::npos; }, 30000);
}

namespace {

uint32_t readLittleEndian(const std::string& bytes, size_t at, int width) {
  uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  return value;
}

}  // namespace

MemberData findStoredMember(const std::string& package, const std::string& name) {
  std::string bytes = readFile(package);
  const std::string signature("PK\x03\x04", 4);
  for (size_t at = bytes.find(signature); at != std::string::npos;
       at = bytes.find(signature, at + 1)) {
    if (at + 30 > bytes.size()) break;
    size_t nameLength = readLittleEndian(bytes, at + 26, 2);
    size_t extraLength = readLittleEndian(bytes, at + 28, 2);
    if (bytes.compare(at + 30, nameLength, name) != 0) continue;
    MemberData member;
    member.offset = at + 30 + nameLength + extraLength;
    member.length = readLittleEndian(bytes, at + 18, 4);
    return member;
  }
  return {};
}
