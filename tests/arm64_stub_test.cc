// The aarch64 bootstrap that vendors ship, run for real: arm64 packages made
// by kv-pack, started as "qemu-aarch64-static -L ROOT PACKAGE" with ROOT an
// unpacked Debian 11 arm64 root (tools/arm64-root.sh). The emulator needs no
// binfmt registration, and the programs the bootstrap starts (sh, unzip) are
// the host's, run natively, as a user's machine would have its own.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "formats/arch.h"
#include "tests/nginx_server.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"
#include "build_config.h"

namespace {

// The platform the aarch64 stubs record and fetch agents for: vendors name
// their agent files after it.
const char kArmPlatform[] = "tuxarm64le";

// The agent server refuses every request without the User-Agent of the
// aarch64 bootstrap, which names its platform.
class Arm64StubTest : public testing::Test {
 protected:
  Arm64StubTest()
      : nginx_(www(tmp_), {"", "",
                       "if ($http_user_agent != \"kv-bootstrap/" KV_VERSION " (" +
                           std::string(kArmPlatform) + ")\") { return 403; }\n"}) {}

  void SetUp() override {
    if (!KV_STUB_IS_PORTABLE) GTEST_SKIP() << "this build makes no shipped bootstraps";
    ASSERT_TRUE(nginx_.started());
    qemu_ = firstLine(shellOrDie("command -v qemu-aarch64-static || true"));
    ASSERT_FALSE(qemu_.empty()) << "needs qemu-aarch64-static (Debian: qemu-user-static)";
    root_ = firstLine(shellOrDie(sourceDir() + "/tools/arm64-root.sh"));
    ASSERT_TRUE(fileExists(root_ + "/lib/ld-linux-aarch64.so.1")) << root_;
    workDirsBefore_ = workDirsInTmp();
    mkdir((tmp_ / "home").c_str(), 0755);
  }

  static std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }


  // An arm64 package made by kv-pack with the aarch64 stub.
  std::string armPackage(const std::string& name, const std::string& agentZip) {
    makePackage({tmp_ / name, {{"a.txt", "a\n"}}, agentZip, KV_STUB_AARCH64_BIN, "aarch64"});
    return tmp_ / name;
  }

  // Runs the package as an arm64 machine's user would, in a mount namespace
  // of its own when `hidden` names libraries to take out of the arm64 root.
  Command armRun(const std::string& package, const std::vector<std::string>& hidden = {},
                 bool ownAgentUrl = false) {
    Command command;
    command.argv = {qemu_, "-L", root_, package, "-mode", "silent"};
    if (!hidden.empty())
      command.argv = withFilesMissing(root_ + "/usr/lib/aarch64-linux-gnu", hidden, {}, tmp_.path(),
                                      command.argv);
    command.setEnv = {{"HOME", tmp_ / "home"}};
    if (ownAgentUrl)
      command.unsetEnv = {"KV_INTERNAL_INSTALL_AGENT_URL"};
    else
      command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = nginx_.url("/agent");
    command.workDir = tmp_.path();  // where a signal's core file would go
    command.privateTmp = runTmpDir();
    return command;
  }

  void expectNoWorkDirLeft() { EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_)); }

  ScopedTempDir tmp_;
  NginxServer nginx_;
  std::string qemu_, root_;
  std::vector<std::string> workDirsBefore_;
};

}  // namespace

// kv-pack tells an arm64 package by its stub, and refuses to pack the stub
// for the other architecture.
TEST_F(Arm64StubTest, PackageWithItsAgentInstalls) {
  makeAgentZip(tmp_ / "agent.zip", probeAgentScript(tmp_ / "carried.record"));
  std::string package = armPackage("carried.run", tmp_ / "agent.zip");

  ProcessResult info = runProcess({{packBinary(), "--info", package}, {}, {}, "", ""});
  EXPECT_EQ(0, info.exitCode) << info.err;
  EXPECT_EQ(std::string(kArmPlatform), kArches[1].platformTag) << "kv-pack's table";
  for (const std::string& line : {"\nplatform         " + std::string(kArmPlatform) + "\n",
                                  std::string("\nmachine          aarch64\n"),
                                  std::string("\nneeds glibc      2.17 or later\n")})
    EXPECT_NE(std::string::npos, info.out.find(line)) << line << " in\n" << info.out;
  EXPECT_NE(std::string::npos, info.out.find("libpthread.so.0")) << info.out;

  ProcessResult refused =
      runProcess({{packBinary(), "--bootstrap", KV_STUB_AARCH64_BIN, "--bundle", tmp_ / "www",
                   "-o", tmp_ / "wrong.run"},
                  {}, {}, "", ""});
  EXPECT_EQ(1, refused.exitCode);
  EXPECT_NE(std::string::npos, refused.err.find("is built for aarch64, not for x86-64"))
      << refused.err;

  ProcessResult run = runProcess(armRun(package));
  EXPECT_EQ(0, run.exitCode) << run.err;
  EXPECT_EQ("", run.err);
  std::vector<std::string> args = readRecordedArgs(tmp_ / "carried.record");
  ASSERT_EQ(4u, args.size());
  EXPECT_EQ("-installbundle", args[0]);
  EXPECT_EQ("silent", args[3]);
  EXPECT_EQ("", nginx_.joinedAccessLog());
  expectNoWorkDirLeft();
}

// The arm64 libcurl of the root downloads the agent, from the server and
// checked with the key that kv-pack set, into the arm64 cache; the second
// run asks for the tag alone.
TEST_F(Arm64StubTest, DownloadedAgentIsCachedUnderItsOwnPlatform) {
  const std::string file = "/arm" + agentFileFor(kArmPlatform);
  makeAgentZip(tmp_ / "served.zip", probeAgentScript(tmp_ / "served.record"));
  shellOrDie("mkdir " + www(tmp_) + "/arm && mv " + (tmp_ / "served.zip") + " " + www(tmp_) + file +
             " && minisign -S -s " KV_TEST_KEY_DIR "/agent.key -m " + www(tmp_) + file + " >/dev/null");
  PackageSpec recipe{tmp_ / "fetching.run", {{"a.txt", "a\n"}}, "", KV_STUB_KEYED_AARCH64_BIN, "aarch64",
                   nginx_.url("/arm")};
  recipe.agentKey = KV_TEST_KEY_DIR "/agent.pub";
  makePackage(recipe);
  for (std::string expected : {"HEAD F 200,GET F 200,GET F.minisig 200", "HEAD F 200"}) {
    for (size_t at; (at = expected.find('F')) != std::string::npos;) expected.replace(at, 1, file);
    SCOPED_TRACE(expected);
    nginx_.clearAccessLog();
    unlink((tmp_ / "served.record").c_str());
    ProcessResult run = runProcess(armRun(recipe.output, {}, true));
    EXPECT_EQ(0, run.exitCode) << run.err;
    EXPECT_EQ("", run.err);
    EXPECT_EQ(4u, readRecordedArgs(tmp_ / "served.record").size());
    EXPECT_EQ(expected, nginx_.joinedAccessLog());
  }
  EXPECT_TRUE(fileExists(agentCacheRootFor(tmp_ / "home", nginx_.url(file), testKeyId(),
                                           kArmPlatform) + "installagent/install"));
  EXPECT_FALSE(fileExists(agentCacheBaseFor(tmp_ / "home")));
  expectNoWorkDirLeft();
}

TEST_F(Arm64StubTest, WithoutLibcurlOnlyTheCarriedAgentInstalls) {
  const std::vector<std::string> libcurls = {"libcurl.so.4", "libcurl-gnutls.so.4"};
  makeAgentZip(tmp_ / "agent.zip", probeAgentScript(tmp_ / "carried.record"));
  ProcessResult carried = runProcess(armRun(armPackage("carried.run", tmp_ / "agent.zip"), libcurls));
  EXPECT_EQ(0, carried.exitCode) << carried.err;
  EXPECT_EQ("", carried.err);
  EXPECT_EQ(4u, readRecordedArgs(tmp_ / "carried.record").size());

  ProcessResult fetching = runProcess(armRun(armPackage("fetching.run", ""), libcurls));
  EXPECT_EQ(255, fetching.exitCode);
  const std::string start = "Failed to initialize CURL library to download the TVE Installer from " +
                            nginx_.url("/agent") + "Error : ";
  EXPECT_EQ(0u, fetching.err.find(start)) << fetching.err;
  EXPECT_NE(std::string::npos, fetching.err.find("libcurl is not installed")) << fetching.err;
  EXPECT_TRUE(endsWith(fetching.err, "\nInstallation failed.\n")) << fetching.err;
  EXPECT_EQ("", nginx_.joinedAccessLog());
  EXPECT_FALSE(fileExists(tmp_ / "home/.korvex")) << "nothing may be left in the cache";
  expectNoWorkDirLeft();
}

// A service manager stopping the job: the whole group gets SIGTERM while the
// agent runs.
TEST_F(Arm64StubTest, TermWhileTheAgentRunsCleansUpAndEndsByIt) {
  std::string script = "touch " + (tmp_ / "started") + "\nsleep 30\ntouch " + (tmp_ / "finished") + "\n";
  makeAgentZip(tmp_ / "agent.zip", script);
  int pid = startProcess(armRun(armPackage("sleepy.run", tmp_ / "agent.zip")), "", tmp_ / "err");
  const std::string sleeping = "pgrep -g " + std::to_string(pid) + " -x sleep >/dev/null";
  bool asleep = false;
  for (int i = 0; i < 6000 && !asleep; ++i) {
    asleep = fileExists(tmp_ / "started") && system(sleeping.c_str()) == 0;
    if (!asleep) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(asleep) << "the agent never ran";
  kill(-pid, SIGTERM);
  ProcessResult ended = waitProcess(pid);
  EXPECT_EQ(SIGTERM, ended.termSignal) << "exit code " << ended.exitCode;
  EXPECT_EQ("", readFile(tmp_ / "err"));
  EXPECT_FALSE(fileExists(tmp_ / "finished"));
  expectNoWorkDirLeft();
}
