// Where a run's install agent comes from: the package, the per-user cache, or
// the vendor's server (nginx on loopback), seen through whole runs.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/proxy_server.h"
#include "tests/runs/run_fixture.h"
#include "tests/server_process.h"
#include "tests/test_users.h"

namespace {

class AgentSourceTest : public RunTest {
 protected:
  // A package without an agent, made once.
  std::string package() {
    const std::string path = tmp_ / "setup.run";
    if (!fileExists(path)) pack({path, {{"a.txt", "a\n"}}});
    return path;
  }

  // Runs the package as otherUser(), in a mount namespace whose /tmp is
  // tmpDir, with HOME set to home or (when empty) unset.
  ProcessResult runAsOtherUser(const std::string& package, const std::string& tmpDir, const std::string& home) {
    Command command = runCommand(package);
    command.workDir = "/";
    if (home.empty()) command.setEnv.erase("HOME");
    if (home.empty()) command.unsetEnv.push_back("HOME");
    if (!home.empty()) command.setEnv["HOME"] = home;
    command.privateTmp = tmpDir;
    command.asOtherUser = true;
    return runProcess(command);
  }

  void expectAgentChangedDuringLockWaitRefused(const std::string& change, bool givenAway,
                                               const std::string& problem, const std::string& owner);
};

// What a run tells a user of the other user's cache at path.
std::string untrustedLine(const std::string& path) {
  return "The install agent cache cannot be trusted: " + path + " belongs to another user (owner: " +
         thisUserText() + ", you are " + userText(otherUser().uid) +
         "). Have it removed, or set HOME to a directory of your own.\nInstallation failed.\n";
}

}  // namespace

TEST_F(AgentSourceTest, AgentInThePackageNeedsNoNetworkAndNoCache) {
  for (const std::string agentName : {"InstallAgent.zip", "InstallAgent_2.1.zip"}) {
    SCOPED_TRACE(agentName);
    makeAgentZip(tmp_ / agentName, probe(agentName, 7));
    const std::string package = pack({tmp_ / (agentName + ".run"), {{"a.txt", "a\n"}}, tmp_ / agentName});
    ProcessResult result = run(package, {"-mode", "silent"});
    EXPECT_EQ(0, result.exitCode) << "the agent's own exit status 7 is its business";
    EXPECT_EQ("", result.err);
    EXPECT_EQ((std::vector<std::string>{"-installbundle", "-mode", "silent"}),
              [](std::vector<std::string> argv) {
                if (argv.size() > 1) argv.erase(argv.begin() + 1);
                return argv;
              }(readRecordedArgs(record(agentName))));
  }
  EXPECT_FALSE(fileExists(home() + "/.korvex")) << "the cache must not even be created";
  EXPECT_EQ(std::vector<std::string>{}, requests());
}

// The cache lies in a HOME that needs quoting; the stale agent there is
// removed and replaced.
TEST_F(AgentSourceTest, DownloadsOnceThenAsksOnlyForTheTagUntilTheFileChanges) {
  homeName_ = "Ann's \"home\" $(x) dir";
  serveAgent("agent", probe("first"));
  ProcessResult first = run(package(), {"-x"});
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests());
  EXPECT_EQ(3u, readRecordedArgs(record("first")).size());
  EXPECT_TRUE(fileExists(cacheRoot() + "installagent/install"));
  EXPECT_EQ(0u, readFile(cacheRoot() + ".validatestring").find("ETag: \""));

  nginx_.clearAccessLog();
  unlink(record("first").c_str());
  ProcessResult second = run(package());
  EXPECT_EQ(0, second.exitCode) << second.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, requests());
  EXPECT_EQ(2u, readRecordedArgs(record("first")).size()) << "the cached agent ran";

  nginx_.clearAccessLog();
  serveAgent("agent", probe("second"));
  ProcessResult third = run(package());
  EXPECT_EQ(0, third.exitCode) << third.err;
  EXPECT_EQ("", third.err);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests());
  EXPECT_EQ(2u, readRecordedArgs(record("second")).size()) << "the new agent ran";
  EXPECT_EQ(std::vector<std::string>{"V7031c"}, listDir(home() + "/.korvex/installagent"));
}

// A firewall that drops the packets to the agent server: the run gives up at
// the connect limit, not after the kernel's SYN retries (over two minutes),
// says that nothing answered, and leaves nothing behind.
TEST_F(AgentSourceTest, AgentServerBehindAFirewallThatDropsPacketsFailsAtTheConnectLimit) {
  Command command = runCommand(package());
  command.argv = withPacketsDropped(command.argv);
  command.setEnv[kAgentUrlVariable] = droppedAgentUrl();
  command.unsetEnv.insert(command.unsetEnv.end(), kProxyVariables.begin(), kProxyVariables.end());
  expectEndAtTheConnectLimit(command);
  EXPECT_FALSE(fileExists(cacheRoot(droppedAgentUrl()) + ".validatestring"));
}

// libcurl takes the proxy from http_proxy, https_proxy or ALL_PROXY, never
// from HTTP_PROXY in capitals, and goes direct to the hosts no_proxy names.
// https goes through the proxy in a CONNECT tunnel, and the server's
// certificate is checked against the system's store (here the test's CA).
TEST_F(AgentSourceTest, ProxiesFromTheEnvironmentCarryTheDownload) {
  const TestCa ca = makeTestCa(tmp_ / "ca");
  NginxServer https(www(), {ca.certFile, ca.keyFile, kRefuseRequestsWithoutUserAgent});
  ASSERT_TRUE(https.started());
  serveAgent("agent", probe("proxied"));
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
    Command command = runCommand(package());
    command.setEnv[kAgentUrlVariable] = c.url;
    std::string trace;
    for (const auto& [name, value] : c.variables) {
      command.setEnv[name] = value == "PROXY" ? proxy.url() : value;
      trace += name + "=" + command.setEnv[name] + " ";
    }
    SCOPED_TRACE(trace + c.url);
    command.unsetEnv.insert(command.unsetEnv.end(), kProxyVariables.begin(), kProxyVariables.end());
    command.bindMounts = {{ca.caFile, kSystemCaBundle}};
    shellOrDie("rm -rf " + (tmp_ / "home/.korvex") + " " + record("proxied"));
    nginx_.clearAccessLog();

    ProcessResult result = runProcess(command);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record("proxied")).size()) << "the downloaded agent ran";
    std::string proxied;
    for (const std::string& request : proxy.requests()) proxied += (proxied.empty() ? "" : ",") + request;
    EXPECT_EQ(c.proxied, proxied) << proxy.log();
    EXPECT_EQ(c.url == agentUrl() ? "HEAD /agent 200,GET /agent 200" : "", nginx_.joinedAccessLog());
  }
}

TEST_F(AgentSourceTest, AgentThatDoesNotUnpackIsFetchedAgainNextTime) {
  writeFile(www() + "/agent", "this is not a zip archive\n");
  ProcessResult result = run(package());
  EXPECT_EQ(255, result.exitCode);
  EXPECT_TRUE(endsWith(result.err, failureOutput(kAgentUnpackFailed))) << result.err;

  // An archive whose script unpacks but whose later member is damaged.
  ScopedTempDir stage;
  writeFile(stage / "install", probe("partial"));
  writeFile(stage / "zz-data", std::string(4096, 'z'));
  shellOrDie("cd " + stage.path() + " && zip -q -0 agent.zip install zz-data");
  std::string bytes = readFile(stage / "agent.zip");
  size_t data = bytes.find(std::string(512, 'z'));
  ASSERT_NE(std::string::npos, data);
  bytes[data + 100] = 'y';
  writeFile(www() + "/agent", bytes);

  for (const char* attempt : {"first", "next"}) {
    SCOPED_TRACE(attempt);
    nginx_.clearAccessLog();
    result = run(package());
    EXPECT_EQ(255, result.exitCode);
    EXPECT_TRUE(endsWith(result.err, failureOutput(kAgentUnpackFailed))) << result.err;
    EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}), requests())
        << "a half-unpacked agent must never count as current";
    EXPECT_FALSE(fileExists(cacheRoot() + ".validatestring"));
    EXPECT_FALSE(fileExists(cacheRoot() + "installagent"));
  }
  EXPECT_FALSE(fileExists(record("partial")));
}

TEST_F(AgentSourceTest, ConcurrentFirstRunsShareOneCache) {
  const std::string log = tmp_ / "runs.log";
  serveAgent("agent", "echo ran >> " + log + "\n");
  const int kRuns = 8;
  std::vector<int> pids;
  for (int i = 0; i < kRuns; ++i)
    pids.push_back(startProcess(runCommand(package()), "", tmp_ / ("err." + std::to_string(i))));
  for (int i = 0; i < kRuns; ++i) {
    ProcessResult result = waitProcess(pids[static_cast<size_t>(i)]);
    EXPECT_EQ(0, result.exitCode) << readFile(tmp_ / ("err." + std::to_string(i)));
  }
  EXPECT_EQ(static_cast<size_t>(kRuns) * 4, readFile(log).size()) << readFile(log);
  std::vector<std::string> seen = requests();
  EXPECT_EQ(1, std::count(seen.begin(), seen.end(), "GET /agent 200")) << "one download for all";

  nginx_.clearAccessLog();
  ProcessResult next = run(package());
  EXPECT_EQ(0, next.exitCode) << next.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, requests());
}

// Without HOME the cache is in /tmp, where anyone can create it first; a run
// as root with HOME kept (sudo -E) leaves a cache the user cannot use.
TEST_F(AgentSourceTest, CacheOfAnotherUserIsNeverUsed) {
  SKIP_WITHOUT_OTHER_USER();
  ScopedTempDir outside("/var/tmp");
  chmod(outside.path().c_str(), 0755);
  const std::string package = pack({outside / "setup.run", {{"a.txt", "a\n"}}});
  const std::string sharedTmp = outside / "tmp";
  const std::string home = outside / "home";
  shellOrDie("mkdir -m 1777 " + sharedTmp + " && mkdir " + home);
  serveAgent("agent", probe("served"));

  // This user plants an agent that the server's tag makes current.
  const std::string planted = agentCacheRootFor(sharedTmp, agentUrl(), "", runner().platform);
  shellOrDie("mkdir -p " + planted + "installagent");
  writeFile(planted + "installagent/install", "touch /tmp/planted-ran\n", 0755);
  writeFile(planted + ".validatestring", "ETag: " + NginxServer::expectedETag(www() + "/agent") + "\r");
  ProcessResult result = runAsOtherUser(package, sharedTmp, "");
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(untrustedLine("/tmp/.korvex"), result.err);
  EXPECT_FALSE(fileExists(sharedTmp + "/planted-ran"));

  // The other user's HOME, once used by this user (root, say).
  Command asThisUser = runCommand(package);
  asThisUser.setEnv["HOME"] = home;
  ProcessResult used = runProcess(asThisUser);
  ASSERT_EQ(0, used.exitCode) << used.err;
  ASSERT_TRUE(giveToOtherUser(home));
  nginx_.clearAccessLog();
  result = runAsOtherUser(package, sharedTmp, home);
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
  ASSERT_EQ(0, run(package()).exitCode) << "a sound, current cache first";
  // Another run, holding the lock for as long as `held` exists.
  int holder = startProcess({{"/usr/bin/flock", cacheRoot() + ".lock", "sh", "-c",
                              "touch \"$0\" && while [ -e \"$0\" ]; do sleep 0.05; done", held},
                             {}, {}, "", ""});
  ASSERT_TRUE(waitUntil([&] { return fileExists(held); }, 30000)) << "the lock was never taken";
  int pid = startProcess(runCommand(package()), "", tmp_ / "err");
  ASSERT_TRUE(waitUntilWaitingForLock(pid)) << "the run never waited for the lock";

  writeFile(install + ".new", "touch " + planted + "\n", 0755);
  shellOrDie(change + " " + install + ".new");
  EXPECT_TRUE(!givenAway || giveToOtherUser(install + ".new"));
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
  serveAgent("agent", probe("served"));
  for (const char* change : {"chmod 0775", "chmod 0757"}) {
    SCOPED_TRACE(change);
    expectAgentChangedDuringLockWaitRefused(change, false, "can be written by other users", thisUserText());
  }
}

TEST_F(AgentSourceTest, CacheThatTurnsAnotherUsersWhileARunWaitsForTheLockIsRefused) {
  SKIP_WITHOUT_OTHER_USER();
  serveAgent("agent", probe("served"));
  expectAgentChangedDuringLockWaitRefused("true", true, "belongs to another user", userText(otherUser().uid));
}

// A HOME on a read-only file system, and one of another user's: the run says
// so before anything is fetched.
TEST_F(AgentSourceTest, CacheThatCannotBeCreatedIsToldBeforeAnyDownload) {
  serveAgent("agent", probe("served"));
  chmod(tmp_.path().c_str(), 0755);
  const std::string fix = ". Set HOME to a directory of your own that you can write to.\nInstallation failed.\n";
  const std::string readOnly = tmp_ / "read-only";
  shellOrDie("mkdir -m 0755 " + readOnly);
  Command command = runCommand(package());
  command.setEnv["HOME"] = readOnly;
  command.argv.insert(command.argv.begin(), {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
                                             "mount --bind \"$0\" \"$0\" && mount -o remount,bind,ro \"$0\" && "
                                             "exec \"$@\"",
                                             readOnly});
  ProcessResult result = runProcess(command);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Cannot create the install agent cache directory " + agentCacheRootFor(readOnly, agentUrl(), "", runner().platform) +
                "installagent: Read-only file system" + fix,
            result.err);
  if (otherUser().missing.empty()) {
    const std::string foreign = tmp_ / "foreign";
    shellOrDie("mkdir -m 0755 " + foreign);
    result = runAsOtherUser(package(), runTmpDir(), foreign);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ("Cannot create the install agent cache directory " +
                  agentCacheRootFor(foreign, agentUrl(), "", runner().platform) + "installagent: Permission denied" + fix,
              result.err);
  }
  EXPECT_EQ(std::vector<std::string>{}, requests());
}

// unzip gives files the modes stored in the archive; a cache it left writable
// by others would be refused by every later run. A link in the archive is no
// file of the cache: what it points to keeps its mode.
TEST_F(AgentSourceTest, AgentArchiveWithLooseModesLeavesAPrivateCache) {
  ScopedTempDir stage;
  const std::string outside = tmp_ / "outside";
  writeFile(outside, "", 0666);
  writeFile(stage / "install", probe("loose"), 0777);
  shellOrDie("cd " + stage.path() + " && mkdir -m 0777 lib && touch lib/x && chmod 0666 lib/x && ln -s " +
             outside + " lib/link && zip -qry agent.zip install lib && mv agent.zip " + www() + "/agent");
  for (int attempt = 1; attempt <= 2; ++attempt) {
    ProcessResult result = run(package());
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
  NginxServer https(www(), {ca.certFile, ca.keyFile,
                            "location = /to-http { return 302 " + plain.url("/agent") + "; }\n"
                            "location = /to-https { return 302 /agent; }\n"});
  ASSERT_TRUE(https.started());
  NginxServer http(www(), {"", "", "location = /up { return 301 " + https.url("/agent") + "; }\n"});
  ASSERT_TRUE(http.started());
  serveAgent("agent", probe("tls"));
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
    Command command = runCommand(package());
    command.setEnv[kAgentUrlVariable] = c.url;
    command.bindMounts = {{ca.caFile, kSystemCaBundle}};
    ProcessResult result = runProcess(command);
    if (c.refused) {
      EXPECT_EQ(255, result.exitCode);
      EXPECT_EQ("Failed to download the TVE Installer from " + c.url +
                    "Error : the server redirected to http, a protocol that is not allowed (an "
                    "https agent URL may lead to https only)\nInstallation failed.\n",
                result.err);
      EXPECT_FALSE(fileExists(cacheRoot(c.url) + ".validatestring"));
      EXPECT_EQ(std::vector<std::string>{}, listDir(cacheRoot(c.url) + "installagent"));
    } else {
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_EQ("", result.err);
      EXPECT_EQ(2u, readRecordedArgs(record("tls")).size());
    }
  }
  EXPECT_EQ((std::vector<std::string>{"HEAD /up 301", "GET /up 301"}), http.accessLogRequests());
}

// Packages set their agent server at pack time, and two vendors' servers may
// send the same tag for different agents, as nginx makes it from a file's
// time and size: each URL keeps a cache of its own, and a run pointed
// elsewhere by the environment leaves the package's own cache as it was.
// The bootstrap names the agent file after its platform.
TEST_F(AgentSourceTest, EachAgentUrlKeepsItsOwnCache) {
  const std::string file = agentFileFor(runner().platform);
  for (const std::string vendor : {"a", "b"}) {
    serveAgent(vendor + file, probe(vendor), false, 1000000000);
    pack({tmp_ / (vendor + ".run"), {{"a.txt", "a\n"}}, "", "", "", nginx_.url("/" + vendor + "/")});
  }
  ASSERT_EQ(NginxServer::expectedETag(www() + "/a" + file), NginxServer::expectedETag(www() + "/b" + file));
  auto runOwn = [&](const std::string& vendor, const std::string& url = "") {
    for (const char* name : {"a", "b"}) unlink(record(name).c_str());
    Command command = ownAgentUrl(runCommand(tmp_ / (vendor + ".run")));
    if (!url.empty()) command.setEnv[kAgentUrlVariable] = url;
    nginx_.clearAccessLog();
    return runProcess(command);
  };
  for (const std::string vendor : {"a", "b"}) {
    SCOPED_TRACE(vendor);
    ProcessResult result = runOwn(vendor);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_TRUE(fileExists(record(vendor))) << "each package runs its own vendor's agent";
    EXPECT_EQ((std::vector<std::string>{"HEAD /" + vendor + file + " 200", "GET /" + vendor + file + " 200"}),
              requests());
  }
  ProcessResult again = runOwn("a");
  EXPECT_TRUE(fileExists(record("a"))) << again.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /a" + file + " 200"}, requests());

  // A staging agent, fetched through the environment, has a cache of its own.
  const std::string ownCache = cacheRoot(nginx_.url("/a" + file));
  ASSERT_TRUE(fileExists(ownCache + "installagent/install")) << "cached for the platform " << runner().platform;
  EXPECT_EQ(std::vector<std::string>{runner().platform}, listDir(home() + "/.korvex/installagent/V7031c"));
  const std::string tag = readFile(ownCache + ".validatestring");
  shellOrDie("mkdir -p " + www() + "/staging && cp " + www() + "/b" + file + " " + www() + "/staging/agent");
  ProcessResult staging = runOwn("a", agentUrl("staging/agent"));
  EXPECT_EQ(0, staging.exitCode) << staging.err;
  EXPECT_TRUE(fileExists(record("b")));
  EXPECT_EQ(tag, readFile(ownCache + ".validatestring"));
  ProcessResult own = runOwn("a");
  EXPECT_TRUE(fileExists(record("a"))) << own.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /a" + file + " 200"}, requests());
}
