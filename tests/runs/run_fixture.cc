#include "tests/runs/run_fixture.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "formats/arch.h"
#include "os/shell.h"
#include "build_config.h"

namespace {

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// The root a shell command made (once) prints on its first line.
std::string rootFrom(const std::string& maker) {
  const std::string root = firstLine(shellOrDie(sourceDir() + "/tools/" + maker));
  EXPECT_TRUE(fileExists(root + "/usr/lib")) << maker << " made no root: " << root;
  return root;
}

// The shipped stub inside the root it is built in, Debian 11's glibc 2.31
// and libcurl, as on an older system than the build machine: the root sees
// the host's /tmp (the run's private one) and /var/tmp, where every file of
// a test lies, under the same names.
std::vector<std::string> inDebian11Root(const std::string& root) {
  return {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
          "root=$1; shift; mount --rbind /tmp \"$root/tmp\" && mount --rbind /var/tmp \"$root/var/tmp\" && "
          "mount --rbind /proc \"$root/proc\" && mount --rbind /dev \"$root/dev\" && exec chroot \"$root\" \"$@\"",
          "sh", root, "/usr/bin/env", "PATH=/usr/bin:/bin"};
}

Runner makeRunner() {
  const char* chosen = getenv("KV_TEST_RUNNER");
  Runner runner;
  runner.name = chosen != nullptr && *chosen != '\0' ? chosen : "host";
  runner.platform = kPlatformTag;
  if (runner.name == "host") {
    runner.bootstrap = KV_BOOTSTRAP_BIN;
    runner.keyedBootstrap = KV_KEYED_BOOTSTRAP_BIN;
  } else if (runner.name == "shipped" || runner.name == "debian11") {
    runner.bootstrap = KV_STUB_BIN;
    runner.keyedBootstrap = KV_STUB_KEYED_BIN;
    if (runner.name == "debian11") {
      runner.libraryRoot = rootFrom("stub-root.sh");
      runner.prefix = inDebian11Root(runner.libraryRoot);
    }
  } else if (runner.name == "aarch64") {
    // The programs a bootstrap starts (sh, unzip) are the host's, run
    // natively, as a user's machine has its own; the emulator needs no binfmt
    // registration. Vendors name their agent files after the platform.
    runner.bootstrap = KV_STUB_AARCH64_BIN;
    runner.keyedBootstrap = KV_STUB_KEYED_AARCH64_BIN;
    runner.arch = "aarch64";
    runner.platform = "tuxarm64le";
    runner.libraryRoot = rootFrom("arm64-root.sh");
    const std::string qemu = firstLine(shellOrDie("command -v qemu-aarch64-static || true"));
    EXPECT_FALSE(qemu.empty()) << "needs qemu-aarch64-static (Debian: qemu-user-static)";
    runner.prefix = {qemu, "-L", runner.libraryRoot};
  } else {
    ADD_FAILURE() << "KV_TEST_RUNNER=" << runner.name << ": no such runner";
  }
  return runner;
}

// The directory, links resolved, of the file the dynamic loader opens for a
// library name; empty when there is none.
std::string hostLibraryDir(const char* soname) {
  void* library = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) return "";
  struct link_map* map = nullptr;
  std::string dir;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) {
    std::string path = map->l_name;
    char* resolved = realpath(path.substr(0, path.rfind('/')).c_str(), nullptr);
    if (resolved != nullptr) dir = resolved;
    free(resolved);
  }
  dlclose(library);
  return dir;
}

std::string userAgentOf(const std::string& platform) {
  return std::string("kv-bootstrap/") + KV_VERSION + " (" + platform + ")";
}

}  // namespace

std::string Runner::libraryDir(const std::string& soname) const {
  if (libraryRoot.empty()) return hostLibraryDir(soname.c_str());
  for (const char* dir : {"/usr/lib/aarch64-linux-gnu/", "/usr/lib/x86_64-linux-gnu/"})
    if (fileExists(libraryRoot + dir + soname)) return libraryRoot + dir;
  return "";
}

std::string Runner::signalNote(int signo) const {
  if (name != "aarch64" || (signo != SIGQUIT && signo != SIGABRT)) return "";
  return "qemu: uncaught target signal " + std::to_string(signo) + " (" + strsignal(signo) + ") - core dumped\n";
}

const Runner& runner() {
  static const Runner chosen = makeRunner();
  return chosen;
}

RunTest::RunTest(const std::string& serverConfig)
    : nginx_(::www(tmp_), {"", "",
                           "if ($http_user_agent != \"" + userAgentOf(runner().platform) +
                               "\") { return 403; }\n" + serverConfig}) {}

void RunTest::SetUp() {
  ASSERT_TRUE(nginx_.started()) << nginx_.errorLog();
  ASSERT_TRUE(fileExists(runner().bootstrap)) << runner().name << ": " << runner().bootstrap;
  workDirsBefore_ = workDirsInTmp();
}

void RunTest::TearDown() { expectNoWorkDirLeft(); }

std::string RunTest::home() const {
  const std::string dir = tmp_ / homeName_;
  mkdir(dir.c_str(), 0755);
  return dir;
}

std::string RunTest::agentUrl(const std::string& name) const { return nginx_.url("/" + name); }

std::string RunTest::cacheRoot(const std::string& url, const std::string& keyId) const {
  return agentCacheRootFor(home(), url.empty() ? agentUrl() : url, keyId, runner().platform);
}

std::string RunTest::serveAgent(const std::string& name, const std::string& script, bool signIt,
                                time_t modified) {
  const std::string path = www() + "/" + name;
  ScopedTempDir stage;
  writeFile(stage / "install", script, 0755);
  shellOrDie("mkdir -p " + quoteIfNeeded(path.substr(0, path.rfind('/'))) + " && cd " +
             quoteIfNeeded(stage.path()) + " && zip -q -0 -X agent.zip install && rm -f " +
             quoteIfNeeded(path + ".minisig"));
  // Signed under the name it is served as, which minisign's comment records.
  const std::string file = path.substr(path.rfind('/') + 1);
  if (signIt)
    shellOrDie("cd " + quoteIfNeeded(stage.path()) + " && cp agent.zip " + quoteIfNeeded(file) +
               " && minisign -S -s " KV_TEST_KEY_DIR "/agent.key -m " + quoteIfNeeded(file) + " >/dev/null && mv " +
               quoteIfNeeded(file + ".minisig") + " " + quoteIfNeeded(path + ".minisig"));
  lastServed_ = std::max(lastServed_ + 100, modified);
  const time_t when = modified != 0 ? modified : lastServed_;
  struct timeval times[2] = {{when, 0}, {when, 0}};
  utimes((stage / "agent.zip").c_str(), times);
  EXPECT_EQ(0, rename((stage / "agent.zip").c_str(), path.c_str())) << path;
  return path;
}

std::string RunTest::probe(const std::string& name, int exitCode) const {
  return probeAgentScript(record(name), exitCode);
}

std::string RunTest::pack(PackageSpec recipe) const {
  if (recipe.bootstrap.empty())
    recipe.bootstrap = recipe.agentKey.empty() ? runner().bootstrap : runner().keyedBootstrap;
  if (recipe.arch.empty()) recipe.arch = runner().arch;
  makePackage(recipe);
  return recipe.output;
}

std::string RunTest::packCarrying(const std::string& script, const std::string& name) const {
  const std::string agent = tmp_ / (name + ".agent.zip");
  makeAgentZip(agent, script);
  return pack({tmp_ / name, {{"a.txt", "a\n"}}, agent});
}

Command RunTest::runCommand(const std::string& package, const std::vector<std::string>& args) const {
  Command command;
  command.argv = runner().prefix;
  command.argv.push_back(package);
  command.argv.insert(command.argv.end(), args.begin(), args.end());
  command.setEnv = {{"HOME", home()}, {kAgentUrlVariable, agentUrl()}};
  command.unsetEnv = {"__KV_BOOTSTRAP_INSTALLER_UNITTEST__"};
  command.workDir = tmp_.path();  // where a SIGQUIT may leave a core file
  command.privateTmp = runTmpDir();
  return command;
}

ProcessResult RunTest::run(const std::string& package, const std::vector<std::string>& args) const {
  return runProcess(runCommand(package, args));
}

Command RunTest::ownAgentUrl(Command command) {
  command.setEnv.erase(kAgentUrlVariable);
  command.unsetEnv.push_back(kAgentUrlVariable);
  return command;
}

void RunTest::expectNoWorkDirLeft() const {
  EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_)) << "a run left its work directory";
}
