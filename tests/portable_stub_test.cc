// The shipped bootstrap on systems unlike the build machine: an older glibc,
// no libcurl at all, only the GnuTLS flavour of libcurl, or the oldest libcurl.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <csignal>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "tests/nginx_server.h"
#include "tests/proxy_server.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/server_process.h"
#include "tests/test_util.h"

namespace {

// The directory, links resolved, of the file the dynamic loader opens for a
// library name; empty when there is none.
std::string libraryDirOf(const char* soname) {
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

// The agent server refuses requests without a User-Agent: every libcurl the
// bootstrap meets must send the one it sets.
class ShippedStubTest : public testing::Test {
 protected:
  ShippedStubTest() : nginx_(www(tmp_), {"", "", kRefuseRequestsWithoutUserAgent}) {}

  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    workDirsBefore_ = workDirsInTmp();
    makeAgentZip(tmp_ / "agent.zip", probeAgentScript(tmp_ / "carried.record"));
    makePackage({tmp_ / "carried.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", shippedBootstrap()});
    makePackage({tmp_ / "fetching.run", {{"a.txt", "a\n"}}, "", shippedBootstrap()});
    makeAgentZip(tmp_ / "served.zip", probeAgentScript(tmp_ / "served.record"));
    shellOrDie("mv " + (tmp_ / "served.zip") + " " + www(tmp_) + "/agent");
    mkdir((tmp_ / "home").c_str(), 0755);
  }


  // Runs a package as on a system where the libraries named in `hidden` are
  // not installed and those in `broken` are installed but empty (all of them
  // in one directory).
  ProcessResult runWithout(const std::vector<std::string>& hidden, const std::string& package,
                           const std::vector<std::string>& broken = {}) {
    std::string dir;
    for (const auto* names : {&hidden, &broken}) {
      for (const std::string& name : *names) {
        const std::string path = libraryDirOf(name.c_str());
        EXPECT_TRUE(dir.empty() || dir == path) << name << " is not in " << dir;
        dir = path;
      }
    }
    Command command;
    command.argv = withFilesMissing(dir, hidden, broken, tmp_.path(), {package});
    command.setEnv = {{"HOME", tmp_ / "home"},
                      {"KV_INTERNAL_INSTALL_AGENT_URL", nginx_.url("/agent")}};
    command.privateTmp = runTmpDir();
    return runProcess(command);
  }

  // The host build and the shipped one, once each.
  static std::vector<std::string> bootstraps() {
    std::vector<std::string> both = {bootstrapBinary()};
    if (shippedBootstrap() != bootstrapBinary()) both.push_back(shippedBootstrap());
    return both;
  }

  // A run on the stand-in for libcurl 7.29.0, which logs what it refuses.
  Command onOldLibcurl(const std::string& package, const std::string& agentUrl) {
    Command command;
    command.argv = {package};
    command.setEnv = {{"HOME", tmp_ / "home"},
                      {"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl},
                      {"LD_LIBRARY_PATH", KV_OLD_LIBCURL_DIR},
                      {"KV_OLD_LIBCURL_LOG", tmp_ / "old-libcurl.log"}};
    command.privateTmp = runTmpDir();
    return command;
  }
  // The run tried the interrupt check that libcurl 7.32.0 brought, got it
  // refused, and so was on the stand-in.
  void expectNewerOptionRefused() {
    EXPECT_NE(std::string::npos, readFile(tmp_ / "old-libcurl.log")
                                     .find("refused option " +
                                           std::to_string(CURLOPT_XFERINFOFUNCTION) + "\n"));
    unlink((tmp_ / "old-libcurl.log").c_str());
  }

  ScopedTempDir tmp_;
  NginxServer nginx_;
  std::vector<std::string> workDirsBefore_;
};

}  // namespace

// RHEL 7's libcurl 7.29.0 answers every option it lacks as unknown: the run
// must get by with what it has, and still end at once on SIGTERM.
TEST_F(ShippedStubTest, DownloadsWithTheOldestLibcurl) {
  for (const std::string& bootstrap : bootstraps()) {
    SCOPED_TRACE(bootstrap);
    shellOrDie("rm -rf " + (tmp_ / "home/.korvex"));
    makePackage({tmp_ / "old.run", {{"a.txt", "a\n"}}, "", bootstrap});
    for (const char* expected : {"HEAD /agent 200,GET /agent 200", "HEAD /agent 200"}) {
      SCOPED_TRACE(expected);
      nginx_.clearAccessLog();
      unlink((tmp_ / "served.record").c_str());
      ProcessResult result = runProcess(onOldLibcurl(tmp_ / "old.run", nginx_.url("/agent")));
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_EQ("", result.err);
      EXPECT_EQ(2u, readRecordedArgs(tmp_ / "served.record").size());
      EXPECT_EQ(expected, nginx_.joinedAccessLog());
      expectNewerOptionRefused();
    }
  }

  ScriptServer stalled;
  ASSERT_TRUE(stalled.started());
  stalled.setRoute("/agent", stalledAnswer());
  shellOrDie("rm -rf " + (tmp_ / "home/.korvex"));
  for (const std::string& bootstrap : bootstraps()) {
    SCOPED_TRACE(bootstrap);
    makePackage({tmp_ / "stall.run", {{"a.txt", "a\n"}}, "", bootstrap});
    stalled.clearRequests();
    const int pid = startProcess(onOldLibcurl(tmp_ / "stall.run", stalled.url("/agent")), "",
                                 tmp_ / "stall.err");
    ASSERT_TRUE(stalled.waitForRequest());
    const auto signalled = std::chrono::steady_clock::now();
    kill(pid, SIGTERM);
    ProcessResult result = waitProcess(pid);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
    EXPECT_EQ(SIGTERM, result.termSignal) << readFile(tmp_ / "stall.err");
    EXPECT_EQ("", readFile(tmp_ / "stall.err"));
    EXPECT_LT(took.count(), 20) << "seconds: the signal, not the 60 s stall limit, must end it";
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
    expectNewerOptionRefused();
  }
}

// The connect limit and the infos that tell an unanswered connect from a
// stall are all in libcurl 7.29.0: a firewall that drops the packets ends the
// run at the limit with the message that says so.
TEST_F(ShippedStubTest, ConnectThatNothingAnswersEndsAtTheLimitOnTheOldestLibcurl) {
  makePackage({tmp_ / "old.run", {{"a.txt", "a\n"}}, "", shippedBootstrap()});
  Command command = onOldLibcurl(tmp_ / "old.run", droppedAgentUrl());
  command.argv = withPacketsDropped(command.argv);
  command.unsetEnv = kProxyVariables;
  expectEndAtTheConnectLimit(command);
  EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
  expectNewerOptionRefused();
}

// Without a libcurl that loads, a package that carries its agent still
// installs; one that must download says why libcurl cannot serve, before any
// request and before the cache is touched.
TEST_F(ShippedStubTest, WithoutAUsableLibcurlOnlyTheCarriedAgentInstalls) {
  const std::string bothNames = "libcurl.so.4 and libcurl-gnutls.so.4";
  struct {
    const char* name;
    std::vector<std::string> hidden, broken;
    std::string why;
  } cases[] = {
      {"neither installed", {"libcurl.so.4", "libcurl-gnutls.so.4"}, {},
       "libcurl is not installed (tried " + bothNames +
           "); install your distribution's libcurl package"},
      {"a library both need is missing", {"libnghttp2.so.14"}, {},
       "libcurl.so.4 is installed but cannot be loaded: libnghttp2.so.14: cannot open shared "
       "object file: No such file or directory"},
      // The loader's words name the file by its path.
      {"an empty file", {"libcurl-gnutls.so.4"}, {"libcurl.so.4"},
       "libcurl.so.4 is installed but cannot be loaded: /"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((tmp_ / "carried.record").c_str());
    ProcessResult carried = runWithout(c.hidden, tmp_ / "carried.run", c.broken);
    EXPECT_EQ(0, carried.exitCode) << carried.err;
    EXPECT_EQ("", carried.err);
    EXPECT_EQ(2u, readRecordedArgs(tmp_ / "carried.record").size());

    ProcessResult fetching = runWithout(c.hidden, tmp_ / "fetching.run", c.broken);
    EXPECT_EQ(255, fetching.exitCode);
    const std::string failed = "Failed to initialize CURL library to download the TVE Installer from " +
                               nginx_.url("/agent") + "Error : " + c.why;
    EXPECT_EQ(0u, fetching.err.find(failed)) << fetching.err;
    EXPECT_TRUE(endsWith(fetching.err, "\nInstallation failed.\n")) << fetching.err;
    EXPECT_EQ(2, std::count(fetching.err.begin(), fetching.err.end(), '\n')) << fetching.err;
    EXPECT_EQ(std::vector<std::string>{}, nginx_.accessLogRequests());
    EXPECT_FALSE(fileExists(tmp_ / "home/.korvex")) << "nothing may be left in the cache";
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
  }
}

TEST_F(ShippedStubTest, TheGnutlsLibcurlServesWhenItIsTheOnlyOne) {
  ASSERT_FALSE(libraryDirOf("libcurl-gnutls.so.4").empty()) << "needs libcurl3-gnutls";

  ProcessResult first = runWithout({"libcurl.so.4"}, tmp_ / "fetching.run");
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ(2u, readRecordedArgs(tmp_ / "served.record").size());
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}),
            nginx_.accessLogRequests());

  nginx_.clearAccessLog();
  ProcessResult again = runWithout({"libcurl.so.4"}, tmp_ / "fetching.run");
  EXPECT_EQ(0, again.exitCode) << again.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, nginx_.accessLogRequests());
}

// Debian 11's glibc 2.31 is older than the build machine's; the root is the
// one the shipped bootstrap is built in.
TEST_F(ShippedStubTest, RunsInADebian11Root) {
  if (!KV_STUB_IS_PORTABLE) GTEST_SKIP() << "this build makes no shipped bootstrap of its own";
  std::string root = shellOrDie(sourceDir() + "/tools/stub-root.sh");
  root = root.substr(0, root.find('\n'));
  ASSERT_TRUE(fileExists(root + "/lib/x86_64-linux-gnu/libc-2.31.so")) << root;

  // The test's directory is the root's /mnt and a directory of its own the
  // root's /tmp, so runs beside it do not see each other.
  mkdir((tmp_ / "tmp").c_str(), 01777);
  makeAgentZip(tmp_ / "agent.zip", probeAgentScript("/mnt/carried.record"));
  makePackage({tmp_ / "carried.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", shippedBootstrap()});
  makeAgentZip(tmp_ / "served.zip", probeAgentScript("/mnt/served.record"));
  shellOrDie("mv " + (tmp_ / "served.zip") + " " + www(tmp_) + "/agent");
  auto runInRoot = [&](const std::string& package) {
    Command command;
    command.argv = {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
                    "root=$1 dir=$2; shift 2; mount --bind \"$dir\" \"$root/mnt\" && "
                    "mount --bind \"$dir/tmp\" \"$root/tmp\" && mount --rbind /proc \"$root/proc\" && "
                    "mount --rbind /dev \"$root/dev\" && exec chroot \"$root\" \"$@\"",
                    "sh", root, tmp_.path(), "/usr/bin/env", "-i", "PATH=/usr/bin:/bin",
                    "HOME=/mnt/home", "KV_INTERNAL_INSTALL_AGENT_URL=" + nginx_.url("/agent"),
                    "/mnt/" + package, "-mode", "silent"};
    return runProcess(command);
  };

  ProcessResult carried = runInRoot("carried.run");
  EXPECT_EQ(0, carried.exitCode) << carried.err;
  EXPECT_EQ("", carried.err);
  EXPECT_EQ(4u, readRecordedArgs(tmp_ / "carried.record").size());
  EXPECT_EQ(std::vector<std::string>{}, nginx_.accessLogRequests());

  for (const char* expected : {"HEAD /agent 200,GET /agent 200", "HEAD /agent 200"}) {
    SCOPED_TRACE(expected);
    nginx_.clearAccessLog();
    unlink((tmp_ / "served.record").c_str());
    ProcessResult fetching = runInRoot("fetching.run");
    EXPECT_EQ(0, fetching.exitCode) << fetching.err;
    EXPECT_EQ("", fetching.err);
    EXPECT_EQ(4u, readRecordedArgs(tmp_ / "served.record").size());
    EXPECT_EQ(expected, nginx_.joinedAccessLog());
  }
  EXPECT_EQ(std::vector<std::string>{}, listDir(tmp_ / "tmp")) << "a work directory was left";
}
