// The shipped bootstrap on systems unlike the build machine: an older glibc,
// no libcurl at all, or only the GnuTLS flavour of libcurl.
#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/nginx_server.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

namespace {

// The file the dynamic loader opens for a library name; empty when none.
std::string loadedFileOf(const char* soname) {
  void* library = dlopen(soname, RTLD_LAZY | RTLD_LOCAL);
  if (library == nullptr) return "";
  struct link_map* map = nullptr;
  std::string path;
  if (dlinfo(library, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr) path = map->l_name;
  dlclose(library);
  return path;
}

class ShippedStubTest : public testing::Test {
 protected:
  ShippedStubTest() : nginx_(www()) {}

  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    workDirsBefore_ = workDirsInTmp();
    makeAgentZip(tmp_ / "agent.zip", probeAgentScript(tmp_ / "carried.record"));
    makePackage({tmp_ / "carried.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", shippedBootstrap()});
    makePackage({tmp_ / "fetching.run", {{"a.txt", "a\n"}}, "", shippedBootstrap()});
    makeAgentZip(tmp_ / "served.zip", probeAgentScript(tmp_ / "served.record"));
    shellOrDie("mv " + (tmp_ / "served.zip") + " " + www() + "/agent");
    mkdir((tmp_ / "home").c_str(), 0755);
  }

  std::string www() const {
    std::string dir = tmp_ / "www";
    mkdir(dir.c_str(), 0755);
    return dir;
  }

  // Runs a package with each of the given library files replaced by an empty
  // one, in a mount namespace of its own, so the loader cannot use them.
  ProcessResult runWithout(const std::vector<std::string>& libraries, const std::string& package) {
    Command command;
    command.argv = {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
                    "while [ \"$1\" != -- ]; do mount --bind /dev/null \"$1\" || exit 125; shift; "
                    "done; shift; exec \"$@\"",
                    "sh"};
    for (const std::string& library : libraries) command.argv.push_back(library);
    command.argv.push_back("--");
    command.argv.push_back(package);
    command.setEnv = {{"HOME", tmp_ / "home"},
                      {"KV_INTERNAL_INSTALL_AGENT_URL", nginx_.url("/agent")}};
    command.privateTmp = runTmpDir();
    return runProcess(command);
  }

  ScopedTempDir tmp_;
  NginxServer nginx_;
  std::vector<std::string> workDirsBefore_;
};

}  // namespace

TEST_F(ShippedStubTest, WithoutLibcurlOnlyTheCarriedAgentInstalls) {
  std::vector<std::string> libraries;
  for (const char* soname : {"libcurl.so.4", "libcurl-gnutls.so.4"}) {
    std::string path = loadedFileOf(soname);
    ASSERT_FALSE(path.empty()) << soname << " must be installed for this test";
    libraries.push_back(path);
  }

  ProcessResult carried = runWithout(libraries, tmp_ / "carried.run");
  EXPECT_EQ(0, carried.exitCode) << carried.err;
  EXPECT_EQ("", carried.err);
  EXPECT_EQ(2u, readRecordedArgs(tmp_ / "carried.record").size());

  ProcessResult fetching = runWithout(libraries, tmp_ / "fetching.run");
  EXPECT_EQ(255, fetching.exitCode);
  EXPECT_EQ("Failed to initialize CURL library to download the TVE Installer from " +
                nginx_.url("/agent") +
                "Error : libcurl is not installed (tried libcurl.so.4 and libcurl-gnutls.so.4); "
                "install your distribution's libcurl package\nInstallation failed.\n",
            fetching.err);
  EXPECT_EQ(std::vector<std::string>{}, nginx_.accessLogRequests());
  EXPECT_FALSE(fileExists(tmp_ / "home/.korvex")) << "nothing may be left in the cache";
  EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
}

TEST_F(ShippedStubTest, TheGnutlsLibcurlServesWhenItIsTheOnlyOne) {
  std::string openssl = loadedFileOf("libcurl.so.4");
  ASSERT_FALSE(openssl.empty());
  ASSERT_FALSE(loadedFileOf("libcurl-gnutls.so.4").empty()) << "needs libcurl3-gnutls";

  ProcessResult first = runWithout({openssl}, tmp_ / "fetching.run");
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ(2u, readRecordedArgs(tmp_ / "served.record").size());
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}),
            nginx_.accessLogRequests());

  nginx_.clearAccessLog();
  ProcessResult again = runWithout({openssl}, tmp_ / "fetching.run");
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
  shellOrDie("mv " + (tmp_ / "served.zip") + " " + www() + "/agent");
  auto runInRoot = [&](const std::string& package) {
    Command command;
    command.argv = {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
                    "root=$1 dir=$2; shift 2; mount --bind \"$dir\" \"$root/mnt\" && "
                    "mount --bind \"$dir/tmp\" \"$root/tmp\" && mount -t proc proc \"$root/proc\" && "
                    "mount --bind /dev \"$root/dev\" && exec chroot \"$root\" \"$@\"",
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
    std::string requests;
    for (const std::string& request : nginx_.accessLogRequests())
      requests += (requests.empty() ? "" : ",") + request;
    EXPECT_EQ(expected, requests);
  }
  EXPECT_EQ(std::vector<std::string>{}, listDir(tmp_ / "tmp")) << "a work directory was left";
}
