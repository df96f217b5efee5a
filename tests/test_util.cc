#include "tests/test_util.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "agent/agent_paths.h"
#include "formats/minisig.h"
#include "os/shell.h"
#include "tests/test_users.h"

extern char** environ;

ScopedTempDir::ScopedTempDir(const std::string& parent) {
  std::string name = parent + "/bootstrap-test-XXXXXX";
  if (mkdtemp(&name[0]) == nullptr) {
    ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    return;
  }
  path_ = name;
}

ScopedTempDir::~ScopedTempDir() {
  if (path_.empty()) return;
  // A test may leave read-only directories behind; make them removable first.
  std::string quoted = quoteIfNeeded(path_);
  if (system(("chmod -R u+rwx " + quoted + " 2>/dev/null; rm -rf " + quoted).c_str()) != 0)
    ADD_FAILURE() << "could not remove " << path_;
}

ScopedEnv::ScopedEnv(const char* name, const std::optional<std::string>& value) : name_(name) {
  if (const char* old = getenv(name)) old_ = old;
  set(value);
}

ScopedEnv::~ScopedEnv() { set(old_); }

void ScopedEnv::set(const std::optional<std::string>& value) {
  if (value)
    setenv(name_.c_str(), value->c_str(), 1);
  else
    unsetenv(name_.c_str());
}

namespace {

std::vector<std::string> buildEnvironment(const Command& command) {
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    std::string name = item.substr(0, item.find('='));
    if (command.setEnv.count(name) != 0) continue;
    if (std::find(command.unsetEnv.begin(), command.unsetEnv.end(), name) != command.unsetEnv.end())
      continue;
    env.push_back(item);
  }
  for (const auto& [name, value] : command.setEnv) env.push_back(name + "=" + value);
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// The top-level names under /tmp of the checkout and the build tree, when
// they lie there (a CI system's clone, say): a private /tmp would hide the
// test's own programs and scripts.
std::vector<std::string> ownTreesUnderTmp() {
  std::vector<std::string> names;
  for (const std::string& path : {sourceDir(), binaryDir()}) {
    const std::string tmp = "/tmp/";
    if (path.compare(0, tmp.size(), tmp) != 0) continue;
    std::string name = path.substr(tmp.size(), path.find('/', tmp.size()) - tmp.size());
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end())
      names.push_back(name);
  }
  return names;
}

// Binds dir over /tmp, then the test's own trees back into it from the /tmp
// underneath, reached through a descriptor opened before.
bool bindPrivateTmp(const char* dir, const std::vector<std::string>& keptTrees) {
  const int oldTmp = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (oldTmp < 0 || mount(dir, "/tmp", nullptr, MS_BIND, nullptr) != 0) return false;
  for (const std::string& name : keptTrees) {
    const std::string target = "/tmp/" + name;
    const std::string source = "/proc/self/fd/" + std::to_string(oldTmp) + "/" + name;
    if ((mkdir(target.c_str(), 0755) != 0 && errno != EEXIST) ||
        mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
      return false;
  }
  close(oldTmp);
  return true;
}

// Mounts seen by this process alone (for a plain user, in the user namespace
// ChildUser made); private propagation keeps them from reaching the test's
// own mount namespace. Inside a chroot "/" is no mount
// point and keeps the propagation its maker set, as tools/private-mounts.sh does.
bool enterPrivateMounts(const Command& command, const std::vector<std::string>& keptTrees) {
  if (unshare(CLONE_NEWNS) != 0) return false;
  mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr);
  if (!command.privateTmp.empty() && !bindPrivateTmp(command.privateTmp.c_str(), keptTrees))
    return false;
  for (const auto& [from, over] : command.bindMounts)
    if (mount(from.c_str(), over.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
  return true;
}

// Forks and execs the command with the given descriptors as its standard streams.
int spawn(const Command& command, int inFd, int outFd, int errFd) {
  std::vector<std::string> args = command.argv;
  std::vector<std::string> env = buildEnvironment(command);
  std::vector<char*> argPointers = pointersTo(args);
  std::vector<char*> envPointers = pointersTo(env);
  const bool privateMounts = !command.privateTmp.empty() || !command.bindMounts.empty();
  const std::vector<std::string> keptTrees = ownTreesUnderTmp();
  ChildUser user(command.asOtherUser, privateMounts);
  pid_t pid = fork();
  if (pid != 0) {
    const std::string problem = pid > 0 ? user.afterFork(pid) : "fork: " + std::string(strerror(errno));
    if (!problem.empty()) ADD_FAILURE() << "cannot start " << command.argv[0] << " as the other user: " << problem;
    return pid;
  }
  // A child of its own process group, so a test can signal the whole group.
  setpgid(0, 0);
  dup2(inFd, 0);
  dup2(outFd, 1);
  dup2(errFd, 2);
  if (!command.workDir.empty() && chdir(command.workDir.c_str()) != 0) _exit(126);
  if (!user.enter() || (privateMounts && !enterPrivateMounts(command, keptTrees)) || !user.become()) {
    const char message[] = "test: cannot give the child the mounts or the user it asks for\n";
    [[maybe_unused]] ssize_t written = write(2, message, sizeof message - 1);
    _exit(125);
  }
  execve(argPointers[0], argPointers.data(), envPointers.data());
  _exit(127);
}

int openOutput(const std::string& path) {
  return open(path.empty() ? "/dev/null" : path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
              0644);
}

}  // namespace

int startProcess(const Command& command, const std::string& outFile, const std::string& errFile) {
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = openOutput(outFile);
  int err = openOutput(errFile);
  int pid = spawn(command, in, out, err);
  close(in);
  close(out);
  close(err);
  return pid;
}

ProcessResult waitProcess(int pid) {
  ProcessResult result;
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitCode = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.termSignal = WTERMSIG(status);
  return result;
}

ProcessResult runProcess(const Command& command) {
  int inPipe[2], outPipe[2], errPipe[2];
  if (pipe2(inPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0 ||
      pipe2(errPipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe: " << strerror(errno);
    return {};
  }
  int pid = spawn(command, inPipe[0], outPipe[1], errPipe[1]);
  close(inPipe[0]);
  close(outPipe[1]);
  close(errPipe[1]);
  if (!command.stdinText.empty() &&
      write(inPipe[1], command.stdinText.data(), command.stdinText.size()) < 0)
    ADD_FAILURE() << "write to child: " << strerror(errno);
  close(inPipe[1]);

  ProcessResult result;
  struct pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[65536];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  ProcessResult ended = waitProcess(pid);
  result.exitCode = ended.exitCode;
  result.termSignal = ended.termSignal;
  return result;
}

std::string shellOrDie(const std::string& commandLine) {
  ProcessResult result = runProcess({{"/bin/sh", "-c", commandLine}, {}, {}, "", ""});
  EXPECT_EQ(0, result.exitCode) << commandLine << "\n" << result.err;
  return result.out;
}

void writeFile(const std::string& path, const std::string& contents, int mode) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << contents;
  file.close();
  EXPECT_TRUE(file) << "cannot write " << path;
  chmod(path.c_str(), static_cast<mode_t>(mode));
}

std::string readFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream contents;
  contents << file.rdbuf();
  return contents.str();
}

bool fileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return names;
  while (struct dirent* entry = readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

const std::string& runTmpDir() {
  static const ScopedTempDir dir;
  // Open to every user, as /tmp is, for the runs a test makes as another user.
  static const bool shared = chmod(dir.path().c_str(), 01777) == 0;
  EXPECT_TRUE(shared) << "chmod " << dir.path();
  return dir.path();
}

std::vector<std::string> workDirsInTmp() {
  std::vector<std::string> found;
  for (const std::string& name : listDir(runTmpDir()))
    if (name.size() == 8 && name.compare(0, 2, "kv") == 0) found.push_back(runTmpDir() + "/" + name);
  return found;
}

std::string bootstrapBinary() {
  // CTest runs the whole-run tests a second time with the shipped bootstrap.
  const char* chosen = getenv("KV_TEST_BOOTSTRAP");
  return chosen != nullptr && *chosen != '\0' ? chosen : KV_BOOTSTRAP_BIN;
}
std::string shippedBootstrap() { return KV_STUB_BIN; }
std::string packBinary() { return KV_PACK_BIN; }
std::string sourceDir() { return KV_SOURCE_DIR; }
std::string binaryDir() { return KV_BINARY_DIR; }

int freeLoopbackPort() { return ClosedLoopbackPort().port(); }

ClosedLoopbackPort::ClosedLoopbackPort() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    ADD_FAILURE() << "no free port: " << strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
}

ClosedLoopbackPort::~ClosedLoopbackPort() {
  if (fd_ >= 0) close(fd_);
}

std::string ClosedLoopbackPort::url(const std::string& pathStartingWithSlash) const {
  return "http://127.0.0.1:" + std::to_string(port_) + pathStartingWithSlash;
}

UnansweredLoopbackPort::UnansweredLoopbackPort()
    : listener_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      queued_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  // A backlog of 0 holds one connection; once it holds it, nothing more gets in.
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener_, 0) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      connect(queued_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ADD_FAILURE() << "no listener with a full queue: " << strerror(errno);
    return;
  }
  port_ = ntohs(address.sin_port);
}

UnansweredLoopbackPort::~UnansweredLoopbackPort() {
  if (queued_ >= 0) close(queued_);
  if (listener_ >= 0) close(listener_);
}

std::string UnansweredLoopbackPort::hostAndPort() const {
  return "127.0.0.1:" + std::to_string(port_);
}

void makeAgentZip(const std::string& zipPath, const std::string& installScript) {
  ScopedTempDir stage;
  writeFile(stage / "install", installScript, 0755);
  unlink(zipPath.c_str());
  shellOrDie("cd " + quoteIfNeeded(stage.path()) + " && zip -q " + quoteIfNeeded(zipPath) +
             " install");
}

std::string probeAgentScript(const std::string& recordPath, int exitCode) {
  return "for a in \"$@\"; do printf '%s\\000' \"$a\"; done > " + quoteIfNeeded(recordPath) +
         "\nexit " + std::to_string(exitCode) + "\n";
}

std::vector<std::string> readRecordedArgs(const std::string& recordPath) {
  std::vector<std::string> args;
  std::string recorded = readFile(recordPath);
  size_t start = 0;
  for (size_t end; (end = recorded.find('\0', start)) != std::string::npos; start = end + 1)
    args.push_back(recorded.substr(start, end - start));
  return args;
}

std::vector<std::string> withDescriptorLimit(int limit) {
  return {"/usr/bin/env", "python3", "-c",
          "import os, resource, sys\n"
          "os.closerange(3, resource.getrlimit(resource.RLIMIT_NOFILE)[1])\n"
          "resource.setrlimit(resource.RLIMIT_NOFILE, (" + std::to_string(limit) + ", " +
              std::to_string(limit) + "))\n"
          "os.execv(sys.argv[1], sys.argv[1:])\n"};
}

void makePackage(const PackageSpec& recipe) {
  ScopedTempDir stage;
  std::string bundleDir = stage / "bundle";
  for (const auto& [name, contents] : recipe.bundleFiles) {
    std::string path = bundleDir + "/" + name;
    shellOrDie("mkdir -p " + quoteIfNeeded(path.substr(0, path.rfind('/'))));
    writeFile(path, contents);
  }
  Command pack{{packBinary(), "--bootstrap", recipe.bootstrap.empty() ? bootstrapBinary() : recipe.bootstrap,
                "--bundle", bundleDir, "-o", recipe.output},
               {}, {}, "", ""};
  if (!recipe.agentZip.empty()) {
    pack.argv.push_back("--agent");
    pack.argv.push_back(recipe.agentZip);
  }
  if (!recipe.arch.empty()) {
    pack.argv.push_back("--arch");
    pack.argv.push_back(recipe.arch);
  }
  std::string agentUrl = recipe.agentUrl;
  if (agentUrl.empty() && recipe.agentZip.empty())
    agentUrl = "http://127.0.0.1:" + std::to_string(freeLoopbackPort());
  if (!agentUrl.empty()) {
    pack.argv.push_back("--agent-url");
    pack.argv.push_back(agentUrl);
  }
  if (!recipe.agentKey.empty()) {
    pack.argv.push_back("--agent-key");
    pack.argv.push_back(recipe.agentKey);
  }
  ProcessResult result = runProcess(pack);
  ASSERT_EQ(0, result.exitCode) << result.err;
}

std::string www(const ScopedTempDir& tmp) {
  const std::string dir = tmp / "www";
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string agentFileFor(const std::string& platform) {
  return "/pi_install_agent_pi_V7031c_" + platform;
}

std::string agentCacheBaseFor(const std::string& home, const std::string& platform) {
  return home + "/.korvex/installagent/V7031c/" + platform + "/";
}

std::string agentCacheRootFor(const std::string& home, const std::string& agentUrl,
                              const std::string& keyId, const std::string& platform) {
  std::string root = agentCacheBaseFor(home, platform) + agentSourceDirName(agentUrl);
  if (!keyId.empty()) root += "signed-" + keyId + "/";
  return root;
}

std::string testKeyLine() {
  const std::string pub = readFile(std::string(KV_TEST_KEY_DIR) + "/agent.pub");
  return pub.substr(pub.find('\n') + 1, 56);
}

std::string testKeyId() {
  MinisignPublicKey key;
  std::string why;
  const std::string file = std::string(KV_TEST_KEY_DIR) + "/agent.pub";
  if (!parseMinisignPublicKey(readFile(file), &key, &why)) ADD_FAILURE() << file << ": " << why;
  return keyIdText(key.keyId);
}
