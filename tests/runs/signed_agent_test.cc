// Packages with the vendor's key against agents signed with the real
// minisign command and served by nginx on loopback. What each kind of bad
// signature is told as is in SignatureCheckTest.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>

#include <gtest/gtest.h>

#include "tests/runs/run_fixture.h"
#include "tests/script_server.h"
#include "tests/server_process.h"

namespace {

const char kTestKey[] = KV_TEST_KEY_DIR "/agent.key";

// A port nothing listens on, for the test process's life.
int closedPort() {
  static const ClosedLoopbackPort port;
  return port.port();
}

class SignedAgentTest : public RunTest {
 protected:
  // /redirected/agent is the agent too, but its signature is redirected to
  // a closed port over ftp.
  SignedAgentTest()
      : RunTest("location = /redirected/agent { rewrite ^ /agent last; }\n"
                "location = /redirected/agent.minisig { return 302 ftp://127.0.0.1:" +
                std::to_string(closedPort()) + "/agent.minisig; }\n") {}

  std::string agentPath() const { return www() + "/agent"; }
  std::string signaturePath() const { return agentPath() + ".minisig"; }
  std::string keyedCache(const std::string& url = "") const { return cacheRoot(url, testKeyId()); }

  // A package with the test key, alone in its directory: in the test mode
  // the payload, and a downloaded archive, land beside it.
  std::string package(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    PackageSpec recipe{dir + "/setup.run", {{"a.txt", "a\n"}}};
    recipe.agentKey = KV_TEST_KEY_DIR "/agent.pub";
    return pack(recipe);
  }

  // The signing time minisign wrote into the served signature's trusted comment.
  time_t signingTime() const {
    const std::string text = readFile(signaturePath());
    const std::string mark = "trusted comment: timestamp:";
    const size_t at = text.find(mark);
    return at == std::string::npos ? 0 : static_cast<time_t>(atoll(text.c_str() + at + mark.size()));
  }
  static std::string utc(time_t seconds) {
    char text[64];
    struct tm parts {};
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&seconds, &parts));
    return text;
  }
};

}  // namespace

// The cached agent was checked when it was stored: the rerun asks for the tag alone.
TEST_F(SignedAgentTest, SignedAgentRunsAndTheRerunAsksOnlyForTheTag) {
  serveAgent("agent", probe("agent"), true);
  const std::string setup = package(tmp_ / "pkg");
  for (const auto& expected : {std::vector<std::string>{"HEAD /agent 200", "GET /agent 200", "GET /agent.minisig 200"},
                               std::vector<std::string>{"HEAD /agent 200"}}) {
    SCOPED_TRACE(expected.size());
    nginx_.clearAccessLog();
    unlink(record("agent").c_str());
    ProcessResult result = run(setup);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(expected, requests());
    EXPECT_EQ(2u, readRecordedArgs(record("agent")).size());
    EXPECT_TRUE(fileExists(keyedCache() + ".signingtime"));
  }
}

// Nothing of an agent that fails its check stays, and the next run fetches
// it again. A forged signing time, stored before the check, would lock out
// every genuine agent signed before it: the genuine run after each shows
// that none is.
TEST_F(SignedAgentTest, AgentWithoutAValidSignatureNeverRunsNorStays) {
  struct {
    const char* name;
    std::function<void()> tamper;  // after the agent was served and signed with the test key
    std::string why;
  } cases[] = {
      {"one flipped byte in the archive",
       [&] {
         std::string bytes = readFile(agentPath());
         bytes[bytes.size() / 2] ^= 0x01;
         writeFile(agentPath(), bytes);
       },
       "the signature does not match the file"},
      {"trusted comment claiming a far-future signing time",
       [&] {
         std::string text = readFile(signaturePath());
         size_t at = text.find("trusted comment: timestamp:");
         ASSERT_NE(std::string::npos, at);
         text.replace(at + 27, text.find('\t', at) - at - 27, "4102444800");
         writeFile(signaturePath(), text);
       },
       "the trusted comment does not match its signature"},
  };
  const std::string failed = "Failed to verify the TVE Installer downloaded from " + agentUrl() + ": ";
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    shellOrDie("rm -rf " + home());
    serveAgent("agent", probe("agent"), true);
    c.tamper();
    const std::string dir = tmp_ / ("pkg" + std::to_string(n++));
    const std::string setup = package(dir);
    for (int attempt = 0; attempt < 2; ++attempt) {
      unlink((dir + "/bundle.zip").c_str());  // unzip would ask before replacing it
      nginx_.clearAccessLog();
      Command command = runCommand(setup);
      command.setEnv["__KV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
      ProcessResult result = runProcess(command);
      EXPECT_EQ(255, result.exitCode);
      EXPECT_EQ(failed + c.why + "\nInstallation failed.\n", result.err);
      EXPECT_FALSE(fileExists(record("agent"))) << "the agent ran";
      EXPECT_FALSE(fileExists(keyedCache() + ".validatestring"));
      EXPECT_FALSE(fileExists(keyedCache() + ".signingtime"));
      EXPECT_FALSE(fileExists(keyedCache() + "installagent/install"));
      EXPECT_FALSE(fileExists(dir + "/InstallAgent.zip")) << "the download must not stay";
      EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200", "GET /agent.minisig 200"}),
                requests());
    }
    serveAgent("agent", probe("agent"), true);
    ProcessResult genuine = run(setup);
    EXPECT_EQ(0, genuine.exitCode) << genuine.err;
    unlink(record("agent").c_str());
  }
}

// A vendor who builds the bootstrap with a key needs no --agent-key: the key
// built in checks every agent, in the same keyed cache.
TEST_F(SignedAgentTest, KeyBuiltInChecksWithoutAgentKey) {
  serveAgent("agent", probe("agent"));
  mkdir((tmp_ / "built-in").c_str(), 0755);
  const std::string setup = pack({tmp_ / "built-in/setup.run", {{"a.txt", "a\n"}}, "", KV_BUILT_IN_KEY_BOOTSTRAP_BIN});
  ProcessResult unsignedRun = run(setup);
  EXPECT_EQ(255, unsignedRun.exitCode);
  EXPECT_EQ(0u, unsignedRun.err.find("Failed to verify the TVE Installer downloaded from " + agentUrl() +
                                     ": no signature at "))
      << unsignedRun.err;
  EXPECT_FALSE(fileExists(record("agent")));

  serveAgent("agent", probe("agent"), true);
  ProcessResult signedRun = run(setup);
  EXPECT_EQ(0, signedRun.exitCode) << signedRun.err;
  EXPECT_TRUE(fileExists(record("agent")));
  EXPECT_TRUE(fileExists(keyedCache() + ".signingtime"));
}

TEST_F(SignedAgentTest, SignatureRedirectedAwayFromHttpIsRefused) {
  serveAgent("agent", probe("agent"), true);
  const std::string url = agentUrl("redirected/agent");
  Command command = runCommand(package(tmp_ / "pkg"));
  command.setEnv[kAgentUrlVariable] = url;
  ProcessResult result = runProcess(command);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + url + ": cannot download " +
                url + ".minisig: the server redirected to ftp, a protocol that is not allowed (an "
                "http agent URL may lead to http and https only)\nInstallation failed.\n",
            result.err);
  EXPECT_FALSE(fileExists(record("agent"))) << "the agent ran";
  EXPECT_FALSE(fileExists(keyedCache(url) + ".validatestring"));
  EXPECT_TRUE(fileExists(keyedCache(url) + ".lock")) << "the cache looked at is the one used";
  EXPECT_EQ((std::vector<std::string>{"HEAD /redirected/agent 200", "GET /redirected/agent 200",
                                      "GET /redirected/agent.minisig 302"}),
            requests());
}

// An agent that a build without the key stored, under the very tag the server
// sends, was never verified: the keyed build keeps a cache of its own, where
// nothing else writes. Scripts of one length make archives of one size.
TEST_F(SignedAgentTest, AgentCachedWithoutTheKeyIsNeverRun) {
  serveAgent("agent", probe("A"), false, 1000000000);
  const std::string tag = NginxServer::expectedETag(agentPath());
  mkdir((tmp_ / "unkeyed").c_str(), 0755);
  // The keyed stub packed without a key checks nothing, as the small one does.
  ProcessResult unkeyed = run(pack({tmp_ / "unkeyed/setup.run", {{"a.txt", "a\n"}}, "", runner().keyedBootstrap}));
  ASSERT_EQ(0, unkeyed.exitCode) << unkeyed.err;
  ASSERT_TRUE(fileExists(record("A")));
  unlink(record("A").c_str());

  serveAgent("agent", probe("B"), true, 1000000000);
  ASSERT_EQ(tag, NginxServer::expectedETag(agentPath()));
  const std::string setup = package(tmp_ / "keyed");
  nginx_.clearAccessLog();
  ProcessResult first = run(setup);
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200", "GET /agent.minisig 200"}), requests());
  EXPECT_TRUE(fileExists(record("B")));
  EXPECT_FALSE(fileExists(record("A"))) << "the agent stored without the key ran";
  EXPECT_EQ((std::vector<std::string>{".lock", ".signingtime", ".validatestring", "installagent"}),
            listDir(keyedCache()));

  // What lies in the other cache, planted or edited, changes nothing.
  writeFile(cacheRoot() + "installagent/install", "touch " + (tmp_ / "planted") + "\n");
  writeFile(cacheRoot() + ".validatestring", "ETag: " + tag + "\r");
  unlink(record("B").c_str());
  nginx_.clearAccessLog();
  ProcessResult second = run(setup);
  EXPECT_EQ(0, second.exitCode) << second.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, requests());
  EXPECT_TRUE(fileExists(record("B")));
  EXPECT_FALSE(fileExists(tmp_ / "planted"));
}

// Every agent ever signed with the key verifies for ever; one signed before
// the agent already verified is last year's, served again. The archives are
// kept aside, each with its signature.
TEST_F(SignedAgentTest, AgentSignedBeforeTheVerifiedOneIsRefused) {
  auto keep = [&](const std::string& name) {
    shellOrDie("cp " + agentPath() + " " + (tmp_ / name) + " && cp " + signaturePath() + " " + (tmp_ / name) + ".minisig");
    return signingTime();
  };
  auto serveKept = [&](const std::string& name, time_t modified) {
    shellOrDie("cp " + (tmp_ / name) + ".minisig " + signaturePath() + " && cp " + (tmp_ / name) + " " + agentPath() +
               " && touch -d @" + std::to_string(modified) + " " + agentPath());
  };
  serveAgent("agent", probe("B1"), true);
  const time_t signed1 = keep("b1");
  ASSERT_NE(0, signed1);
  ASSERT_TRUE(waitUntil([&] { return time(nullptr) > signed1; }, 5000));
  serveAgent("agent", probe("B2"), true);
  const time_t signed2 = keep("b2");
  ASSERT_LT(signed1, signed2);
  const std::string setup = package(tmp_ / "pkg");
  auto runServing = [&](const std::string& name, time_t modified) {
    serveKept(name, modified);
    for (const char* agent : {"B1", "B2"}) unlink(record(agent).c_str());
    return run(setup);
  };

  ProcessResult newer = runServing("b2", 1000000000);
  EXPECT_EQ(0, newer.exitCode) << newer.err;
  EXPECT_TRUE(fileExists(record("B2")));
  const std::string newerTag = readFile(keyedCache() + ".validatestring");

  ProcessResult older = runServing("b1", 1000000100);
  EXPECT_EQ(255, older.exitCode);
  EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + agentUrl() + ": it was signed on " +
                utc(signed1) + ", before the agent already verified here (signed on " + utc(signed2) +
                ")\nInstallation failed.\n",
            older.err);
  EXPECT_FALSE(fileExists(record("B1")));
  EXPECT_FALSE(fileExists(record("B2"))) << "nothing may run";
  EXPECT_EQ(newerTag, readFile(keyedCache() + ".validatestring")) << "no tag of the refused agent";

  ProcessResult again = runServing("b2", 1000000200);
  EXPECT_EQ(0, again.exitCode) << again.err;
  EXPECT_TRUE(fileExists(record("B2")));

  // A vendor who wants the older agent back signs it again, under its served name.
  serveKept("b1", 1000000300);
  shellOrDie("cd " + www() + " && minisign -S -s " + kTestKey + " -m agent >/dev/null");
  keep("b1");
  ProcessResult rolledBack = runServing("b1", 1000000300);
  ASSERT_LE(signed2, signingTime());
  EXPECT_EQ(0, rolledBack.exitCode) << rolledBack.err;
  EXPECT_TRUE(fileExists(record("B1")));
}

// A directory in the place of either file is no danger: a run that downloads
// (the agent's new time gives it a new tag) cannot store the file there, goes
// on, and leaves no temporary file.
TEST_F(SignedAgentTest, DirectoryWhereTheSigningTimeOrTagGoesLeavesNoTemporaryFile) {
  serveAgent("agent", probe("B"), true);
  const std::string setup = package(tmp_ / "pkg");
  ProcessResult stored = run(setup);
  ASSERT_EQ(0, stored.exitCode) << stored.err;
  for (const std::string& path : {keyedCache() + ".signingtime", keyedCache() + ".validatestring"}) {
    SCOPED_TRACE(path);
    const std::string saved = readFile(path);
    shellOrDie("rm " + path + " && mkdir " + path + " && touch " + agentPath());
    unlink(record("B").c_str());
    ProcessResult result = run(setup);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_TRUE(fileExists(record("B")));
    EXPECT_EQ((std::vector<std::string>{".lock", ".signingtime", ".validatestring", "installagent"}),
              listDir(keyedCache()));
    shellOrDie("rm -r " + path);
    writeFile(path, saved, 0600);
  }
}

// An error page is no signature file, whatever it holds.
TEST_F(SignedAgentTest, EveryErrorOnTheSignatureUrlMeansNoSignature) {
  serveAgent("agent", probe("agent"), true);
  ScriptServer server;
  ASSERT_TRUE(server.started());
  server.setRoute("/agent", answer(200, {{"ETag", "\"1\""}}, readFile(agentPath())));
  const std::string url = server.url("/agent");
  Command command = runCommand(package(tmp_ / "pkg"));
  command.setEnv[kAgentUrlVariable] = url;
  // The good signature served with each status; 200 shows that it is good.
  for (int status : {200, 403, 404, 500, 503}) {
    SCOPED_TRACE(status);
    shellOrDie("rm -rf " + home());
    unlink(record("agent").c_str());
    server.setRoute("/agent.minisig", answer(status, {}, readFile(signaturePath())));
    ProcessResult result = runProcess(command);
    if (status == 200) {
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_TRUE(fileExists(record("agent")));
      continue;
    }
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + url + ": no signature at " + url +
                  ".minisig (HTTP code: " + std::to_string(status) + ")\nInstallation failed.\n",
              result.err);
    EXPECT_FALSE(fileExists(record("agent"))) << "the agent ran";
    EXPECT_FALSE(fileExists(keyedCache(url) + "installagent/install"));
    EXPECT_TRUE(fileExists(keyedCache(url) + ".lock")) << "the cache looked at is the one used";
  }
}
