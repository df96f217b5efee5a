#include "tests/run_helpers.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "formats/stub_record.h"
#include "os/report.h"
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
  // The certificate authorities a run trusts are the system's, or those the
  // caller names: never those of the shell the tests run in.
  for (const char* name : {"SSL_CERT_FILE", "SSL_CERT_DIR", "CURL_CA_BUNDLE"})
    if (command.setEnv.count(name) == 0) command.unsetEnv.push_back(name);
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

std::vector<std::string> withFilesMissing(const std::string& dir,
                                          const std::vector<std::string>& hidden,
                                          const std::vector<std::string>& broken,
                                          const std::string& scratch,
                                          const std::vector<std::string>& command) {
  static const char kScript[] = R"(
    dir=$1 top=$(mktemp -d "$2/whiteouts.XXXXXX") || exit 125
    shift 2
    while [ "$1" != -- ]; do mknod "$top/$1" c 0 0 || exit 125; shift; done
    shift
    mount -t overlay overlay -o "lowerdir=$top:$dir" "$dir" || exit 125
    while [ "$1" != -- ]; do mount --bind /dev/null "$dir/$1" || exit 125; shift; done
    shift
    exec "$@")";
  std::vector<std::string> argv = {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
                                   kScript, "sh", dir, scratch};
  for (const auto* names : {&hidden, &broken}) {
    argv.insert(argv.end(), names->begin(), names->end());
    argv.push_back("--");
  }
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

namespace {

// Loopback up, and an output rule that drops the connects to kDroppedPort.
std::string dropPacketsScript() {
  return "PATH=/usr/sbin:/sbin:$PATH\n"
         "ip link set lo up || exit 125\n"
         "nft -f - <<'EOF' || exit 125\n"
         "table inet kv_test {\n"
         "  chain output {\n"
         "    type filter hook output priority 0; policy accept;\n"
         "    ip daddr 127.0.0.1 tcp dport " + std::to_string(kDroppedPort) + " drop\n"
         "  }\n"
         "}\n"
         "EOF\n";
}

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

std::string withSlotEdited(const std::string& packageBytes, const std::string& key,
                           const std::string& room) {
  const std::string field = std::string(1, '\0') + key + "=";
  const size_t at = packageBytes.find(field);
  if (at == std::string::npos) {
    ADD_FAILURE() << "no slot " << key << " in the package";
    return packageBytes;
  }
  std::string edited = packageBytes;
  edited.replace(at + field.size(), room.size(), room);
  return edited;
}

std::vector<std::string> withPacketsDropped(const std::vector<std::string>& command) {
  // A plain user's network namespace needs a user namespace where it is root,
  // for nft's rules as much as for the namespace itself.
  std::vector<std::string> argv = {"/usr/bin/unshare"};
  if (geteuid() != 0) argv.emplace_back("--map-root-user");
  argv.insert(argv.end(), {"--net", "/bin/sh", "-c", dropPacketsScript() + "exec \"$@\"", "sh"});
  argv.insert(argv.end(), command.begin(), command.end());
  return argv;
}

// /proc/PID/net/tcp lists the sockets of the process's namespace, one a line:
// "sl local_address rem_address st ...", addresses in hexadecimal, st 02 for
// a connect that waits for its answer (SYN_SENT).
bool waitUntilConnectingToDroppedPort(int pid) {
  char port[8];
  snprintf(port, sizeof port, ":%04X", kDroppedPort);
  const std::string table = "/proc/" + std::to_string(pid) + "/net/tcp";
  return waitUntil(
      [&] {
        std::istringstream lines(readFile(table));
        for (std::string line; std::getline(lines, line);) {
          std::istringstream fields(line);
          std::string slot, local, remote, state;
          if (fields >> slot >> local >> remote >> state && endsWith(remote, port) && state == "02")
            return true;
        }
        return false;
      },
      30000);
}

std::string droppedAgentUrl() { return "http://127.0.0.1:" + std::to_string(kDroppedPort) + "/agent"; }

void expectEndAtTheConnectLimit(const Command& command) {
  const std::string url = droppedAgentUrl();
  const auto started = std::chrono::steady_clock::now();
  ProcessResult result = runProcess(command);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Failed to download the TVE Installer from " + url + "Error : nothing answered at 127.0.0.1:" +
                std::to_string(kDroppedPort) + " (the connection timed out)\nInstallation failed.\n",
            result.err);
  EXPECT_GE(took.count(), 29) << "seconds: the connect limit is 30, as documented";
  EXPECT_LT(took.count(), 60) << "seconds";
}

std::string withoutRecordedSizes(const std::string& packageBytes) {
  const std::string empty(kSizeSlotBytes, '\0');
  return withSlotEdited(withSlotEdited(packageBytes, kStubPackageLengthKey, empty),
                        kStubUnpackedSizeKey, empty);
}
