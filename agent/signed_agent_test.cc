// A bootstrap built with a vendor key against agents signed with the real
// minisign command and served by nginx on loopback.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <gtest/gtest.h>

#include "agent/minisig.h"
#include "tests/nginx_server.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/test_util.h"

namespace {

const char kCacheRel[] = "/.korvex/installagent/V7031c/tux64le/";

// $KV_TEST_SIGNED_BOOTSTRAP when set (the shipped build), else the test build's.
std::string signedBootstrap() {
  const char* chosen = getenv("KV_TEST_SIGNED_BOOTSTRAP");
  return chosen != nullptr && *chosen != '\0' ? chosen : KV_SIGNED_BOOTSTRAP_BIN;
}

std::string testKey(const std::string& name) { return std::string(KV_TEST_KEY_DIR) + "/" + name; }

class SignedAgentTest : public testing::Test {
 protected:
  SignedAgentTest() : nginx_(www()) {}

  void SetUp() override {
    ASSERT_TRUE(nginx_.started());
    ASSERT_TRUE(fileExists(signedBootstrap()))
        << signedBootstrap() << " is built by: cmake --build BUILD --target kv-testkey-bootstraps";
  }

  std::string www() const {
    std::string dir = tmp_ / "www";
    mkdir(dir.c_str(), 0755);
    return dir;
  }
  std::string agentPath() const { return www() + "/agent"; }
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

  // A package made with the signed bootstrap, alone in its directory: in the
  // test mode the payload, and a downloaded archive, land beside it.
  std::string package(const std::string& dir) {
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/setup.run";
    makePackage({path, {{"a.txt", "a\n"}}, "", signedBootstrap()});
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
  std::string cacheRoot() const { return home() + kCacheRel; }

  ScopedTempDir tmp_;
  NginxServer nginx_;
};

}  // namespace

TEST_F(SignedAgentTest, SignedAgentRunsAndTheRerunAsksOnlyForTheTag) {
  for (const char* options : {"", "-l"}) {
    SCOPED_TRACE(std::string("minisign -S ") + options);
    shellOrDie("rm -rf " + home());
    serveAgent();
    sign(testKey("agent.key"), options);
    std::string setup = package(tmp_ / (std::string("pkg") + options));
    nginx_.clearAccessLog();
    ProcessResult first = run(setup);
    EXPECT_EQ(0, first.exitCode) << first.err;
    EXPECT_EQ("", first.err);
    EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200",
                                        "GET /agent.minisig 200"}),
              nginx_.accessLogRequests());
    EXPECT_EQ(2u, readRecordedArgs(record()).size());

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
      EXPECT_FALSE(fileExists(cacheRoot() + "installagent/install"));
      EXPECT_FALSE(fileExists(dir + "/InstallAgent.zip")) << "the download must not stay";
      // Nothing of the failed download counts: the next run fetches it again.
      std::vector<std::string> requests = nginx_.accessLogRequests();
      ASSERT_LE(2u, requests.size());
      EXPECT_EQ("GET /agent 200", requests[1]);
    }
  }
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
    EXPECT_FALSE(fileExists(cacheRoot() + "installagent/install"));
  }
}
