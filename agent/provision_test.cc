// Where the install agent comes from, seen through whole runs of real packages
// against a real web server on loopback.
#include "agent/provision.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "os/report.h"
#include "os/shell.h"
#include "tests/nginx_server.h"
#include "tests/proxy_server.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/server_process.h"
#include "tests/test_users.h"
#include "tests/test_util.h"

namespace {


// The agent server refuses requests without a User-Agent, as many servers do.
class AgentSourceTest : public testing::Test {
 protected:
  AgentSourceTest() : nginx_(www(tmp_), {"", "", kRefuseRequestsWithoutUserAgent}) {}

  void SetUp() override { ASSERT_TRUE(nginx_.started()); }

  std::string home() const {
    std::string dir = tmp_ / homeName_;
    mkdir(dir.c_str(), 0755);
    return dir;
  }
  std::string cacheRoot() const { return agentCacheRootFor(home(), agentUrl()); }
  std::string agentUrl() const { return nginx_.url("/agent"); }

  // Serves an agent that records its arguments into record(tag).
  void serveAgent(const std::string& tag) {
    makeAgentZip(tmp_ / "served.zip", probeAgentScript(record(tag)));
    shellOrDie("mv " + (tmp_ / "served.zip") + " " + www(tmp_) + "/agent");
  }
  std::string record(const std::string& tag) const { return tmp_ / ("argv." + tag); }

  std::string package() {
    std::string path = tmp_ / "setup.run";
    if (!fileExists(path)) makePackage({path, {{"a.txt", "a\n"}}, "", ""});
    return path;
  }

  ProcessResult run(const std::vector<std::string>& args = {}) {
    Command command;
    command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = agentUrl();
    return runPackage(package(), home(), args, command);
  }

  std::vector<std::string> requests() { return nginx_.accessLogRequests(); }

  void expectAgentChangedDuringLockWaitRefused(const std::string& change, bool givenAway,
                                               const std::string& problem, const std::string& owner);

  ScopedTempDir tmp_;
  std::string homeName_ = "home";
  NginxServer nginx_;
};

}  // namespace

TEST(FindAgentZipInPayload, PrefersTheFixedNameAndTestsOnlyTheName) {
  ScopedTempDir tmp;
  EXPECT_EQ("", findAgentZipInPayload(tmp.path()));

  writeFile(tmp / "InstallAgent_x.zip.bak", "");
  writeFile(tmp / "InstallAgent.zip.old", "");
  writeFile(tmp / "installagent_1.zip", "");
  EXPECT_EQ("", findAgentZipInPayload(tmp.path()));

  mkdir((tmp / "InstallAgent_.zip").c_str(), 0755);  // a directory qualifies by its name
  EXPECT_EQ(tmp / "InstallAgent_.zip", findAgentZipInPayload(tmp.path()));
  EXPECT_EQ(tmp / "InstallAgent_.zip", findAgentZipInPayload(tmp.path() + "/"));

  writeFile(tmp / "InstallAgent.zip", "");
  EXPECT_EQ(tmp / "InstallAgent.zip", findAgentZipInPayload(tmp.path()));
  EXPECT_EQ(tmp / "InstallAgent.zip", findAgentZipInPayload(tmp.path() + "/"));
}

TEST_F(AgentSourceTest, AgentInThePackageNeedsNoNetworkAndNoCache) {
  for (const char* agentName : {"InstallAgent.zip", "InstallAgent_2.1.zip"}) {
    SCOPED_TRACE(agentName);
    makeAgentZip(tmp_ / agentName, probeAgentScript(record(agentName), 7));
    std::string path = tmp_ / (std::string(agentName) + ".run");
    makePackage({path, {{"a.txt", "a\n"}}, tmp_ / agentName, ""});
    ProcessResult result = runPackage(path, home(), {"-mode", "silent"});
    EXPECT_EQ(0, result.exitCode) << "the agent's own exit status 7 is its business";
    EXPECT_EQ("", result.err);
    std::vector<std::string> argv = readRecordedArgs(record(agentName));
    ASSERT_EQ(4u, argv.size());
    EXPECT_EQ("-installbundle", argv[0]);
    EXPECT_EQ("-mode", argv[2]);
  }
  EXPECT_FALSE(fileExists(home() + "/.korvex")) << "the cache must not even be created";
  EXPECT_EQ(std::vector<std::string>{}, requests());
}

TEST_F(AgentSourceTest, FixedNameWinsOverAVersionedOne) {
  // In the test mode the payload lands next to the package, beside what is there already.
  std::string dir = tmp_ / "pkg";
  mkdir(dir.c_str(), 0755);
  makeAgentZip(dir + "/InstallAgent_2.zip", probeAgentScript(record("versioned")));
  makeAgentZip(tmp_ / "InstallAgent.zip", probeAgentScript(record("fixed")));
  makePackage({dir + "/setup.run", {{"a.txt", "a\n"}}, tmp_ / "InstallAgent.zip", ""});

  Command command;
  command.argv = {dir + "/setup.run"};
  command.setEnv = {{"HOME", home()}, {"__KV_BOOTSTRAP_INSTALLER_UNITTEST__", ""}};
  command.privateTmp = runTmpDir();
  ProcessResult result = runProcess(command);
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_TRUE(fileExists(record("fixed")));
  EXPECT_FALSE(fileExists(record("versioned")));
}

TEST_F(AgentSourceTest, DownloadsOnceThenAsksOnlyForTheTagUntilTheFileChanges) {
  serveAgent("first");
  ProcessResult first = run({"-x"});
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests());
  EXPECT_EQ(3u, readRecordedArgs(record("first")).size());
  EXPECT_TRUE(fileExists(cacheRoot() + "installagent/install"));
  EXPECT_EQ(0u, readFile(cacheRoot() + ".validatestring").find("ETag: \""));

  nginx_.clearAccessLog();
  unlink(record("first").c_str());
  ProcessResult second = run();
  EXPECT_EQ(0, second.exitCode) << second.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, requests());
  EXPECT_EQ(2u, readRecordedArgs(record("first")).size()) << "the cached agent ran";

  nginx_.clearAccessLog();
  sleep(1);  // a new modification time gives a new tag
  serveAgent("second");
  ProcessResult third = run();
  EXPECT_EQ(0, third.exitCode) << third.err;
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests());
  EXPECT_EQ(2u, readRecordedArgs(record("second")).size()) << "the new agent ran";
}

TEST_F(AgentSourceTest, HomeThatNeedsQuotingHoldsTheCache) {
  homeName_ = "Ann's \"home\" $(x) dir";
  serveAgent("first");
  EXPECT_EQ(0, run().exitCode);
  EXPECT_TRUE(fileExists(cacheRoot() + "installagent/install"));

  sleep(1);
  serveAgent("second");  // the stale agent under this HOME must be removed and replaced
  ProcessResult result = run();
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("", result.err);
  EXPECT_TRUE(fileExists(record("second")));
  EXPECT_EQ(std::vector<std::string>{"V7031c"}, listDir(home() + "/.korvex/installagent"));
}

TEST_F(AgentSourceTest, ServerFailuresEndTheRunWithTheirMessage) {
  ScriptServer failing;
  ASSERT_TRUE(failing.started());
  ScriptedResponse serverError;
  serverError.status = 500;
  failing.setRoute("/agent", serverError);
  std::string failingUrl = failing.url("/agent");
  ClosedLoopbackPort closedPort;
  std::string closedUrl = closedPort.url("/agent");
  struct {
    std::string url;
    std::string message;
  } cases[] = {
      {agentUrl(), "Failed to download the TVE Installer from " + agentUrl() +
                       ". The specified URL is not reachable (HTTP code: 404)."},
      {failingUrl, "Failed to download the TVE Installer from " + failingUrl +
                       ". Received an HTTP code: 500."},
      {closedUrl,
       "Failed to download the TVE Installer from " + closedUrl + "Error : " +
           curl_easy_strerror(CURLE_COULDNT_CONNECT)},
  };
  for (const auto& c : cases) {
    Command command;
    command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = c.url;
    ProcessResult result = runPackage(package(), home(), {}, command);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(c.message + "\nInstallation failed.\n", result.err);
  }
}

// A firewall that drops the packets to the agent server: the run gives up at
// the connect limit, not after the kernel's SYN retries (over two minutes),
// says that nothing answered, and leaves nothing behind.
TEST_F(AgentSourceTest, AgentServerBehindAFirewallThatDropsPacketsFailsAtTheConnectLimit) {
  const std::vector<std::string> workDirsBefore = workDirsInTmp();
  Command command;
  command.argv = withPacketsDropped({package()});
  command.setEnv = {{"HOME", home()}, {"KV_INTERNAL_INSTALL_AGENT_URL", droppedAgentUrl()}};
  command.unsetEnv = kProxyVariables;
  command.privateTmp = runTmpDir();
  expectEndAtTheConnectLimit(command);
  EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore));
  EXPECT_FALSE(fileExists(cacheRoot() + ".validatestring"));
}

// libcurl takes the proxy from http_proxy, https_proxy or ALL_PROXY, never
// from HTTP_PROXY in capitals, and goes direct to the hosts no_proxy names.
// https goes through the proxy in a CONNECT tunnel, and the server's
// certificate is checked against the system's store (here the test's CA).
TEST_F(AgentSourceTest, ProxiesFromTheEnvironmentCarryTheDownload) {
  const TestCa ca = makeTestCa(tmp_ / "ca");
  NginxServer https(www(tmp_), {ca.certFile, ca.keyFile, kRefuseRequestsWithoutUserAgent});
  ASSERT_TRUE(https.started());
  serveAgent("proxied");
  const std::string httpsAgent = https.url("/agent");
  const std::string httpsHost = httpsAgent.substr(8, httpsAgent.find('/', 8) - 8);
  const std::string viaProxy = "HEAD " + agentUrl() + " HTTP/1.1,GET " + agentUrl() + " HTTP/1.1";
  struct {
    std::map<std::string, std::string> variables;  // "PROXY" stands for the proxy's URL
    std::string url;
    std::string proxied;  // what the proxy was asked, joined by commas
  } cases[] = {
      {{{"http_proxy", "PROXY"}}, agentUrl(), viaProxy},
      {{{"ALL_PROXY", "PROXY"}}, agentUrl(), viaProxy},
      {{{"https_proxy", "PROXY"}}, httpsAgent, "CONNECT " + httpsHost + " HTTP/1.1"},
      {{{"http_proxy", "PROXY"}, {"no_proxy", "127.0.0.1"}}, agentUrl(), ""},
      {{{"HTTP_PROXY", "PROXY"}}, agentUrl(), ""},
  };
  for (const auto& c : cases) {
    const ProxyServer proxy;
    ASSERT_TRUE(proxy.started());
    Command command;
    command.setEnv = {{"KV_INTERNAL_INSTALL_AGENT_URL", c.url}};
    std::string trace;
    for (const auto& [name, value] : c.variables) {
      command.setEnv[name] = value == "PROXY" ? proxy.url() : value;
      trace += name + "=" + command.setEnv[name] + " ";
    }
    SCOPED_TRACE(trace + c.url);
    command.unsetEnv = kProxyVariables;
    command.bindMounts = {{ca.caFile, kSystemCaBundle}};
    shellOrDie("rm -rf " + (tmp_ / "home/.korvex") + " " + record("proxied"));
    nginx_.clearAccessLog();

    ProcessResult result = runPackage(package(), home(), {}, command);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record("proxied")).size()) << "the downloaded agent ran";
    std::string proxied;
    for (const std::string& request : proxy.requests()) proxied += (proxied.empty() ? "" : ",") + request;
    EXPECT_EQ(c.proxied, proxied) << proxy.log();
    if (c.url == agentUrl()) {
      EXPECT_EQ("HEAD /agent 200,GET /agent 200", nginx_.joinedAccessLog());
    }
  }
}

TEST_F(AgentSourceTest, AgentThatDoesNotUnpackIsFetchedAgainNextTime) {
  writeFile(www(tmp_) + "/agent", "this is not a zip archive\n");
  ProcessResult result = run();
  EXPECT_EQ(255, result.exitCode);
  EXPECT_TRUE(endsWith(result.err, failureOutput(kAgentUnpackFailed))) << result.err;

  // An archive whose script unpacks but whose later member is damaged.
  ScopedTempDir stage;
  writeFile(stage / "install", probeAgentScript(record("partial")));
  writeFile(stage / "zz-data", std::string(4096, 'z'));
  shellOrDie("cd " + stage.path() + " && zip -q -0 agent.zip install zz-data");
  std::string bytes = readFile(stage / "agent.zip");
  size_t data = bytes.find(std::string(512, 'z'));
  ASSERT_NE(std::string::npos, data);
  bytes[data + 100] = 'y';
  writeFile(www(tmp_) + "/agent", bytes);

  nginx_.clearAccessLog();
  result = run();
  EXPECT_EQ(255, result.exitCode);
  EXPECT_TRUE(endsWith(result.err, failureOutput(kAgentUnpackFailed))) << result.err;
  EXPECT_FALSE(fileExists(cacheRoot() + ".validatestring"));
  EXPECT_FALSE(fileExists(cacheRoot() + "installagent"));

  nginx_.clearAccessLog();
  result = run();
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests())
      << "a half-unpacked agent must never count as current";
  EXPECT_FALSE(fileExists(record("partial")));
}

TEST_F(AgentSourceTest, ConcurrentFirstRunsShareOneCache) {
  std::string log = tmp_ / "runs.log";
  makeAgentZip(tmp_ / "served.zip", "echo ran >> " + log + "\n");
  shellOrDie("mv " + (tmp_ / "served.zip") + " " + www(tmp_) + "/agent");

  const int kRuns = 8;
  std::vector<int> pids;
  for (int i = 0; i < kRuns; ++i) {
    Command command;
    command.argv = {package()};
    command.setEnv = {{"HOME", home()}, {"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl()}};
    command.privateTmp = runTmpDir();
    pids.push_back(startProcess(command, "", tmp_ / ("err." + std::to_string(i))));
  }
  for (int i = 0; i < kRuns; ++i) {
    ProcessResult result = waitProcess(pids[static_cast<size_t>(i)]);
    EXPECT_EQ(0, result.exitCode) << readFile(tmp_ / ("err." + std::to_string(i)));
  }
  EXPECT_EQ(static_cast<size_t>(kRuns) * 4, readFile(log).size()) << readFile(log);

  std::vector<std::string> seen = requests();
  EXPECT_EQ(1, std::count(seen.begin(), seen.end(), "GET /agent 200")) << "one download for all";

  nginx_.clearAccessLog();
  ProcessResult next = run();
  EXPECT_EQ(0, next.exitCode) << next.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, requests());
}

namespace {

// Runs the package as another user, in a mount namespace whose /tmp is
// tmpDir, with HOME set to home or (when empty) unset.
ProcessResult runAsOtherUser(const std::string& package, const std::string& tmpDir, const std::string& home,
                             const std::string& agentUrl) {
  Command command{{package}, {{"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl}}, {}, "/", ""};
  if (home.empty())
    command.unsetEnv.push_back("HOME");
  else
    command.setEnv["HOME"] = home;
  command.privateTmp = tmpDir;
  command.asOtherUser = true;
  return runProcess(command);
}

std::string untrustedLine(const std::string& path) {
  return "The install agent cache cannot be trusted: " + path + " belongs to another user (owner: " +
         thisUserText() + ", you are " + userText(otherUser().uid) +
         "). Have it removed, or set HOME to a directory of your own.\nInstallation failed.\n";
}

}  // namespace

// Without HOME the cache is in /tmp, where anyone can create it first; a run
// as root with HOME kept (sudo -E) leaves a cache the user cannot use.
TEST_F(AgentSourceTest, CacheOfAnotherUserIsNeverUsed) {
  SKIP_WITHOUT_OTHER_USER();
  ScopedTempDir outside("/var/tmp");
  chmod(outside.path().c_str(), 0755);
  std::string package = outside / "setup.run";
  makePackage({package, {{"a.txt", "a\n"}}, "", ""});
  std::string sharedTmp = outside / "tmp";
  std::string home = outside / "home";
  shellOrDie("mkdir -m 1777 " + sharedTmp + " && mkdir " + home);
  serveAgent("served");

  // This user plants an agent that the server's tag makes current.
  std::string planted = agentCacheRootFor(sharedTmp, agentUrl());
  shellOrDie("mkdir -p " + planted + "installagent");
  writeFile(planted + "installagent/install", "touch /tmp/planted-ran\n", 0755);
  writeFile(planted + ".validatestring", "ETag: " + NginxServer::expectedETag(www(tmp_) + "/agent") + "\r");
  ProcessResult result = runAsOtherUser(package, sharedTmp, "", agentUrl());
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(untrustedLine("/tmp/.korvex"), result.err);
  EXPECT_FALSE(fileExists(sharedTmp + "/planted-ran"));

  // The other user's HOME, once used by this user (root, say).
  ProcessResult asThisUser =
      runPackage(package, home, {}, Command{{}, {{"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl()}}, {}, "", ""});
  ASSERT_EQ(0, asThisUser.exitCode) << asThisUser.err;
  ASSERT_TRUE(giveToOtherUser(home));
  nginx_.clearAccessLog();
  result = runAsOtherUser(package, sharedTmp, home, agentUrl());
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(untrustedLine(home + "/.korvex"), result.err);
  EXPECT_EQ(std::vector<std::string>{}, requests()) << "nothing is asked before the cache is trusted";
  EXPECT_TRUE(takeBackFromOtherUser(home));
}

// An agent planted while a run waits for another run's lock would otherwise
// pass as the current one: the run looks again once the lock is its own. The
// planted script is changed by the shell commands `change` (given the path)
// and, when givenAway, given to another user, before it replaces the cached one.
void AgentSourceTest::expectAgentChangedDuringLockWaitRefused(const std::string& change, bool givenAway,
                                                              const std::string& problem,
                                                              const std::string& owner) {
  const std::string install = cacheRoot() + "installagent/install";
  const std::string planted = tmp_ / "planted-ran";
  const std::string held = tmp_ / "held";
  shellOrDie("rm -rf " + home() + " " + planted);
  ASSERT_EQ(0, run().exitCode) << "a sound, current cache first";
  // Another run, holding the lock for as long as `held` exists.
  int holder = startProcess({{"/usr/bin/flock", cacheRoot() + ".lock", "sh", "-c",
                              "touch \"$0\" && while [ -e \"$0\" ]; do sleep 0.05; done", held},
                             {}, {}, "", ""});
  ASSERT_TRUE(waitUntil([&] { return fileExists(held); }, 30000)) << "the lock was never taken";
  Command command;
  command.argv = {package()};
  command.setEnv = {{"HOME", home()}, {"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl()}};
  command.privateTmp = runTmpDir();
  int pid = startProcess(command, "", tmp_ / "err");
  ASSERT_TRUE(waitUntilWaitingForLock(pid)) << "the run never waited for the lock";

  writeFile(install + ".new", "touch " + planted + "\n", 0755);
  shellOrDie(change + " " + install + ".new");
  if (givenAway) {
    EXPECT_TRUE(giveToOtherUser(install + ".new"));
  }
  shellOrDie("mv " + install + ".new " + install);
  unlink(held.c_str());
  waitProcess(holder);
  ProcessResult result = waitProcess(pid);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("The install agent cache cannot be trusted: " + install + " " + problem + " (owner: " + owner +
                ", you are " + thisUserText() +
                "). Have it removed, or set HOME to a directory of your own.\nInstallation failed.\n",
            readFile(tmp_ / "err"));
  EXPECT_FALSE(fileExists(planted)) << "the planted agent ran";
}

TEST_F(AgentSourceTest, CacheThatTurnsUntrustedWhileARunWaitsForTheLockIsRefused) {
  serveAgent("served");
  for (const char* change : {"chmod 0775", "chmod 0757"}) {
    SCOPED_TRACE(change);
    expectAgentChangedDuringLockWaitRefused(change, false, "can be written by other users", thisUserText());
  }
}

TEST_F(AgentSourceTest, CacheThatTurnsAnotherUsersWhileARunWaitsForTheLockIsRefused) {
  SKIP_WITHOUT_OTHER_USER();
  serveAgent("served");
  expectAgentChangedDuringLockWaitRefused("true", true, "belongs to another user", userText(otherUser().uid));
}

TEST_F(AgentSourceTest, CacheThatCannotBeCreatedIsToldBeforeAnyDownload) {
  serveAgent("served");
  chmod(tmp_.path().c_str(), 0755);
  std::string readOnly = tmp_ / "read-only";
  shellOrDie("mkdir -m 0755 " + readOnly);
  const std::string cacheDir = agentCacheRootFor("", agentUrl()) + "installagent: ";
  const std::string fix = ". Set HOME to a directory of your own that you can write to.\nInstallation failed.\n";

  Command command;
  command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = agentUrl();
  ProcessResult result = runPackage(
      sourceDir() + "/tools/private-mounts.sh", readOnly,
      {"/bin/sh", "-c", "mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" && exec \"$0\"",
       package(), readOnly},
      command);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Cannot create the install agent cache directory " + readOnly + cacheDir + "Read-only file system" + fix,
            result.err);

  EXPECT_EQ(std::vector<std::string>{}, requests());
}

TEST_F(AgentSourceTest, CacheInAHomeTheUserCannotWriteToIsToldBeforeAnyDownload) {
  SKIP_WITHOUT_OTHER_USER();
  serveAgent("served");
  chmod(tmp_.path().c_str(), 0755);
  std::string foreign = tmp_ / "foreign";
  shellOrDie("mkdir -m 0755 " + foreign);
  ProcessResult result = runAsOtherUser(package(), runTmpDir(), foreign, agentUrl());
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Cannot create the install agent cache directory " + agentCacheRootFor(foreign, agentUrl()) +
                "installagent: Permission denied. Set HOME to a directory of your own that you can "
                "write to.\nInstallation failed.\n",
            result.err);
  EXPECT_EQ(std::vector<std::string>{}, requests());
}

// unzip gives files the modes stored in the archive; a cache it left writable
// by others would be refused by every later run. A link in the archive is no
// file of the cache: what it points to keeps its mode.
TEST_F(AgentSourceTest, AgentArchiveWithLooseModesLeavesAPrivateCache) {
  ScopedTempDir stage;
  const std::string outside = tmp_ / "outside";
  writeFile(outside, "", 0666);
  writeFile(stage / "install", probeAgentScript(record("loose")), 0777);
  shellOrDie("cd " + stage.path() + " && mkdir -m 0777 lib && touch lib/x && chmod 0666 lib/x && ln -s " +
             outside + " lib/link && zip -qry agent.zip install lib && mv agent.zip " + www(tmp_) + "/agent");
  for (int attempt = 1; attempt <= 2; ++attempt) {
    ProcessResult result = run();
    EXPECT_EQ(0, result.exitCode) << attempt << " " << result.err;
    EXPECT_EQ("", result.err);
  }
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200", "HEAD /agent 200"}), requests());
  struct stat info;
  ASSERT_EQ(0, stat((cacheRoot() + "installagent/lib/x").c_str(), &info));
  EXPECT_EQ(0644u, info.st_mode & 07777);
  ASSERT_EQ(0, stat((cacheRoot() + "installagent").c_str(), &info));
  EXPECT_EQ(0700u, info.st_mode & 07777) << "the agent directory";
  ASSERT_EQ(0, lstat((cacheRoot() + "installagent/lib/link").c_str(), &info));
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  ASSERT_EQ(0, stat(outside.c_str(), &info));
  EXPECT_EQ(0666u, info.st_mode & 07777) << "the file a link in the agent points to";
}

// An https agent URL, whatever the case of its scheme, stays on https: a
// redirect to plain http would undo the TLS the vendor chose, and is refused
// before the http server is reached (the closed port would fail the run
// otherwise). An http one may move up to https, as most servers send it. The
// test's CA is trusted only inside each run's own mount namespace.
TEST_F(AgentSourceTest, RedirectsKeepOrRaiseTheAgentUrlsTls) {
  const TestCa ca = makeTestCa(tmp_ / "ca");
  const ClosedLoopbackPort plain;
  NginxServer https(www(tmp_), {ca.certFile, ca.keyFile,
                            "location = /to-http { return 302 " + plain.url("/agent") + "; }\n"
                            "location = /to-https { return 302 /agent; }\n"});
  ASSERT_TRUE(https.started());
  NginxServer http(www(tmp_), {"", "", "location = /up { return 301 " + https.url("/agent") + "; }\n"});
  ASSERT_TRUE(http.started());
  serveAgent("tls");
  const std::vector<std::string> workDirsBefore = workDirsInTmp();
  const std::string toHttp = https.url("/to-http");
  const struct {
    std::string url;
    bool refused;
  } cases[] = {
      {toHttp, true},
      {"HTTPS" + toHttp.substr(5), true},
      {https.url("/to-https"), false},
      {http.url("/up"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    shellOrDie("rm -rf " + home() + " " + record("tls"));
    Command command;
    command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = c.url;
    command.bindMounts = {{ca.caFile, kSystemCaBundle}};
    ProcessResult result = runPackage(package(), home(), {}, command);
    if (c.refused) {
      EXPECT_EQ(255, result.exitCode);
      EXPECT_EQ("Failed to download the TVE Installer from " + c.url +
                    "Error : the server redirected to http, a protocol that is not allowed (an "
                    "https agent URL may lead to https only)\nInstallation failed.\n",
                result.err);
      EXPECT_FALSE(fileExists(cacheRoot() + ".validatestring"));
      EXPECT_EQ(std::vector<std::string>{}, listDir(cacheRoot() + "installagent"));
    } else {
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_EQ("", result.err);
      EXPECT_EQ(2u, readRecordedArgs(record("tls")).size());
    }
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore));
  }
  EXPECT_EQ((std::vector<std::string>{"HEAD /up 301", "GET /up 301"}), http.accessLogRequests());
}

// Packages set their agent server at pack time, and two vendors' servers may
// send the same tag for different agents, as nginx makes it from a file's
// time and size: each URL keeps a cache of its own, and a run pointed
// elsewhere by the environment leaves the package's own cache as it was.
TEST_F(AgentSourceTest, EachAgentUrlKeepsItsOwnCache) {
  const std::string file = agentFileFor();
  for (const char* vendor : {"a", "b"}) {
    // Stored uncompressed, so that scripts of one length give archives of one size.
    const std::string served = www(tmp_) + "/" + vendor + file;
    ScopedTempDir stage;
    writeFile(stage / "install", probeAgentScript(record(vendor)), 0755);
    shellOrDie("mkdir -p " + www(tmp_) + "/" + vendor + " && cd " + stage.path() + " && zip -q -0 -X " +
               (tmp_ / "agent.zip") + " install && mv " + (tmp_ / "agent.zip") + " " + served +
               " && touch -d @1000000000 " + served);
    makePackage({tmp_ / (std::string(vendor) + ".run"), {{"a.txt", "a\n"}}, "", "", "",
                 nginx_.url(std::string("/") + vendor + "/")});
  }
  ASSERT_EQ(NginxServer::expectedETag(www(tmp_) + "/a" + file),
            NginxServer::expectedETag(www(tmp_) + "/b" + file));
  auto runOwn = [&](const char* vendor, const std::map<std::string, std::string>& env = {}) {
    for (const char* name : {"a", "b"}) unlink(record(name).c_str());
    Command command;
    command.argv = {tmp_ / (std::string(vendor) + ".run")};
    command.setEnv = env;
    command.setEnv["HOME"] = home();
    command.unsetEnv = {"KV_INTERNAL_INSTALL_AGENT_URL", "__KV_BOOTSTRAP_INSTALLER_UNITTEST__"};
    command.privateTmp = runTmpDir();
    nginx_.clearAccessLog();
    return runProcess(command);
  };
  for (const char* vendor : {"a", "b"}) {
    SCOPED_TRACE(vendor);
    ProcessResult result = runOwn(vendor);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_TRUE(fileExists(record(vendor))) << "each package runs its own vendor's agent";
    EXPECT_EQ((std::vector<std::string>{std::string("HEAD /") + vendor + file + " 200",
                                        std::string("GET /") + vendor + file + " 200"}),
              requests());
  }
  ProcessResult again = runOwn("a");
  EXPECT_TRUE(fileExists(record("a"))) << again.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /a" + file + " 200"}, requests());

  // A staging agent, fetched through the environment, has a cache of its own.
  const std::string ownCache = agentCacheRootFor(home(), nginx_.url("/a" + file));
  const std::string tag = readFile(ownCache + ".validatestring");
  shellOrDie("mkdir -p " + www(tmp_) + "/staging && cp " + www(tmp_) + "/b" + file + " " + www(tmp_) + "/staging/agent");
  ProcessResult staging =
      runOwn("a", {{"KV_INTERNAL_INSTALL_AGENT_URL", nginx_.url("/staging/agent")}});
  EXPECT_EQ(0, staging.exitCode) << staging.err;
  EXPECT_TRUE(fileExists(record("b")));
  EXPECT_EQ(tag, readFile(ownCache + ".validatestring"));
  ProcessResult own = runOwn("a");
  EXPECT_TRUE(fileExists(record("a"))) << own.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /a" + file + " 200"}, requests());
}
