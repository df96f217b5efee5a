// A bootstrap built with a vendor key against agents signed with the real
// minisign command and served by nginx on loopback.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <functional>

#include <gtest/gtest.h>

#include "formats/minisig.h"
#include "tests/nginx_server.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/server_process.h"
#include "tests/test_users.h"
#include "tests/test_util.h"

namespace {

// $KV_TEST_KEYED_BOOTSTRAP when set (the shipped build), else the test build's.
std::string keyedBootstrap() {
  const char* chosen = getenv("KV_TEST_KEYED_BOOTSTRAP");
  return chosen != nullptr && *chosen != '\0' ? chosen : KV_KEYED_BOOTSTRAP_BIN;
}

std::string testKey(const std::string& name) { return std::string(KV_TEST_KEY_DIR) + "/" + name; }

class SignedAgentTest : public testing::Test {
 protected:
  // /redirected/agent is the agent too, but its signature is redirected to
  // a closed port over ftp. Requests without a User-Agent are refused, so the
  // signature's request must carry one as well.
  SignedAgentTest()
      : nginx_(www(tmp_), {"", "",
                       std::string(kRefuseRequestsWithoutUserAgent) +
                       "location = /redirected/agent { alias " + agentPath() + "; }\n"
                       "location = /redirected/agent.minisig { return 302 " +
                           closed_.url("/agent.minisig").replace(0, 4, "ftp") + "; }\n"}) {}

  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    ASSERT_TRUE(fileExists(keyedBootstrap())) << keyedBootstrap();
  }

  std::string agentPath() const { return www(tmp_) + "/agent"; }
  std::string signaturePath() const { return agentPath() + ".minisig"; }
  std::string agentUrl() const { return nginx_.url("/agent"); }
  std::string record() const { return tmp_ / "argv"; }

  void serveAgent() {
    makeAgentZip(tmp_ / "served.zip", probeAgentScript(record()));
    shellOrDie("mv " + (tmp_ / "served.zip") + " " + agentPath());
  }
  void sign(const std::string& secretKey, const std::string& options = "") {
    shellOrDie("minisign -S -s " + secretKey + " " + options + " -m " + agentPath() + " >/dev/null");
  }
  // Applies edit to the decoded second line of the served signature file
  // (algorithm, key id, signature bytes); the rest stays as minisign wrote it.
  void editSignatureBytes(const std::function<void(std::string*)>& edit) {
    std::string text = readFile(signaturePath());
    const size_t start = text.find('\n') + 1;
    const size_t end = text.find('\n', start);
    std::string bytes;
    ASSERT_TRUE(decodeBase64(text.substr(start, end - start), &bytes)) << text;
    ASSERT_EQ(74u, bytes.size());
    edit(&bytes);
    writeFile(tmp_ / "line", bytes);
    text.replace(start, end - start, shellOrDie("base64 -w0 " + (tmp_ / "line")));
    writeFile(signaturePath(), text);
  }
  std::string otherKey() {
    std::string dir = tmp_ / "other";
    mkdir(dir.c_str(), 0700);
    shellOrDie("cd " + dir + " && minisign -G -W -p other.pub -s other.key >/dev/null");
    return dir + "/other.key";
  }

  // A package made with the keyed bootstrap and the test key, alone in its
  // directory: in the test mode the payload, and a downloaded archive, land
  // beside it.
  std::string package(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/setup.run";
    PackageSpec recipe{path, {{"a.txt", "a\n"}}, "", keyedBootstrap()};
    recipe.agentKey = testKey("agent.pub");
    makePackage(recipe);
    return path;
  }
  ProcessResult run(const std::string& package, bool testMode = false) {
    Command command;
    command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = agentUrl();
    return testMode ? runInTestMode(package, command) : runPackage(package, home(), {}, command);
  }
  ProcessResult runInTestMode(const std::string& package, Command command) {
    command.argv = {package};
    command.setEnv["HOME"] = home();
    command.setEnv["__KV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
    command.privateTmp = runTmpDir();
    return runProcess(command);
  }
  std::string home() const {
    std::string dir = tmp_ / "home";
    mkdir(dir.c_str(), 0755);
    return dir;
  }
  std::string cacheRoot(const std::string& url = "") const {
    return agentCacheRootFor(home(), url.empty() ? agentUrl() : url, testKeyId());
  }
  std::string unkeyedCacheRoot() const { return agentCacheRootFor(home(), agentUrl()); }

  // An agent archive at tmp_/name.zip that records its arguments into
  // record(name), signed now with the test key when `sign` is true. Stored
  // uncompressed, so that names of one length give archives of one size.
  std::string makeAgent(const std::string& name, bool signIt = true) {
    const std::string zip = tmp_ / (name + ".zip");
    ScopedTempDir stage;
    writeFile(stage / "install", probeAgentScript(record(name)), 0755);
    shellOrDie("cd " + stage.path() + " && zip -q -0 -X " + zip + " install");
    if (signIt) shellOrDie("minisign -S -s " + testKey("agent.key") + " -m " + zip + " >/dev/null");
    return zip;
  }
  std::string record(const std::string& name) const { return tmp_ / ("argv." + name); }
  // Serves the archive and its signature, if any, as the agent, with the
  // given modification time: nginx's tag follows from it and the size.
  void serveAs(const std::string& zip, time_t modified) {
    unlink(signaturePath().c_str());
    shellOrDie("cp " + zip + " " + agentPath() + ".new && { ! test -f " + zip + ".minisig || cp " +
               zip + ".minisig " + signaturePath() + "; }");
    struct timeval times[2] = {{modified, 0}, {modified, 0}};
    utimes((agentPath() + ".new").c_str(), times);
    rename((agentPath() + ".new").c_str(), agentPath().c_str());
  }
  // The signing time minisign wrote into the signature's trusted comment.
  static time_t signingTime(const std::string& zip) {
    const std::string text = readFile(zip + ".minisig");
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

  void expectSigningTimeAndTagRefused(const std::function<void(const std::string&)>& change,
                                      const std::string& problem);

  ScopedTempDir tmp_;
  ClosedLoopbackPort closed_;
  NginxServer nginx_;
};

}  // namespace

// Hashed and legacy signatures, and one whose trusted comment is the vendor's
// own, without a signing time.
TEST_F(SignedAgentTest, SignedAgentRunsAndTheRerunAsksOnlyForTheTag) {
  int n = 0;
  for (const std::string options : {"", "-l", "-t 'my comment'"}) {
    SCOPED_TRACE("minisign -S " + options);
    shellOrDie("rm -rf " + home());
    serveAgent();
    sign(testKey("agent.key"), options);
    std::string setup = package(tmp_ / ("pkg" + std::to_string(n++)));
    nginx_.clearAccessLog();
    ProcessResult first = run(setup);
    EXPECT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ("", first.err);
    EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200",
                                        "GET /agent.minisig 200"}),
              nginx_.accessLogRequests());
    EXPECT_EQ(2u, readRecordedArgs(record()).size());
    EXPECT_EQ(options.find("-t") == std::string::npos, fileExists(cacheRoot() + ".signingtime"));

    // The cached agent was checked when it was stored.
    nginx_.clearAccessLog();
    unlink(record().c_str());
    ProcessResult second = run(setup);
    EXPECT_EQ(0, second.exitCode) << second.err;
    EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, nginx_.accessLogRequests());
    EXPECT_TRUE(fileExists(record()));
  }
}

TEST_F(SignedAgentTest, AgentWithoutAValidSignatureNeverRunsNorStays) {
  const std::string flipped = "the signature does not match the file";
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
       flipped},
      {"signed with another key",
       [&] { sign(otherKey()); },
       "it is signed with key "},
      {"the key id's last byte changed",
       [&] { editSignatureBytes([](std::string* bytes) { (*bytes)[9] ^= 0x01; }); },
       "it is signed with key "},
      // Signed over the file itself, as "Ed" says, so that only the name is wrong.
      {"algorithm ed",
       [&] {
         sign(testKey("agent.key"), "-l");
         editSignatureBytes([](std::string* bytes) { bytes->replace(0, 2, "ed"); });
       },
       "the signature's algorithm is unknown"},
      {"algorithm EE",
       [&] {
         sign(testKey("agent.key"), "-l");
         editSignatureBytes([](std::string* bytes) { bytes->replace(0, 2, "EE"); });
       },
       "the signature's algorithm is unknown"},
      {"truncated signature file",
       [&] { writeFile(signaturePath(), readFile(signaturePath()).substr(0, 150)); },
       "the signature file has 2 lines instead of 4"},
      {"no signature on the server",
       [&] { unlink(signaturePath().c_str()); },
       "no signature at " + agentUrl() + ".minisig (HTTP code: 404)"},
      {"changed trusted comment",
       [&] {
         std::string text = readFile(signaturePath());
         size_t at = text.find("trusted comment: timestamp:");
         ASSERT_NE(std::string::npos, at);
         text[at + 27] = text[at + 27] == '1' ? '2' : '1';
         writeFile(signaturePath(), text);
       },
       "the trusted comment does not match its signature"},
      // Stored before the check, the forged time would lock out every genuine
      // agent signed before it: the run after each case shows that none is.
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
    serveAgent();
    sign(testKey("agent.key"));
    c.tamper();
    std::string dir = tmp_ / ("pkg" + std::to_string(n++));
    std::string setup = package(dir);

    for (int attempt = 0; attempt < 2; ++attempt) {
      unlink((dir + "/bundle.zip").c_str());  // unzip would ask before replacing it
      nginx_.clearAccessLog();
      ProcessResult result = run(setup, true);
      EXPECT_EQ(255, result.exitCode);
      EXPECT_EQ(0u, result.err.find(failed + c.why)) << result.err;
      EXPECT_TRUE(endsWith(result.err, "\nInstallation failed.\n")) << result.err;
      EXPECT_EQ(2, std::count(result.err.begin(), result.err.end(), '\n')) << result.err;
      EXPECT_FALSE(fileExists(record())) << "the agent ran";
      EXPECT_FALSE(fileExists(cacheRoot() + ".validatestring"));
      EXPECT_FALSE(fileExists(cacheRoot() + ".signingtime"));
      EXPECT_FALSE(fileExists(cacheRoot() + "installagent/install"));
      EXPECT_FALSE(fileExists(dir + "/InstallAgent.zip")) << "the download must not stay";
      // Nothing of the failed download counts: the next run fetches it again.
      std::vector<std::string> requests = nginx_.accessLogRequests();
      ASSERT_LE(2u, requests.size());
      EXPECT_EQ("GET /agent 200", requests[1]);
    }
    // The genuine agent, signed now, still runs.
    serveAgent();
    sign(testKey("agent.key"));
    ProcessResult genuine = run(setup);
    EXPECT_EQ(0, genuine.exitCode) << genuine.err;
    unlink(record().c_str());
  }
}

// A vendor who builds the bootstrap with a key needs no --agent-key: the key
// built in checks every agent, in the same keyed cache.
TEST_F(SignedAgentTest, KeyBuiltInChecksWithoutAgentKey) {
  serveAgent();
  mkdir((tmp_ / "built-in").c_str(), 0755);
  const std::string setup = tmp_ / "built-in/setup.run";
  makePackage({setup, {{"a.txt", "a\n"}}, "", KV_BUILT_IN_KEY_BOOTSTRAP_BIN});
  ProcessResult unsignedRun = run(setup);
  EXPECT_EQ(255, unsignedRun.exitCode);
  EXPECT_EQ(0u, unsignedRun.err.find("Failed to verify the TVE Installer downloaded from " + agentUrl() +
                                     ": no signature at "))
      << unsignedRun.err;
  EXPECT_FALSE(fileExists(record()));

  sign(testKey("agent.key"));
  ProcessResult signedRun = run(setup);
  EXPECT_EQ(0, signedRun.exitCode) << signedRun.err;
  EXPECT_TRUE(fileExists(record()));
  EXPECT_TRUE(fileExists(cacheRoot() + ".signingtime"));
}

// A key slot edited by hand into something that is no Ed25519 key stops the
// run before anything is fetched.
TEST_F(SignedAgentTest, KeyThatIsNoEd25519KeyStopsTheRun) {
  serveAgent();
  sign(testKey("agent.key"));
  const std::string setup = package(tmp_ / "pkg");
  std::string line = readFile(testKey("agent.pub"));
  line = line.substr(line.find('\n') + 1, 56);
  std::string bytes;
  ASSERT_TRUE(decodeBase64(line, &bytes));
  bytes[1] = 'D';  // "ED" names a signature algorithm, not a key's
  writeFile(tmp_ / "raw", bytes);
  const std::string edited = shellOrDie("base64 -w0 " + (tmp_ / "raw")) + '\0';
  writeFile(setup, withSlotEdited(readFile(setup), "agent-key", edited), 0755);
  nginx_.clearAccessLog();
  ProcessResult result = run(setup);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("This installer is damaged: its agent key is not a minisign public key: its key is not an "
            "Ed25519 key (a minisign key line starts with RW). Download it again, or ask its vendor "
            "for a new copy.\nInstallation failed.\n",
            result.err);
  EXPECT_EQ(std::vector<std::string>{}, nginx_.accessLogRequests());
  EXPECT_FALSE(fileExists(record()));
}

TEST_F(SignedAgentTest, SignatureRedirectedAwayFromHttpIsRefused) {
  serveAgent();
  sign(testKey("agent.key"));
  std::string setup = package(tmp_ / "pkg");
  const std::string url = nginx_.url("/redirected/agent");
  Command command;
  command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = url;
  ProcessResult result = runPackage(setup, home(), {}, command);
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + url + ": cannot download " +
                url + ".minisig: the server redirected to ftp, a protocol that is not allowed (an "
                "http agent URL may lead to http and https only)\nInstallation failed.\n",
            result.err);
  EXPECT_FALSE(fileExists(record())) << "the agent ran";
  EXPECT_FALSE(fileExists(cacheRoot(url) + ".validatestring"));
  EXPECT_TRUE(fileExists(cacheRoot(url) + ".lock")) << "the cache looked at is the one used";
  EXPECT_EQ((std::vector<std::string>{"HEAD /redirected/agent 200", "GET /redirected/agent 200",
                                      "GET /redirected/agent.minisig 302"}),
            nginx_.accessLogRequests());
}

// An agent that a build without the key stored, under the very tag the server
// sends, was never verified: the keyed build keeps a cache of its own, where
// nothing else writes.
TEST_F(SignedAgentTest, AgentCachedWithoutTheKeyIsNeverRun) {
  const std::string a = makeAgent("A", false);
  const std::string b = makeAgent("B");
  ASSERT_EQ(readFile(a).size(), readFile(b).size()) << "the same size and time give the same tag";
  serveAs(a, 1000000000);
  const std::string tag = NginxServer::expectedETag(agentPath());
  mkdir((tmp_ / "unkeyed").c_str(), 0755);
  // The keyed stub packed without a key checks nothing, as the small one does.
  makePackage({tmp_ / "unkeyed/setup.run", {{"a.txt", "a\n"}}, "", keyedBootstrap()});
  ProcessResult unkeyed = run(tmp_ / "unkeyed/setup.run");
  ASSERT_EQ(0, unkeyed.exitCode) << unkeyed.err;
  ASSERT_TRUE(fileExists(record("A")));
  unlink(record("A").c_str());

  serveAs(b, 1000000000);
  ASSERT_EQ(tag, NginxServer::expectedETag(agentPath()));
  const std::string setup = package(tmp_ / "keyed");
  nginx_.clearAccessLog();
  ProcessResult first = run(setup);
  EXPECT_EQ(0, first.exitCode) << first.err;
  EXPECT_EQ("", first.err);
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200", "GET /agent.minisig 200"}),
            nginx_.accessLogRequests());
  EXPECT_TRUE(fileExists(record("B")));
  EXPECT_FALSE(fileExists(record("A"))) << "the agent stored without the key ran";
  EXPECT_EQ((std::vector<std::string>{".lock", ".signingtime", ".validatestring", "installagent"}),
            listDir(cacheRoot()));

  // What lies in the other cache, planted or edited, changes nothing.
  writeFile(unkeyedCacheRoot() + "installagent/install", "touch " + (tmp_ / "planted") + "\n");
  writeFile(unkeyedCacheRoot() + ".validatestring", "ETag: " + tag + "\r");
  unlink(record("B").c_str());
  nginx_.clearAccessLog();
  ProcessResult second = run(setup);
  EXPECT_EQ(0, second.exitCode) << second.err;
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, nginx_.accessLogRequests());
  EXPECT_TRUE(fileExists(record("B")));
  EXPECT_FALSE(fileExists(tmp_ / "planted"));
}

// Every agent ever signed with the key verifies for ever; one signed before
// the agent already verified is last year's, served again.
TEST_F(SignedAgentTest, AgentSignedBeforeTheVerifiedOneIsRefused) {
  const std::string b1 = makeAgent("B1");
  const time_t signed1 = signingTime(b1);
  ASSERT_NE(0, signed1);
  ASSERT_TRUE(waitUntil([&] { return time(nullptr) > signed1; }, 5000));
  const std::string b2 = makeAgent("B2");
  const time_t signed2 = signingTime(b2);
  ASSERT_LT(signed1, signed2);
  const std::string setup = package(tmp_ / "pkg");
  auto runServing = [&](const std::string& zip, time_t modified) {
    serveAs(zip, modified);
    for (const char* name : {"B1", "B2"}) unlink(record(name).c_str());
    return run(setup);
  };

  ProcessResult newer = runServing(b2, 1000000000);
  EXPECT_EQ(0, newer.exitCode) << newer.err;
  EXPECT_TRUE(fileExists(record("B2")));
  const std::string newerTag = readFile(cacheRoot() + ".validatestring");

  ProcessResult older = runServing(b1, 1000000100);
  EXPECT_EQ(255, older.exitCode);
  EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + agentUrl() +
                ": it was signed on " + utc(signed1) +
                ", before the agent already verified here (signed on " + utc(signed2) +
                ")\nInstallation failed.\n",
            older.err);
  EXPECT_FALSE(fileExists(record("B1")));
  EXPECT_FALSE(fileExists(record("B2"))) << "nothing may run";
  EXPECT_EQ(newerTag, readFile(cacheRoot() + ".validatestring")) << "no tag of the refused agent";

  ProcessResult again = runServing(b2, 1000000200);
  EXPECT_EQ(0, again.exitCode) << again.err;
  EXPECT_TRUE(fileExists(record("B2")));

  // A vendor who wants the older agent back signs it again.
  shellOrDie("minisign -S -s " + testKey("agent.key") + " -m " + b1 + " >/dev/null");
  ASSERT_LE(signed2, signingTime(b1));
  ProcessResult rolledBack = runServing(b1, 1000000300);
  EXPECT_EQ(0, rolledBack.exitCode) << rolledBack.err;
  EXPECT_TRUE(fileExists(record("B1")));
}

// The remembered signing time and the tag are trusted only as the agent is:
// neither may be a symbolic link or belong to someone else. Each is changed
// by `change`, given its path, and then told as `problem`.
void SignedAgentTest::expectSigningTimeAndTagRefused(const std::function<void(const std::string&)>& change,
                                                     const std::string& problem) {
  serveAs(makeAgent("B"), 1000000000);
  const std::string setup = package(tmp_ / "pkg");
  ProcessResult stored = run(setup);
  ASSERT_EQ(0, stored.exitCode) << stored.err;
  // The tag's path is told as the cache root, a slash and its name.
  for (const std::string& path : {cacheRoot() + ".signingtime", cacheRoot() + "/.validatestring"}) {
    SCOPED_TRACE(path);
    const std::string saved = readFile(path);
    change(path);
    unlink(record("B").c_str());
    ProcessResult result = run(setup);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(0u, result.err.find("The install agent cache cannot be trusted: " + path + problem)) << result.err;
    EXPECT_FALSE(fileExists(record("B")));
    unlink(path.c_str());
    writeFile(path, saved, 0600);
  }
}

TEST_F(SignedAgentTest, SigningTimeAndTagFilesAreTrustedLikeTheAgent) {
  writeFile(tmp_ / "zero", "0\n");
  expectSigningTimeAndTagRefused(
      [&](const std::string& path) { shellOrDie("rm " + path + " && ln -s " + (tmp_ / "zero") + " " + path); },
      " is a symbolic link");
}

// A directory in the place of either file is no danger: a run that downloads
// (the agent's new time gives it a new tag) cannot store the file there, goes
// on, and leaves no temporary file.
TEST_F(SignedAgentTest, DirectoryWhereTheSigningTimeOrTagGoesLeavesNoTemporaryFile) {
  serveAs(makeAgent("B"), 1000000000);
  const std::string setup = package(tmp_ / "pkg");
  ProcessResult stored = run(setup);
  ASSERT_EQ(0, stored.exitCode) << stored.err;
  for (const std::string& path : {cacheRoot() + ".signingtime", cacheRoot() + ".validatestring"}) {
    SCOPED_TRACE(path);
    const std::string saved = readFile(path);
    shellOrDie("rm " + path + " && mkdir " + path + " && touch " + agentPath());
    unlink(record("B").c_str());
    ProcessResult result = run(setup);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_TRUE(fileExists(record("B")));
    EXPECT_EQ((std::vector<std::string>{".lock", ".signingtime", ".validatestring", "installagent"}),
              listDir(cacheRoot()));
    shellOrDie("rm -r " + path);
    writeFile(path, saved, 0600);
  }
}

TEST_F(SignedAgentTest, SigningTimeAndTagFilesOfAnotherUserAreNotTrusted) {
  SKIP_WITHOUT_OTHER_USER();
  expectSigningTimeAndTagRefused([](const std::string& path) { EXPECT_TRUE(giveToOtherUser(path)); },
                                 " belongs to another user");
}

// An error page is no signature file, whatever it holds.
TEST_F(SignedAgentTest, EveryErrorOnTheSignatureUrlMeansNoSignature) {
  serveAgent();
  sign(testKey("agent.key"));
  ScriptServer server;
  ASSERT_TRUE(server.started());
  ScriptedResponse agent;
  agent.headers = {{"ETag", "\"1\""}};
  agent.body = readFile(agentPath());
  server.setRoute("/agent", agent);
  const std::string url = server.url("/agent");
  std::string setup = package(tmp_ / "pkg");
  Command command;
  command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = url;
  // The good signature served with each status; 200 shows that it is good.
  for (int status : {200, 403, 500, 503}) {
    SCOPED_TRACE(status);
    shellOrDie("rm -rf " + home());
    unlink(record().c_str());
    ScriptedResponse signature;
    signature.status = status;
    signature.body = readFile(signaturePath());
    server.setRoute("/agent.minisig", signature);
    ProcessResult result = runPackage(setup, home(), {}, command);
    if (status == 200) {
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_TRUE(fileExists(record()));
      continue;
    }
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ("Failed to verify the TVE Installer downloaded from " + url + ": no signature at " + url +
                  ".minisig (HTTP code: " + std::to_string(status) + ")\nInstallation failed.\n",
              result.err);
    EXPECT_FALSE(fileExists(record())) << "the agent ran";
    EXPECT_FALSE(fileExists(cacheRoot(url) + "installagent/install"));
    EXPECT_TRUE(fileExists(cacheRoot(url) + ".lock")) << "the cache looked at is the one used";
  }
}
