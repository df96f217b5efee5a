#include "launch/launch.h"

#include <gtest/gtest.h>

#include "bootstrap/report.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

namespace {

std::string commandFor(std::vector<std::string> args, const std::string& script = "/tmp/kvQ1w2E3/install",
                       const std::string& payloadDir = "/tmp/kvQ1w2E3") {
  args.insert(args.begin(), "setup");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  return launchCommand(script, payloadDir, static_cast<int>(args.size()), argv.data());
}

}  // namespace

TEST(LaunchCommand, IsBuiltFromScriptBundleAndArguments) {
  EXPECT_EQ("sh /tmp/kvQ1w2E3/install -installbundle /tmp/kvQ1w2E3/bundle.zip -mode silent ",
            commandFor({"-mode", "silent"}));
  EXPECT_EQ("sh /tmp/kvQ1w2E3/install -installbundle /tmp/kvQ1w2E3/bundle.zip", commandFor({}));
  EXPECT_EQ("sh \"/opt/my setup/install\" -installbundle \"/opt/my setup/bundle.zip\"",
            commandFor({}, "/opt/my setup/install", "/opt/my setup"));
}

// The user's words must reach the agent exactly as typed: the shell that
// starts it must neither split, expand nor run any of them.
TEST(LaunchInstallAgent, EveryArgumentArrivesAsOneUnchangedWord) {
  ScopedTempDir tmp;
  std::string marker = tmp / "pwned";
  writeFile(tmp / "install", probeAgentScript(tmp / "record"));
  std::vector<std::string> args = {"-installdir", "/opt/My Apps", "it's", "say \"hi\"",
                                   "$(touch " + marker + ")", "`touch " + marker + "`",
                                   "a;touch " + marker, "*", "~", "~/x", "", "$HOME", "tab\tin",
                                   "line\nbreak", "back\\slash", "-", "--"};
  std::vector<std::string> owned = args;
  owned.insert(owned.begin(), "setup");
  std::vector<char*> argv;
  for (std::string& arg : owned) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  EXPECT_TRUE(launchInstallAgent(tmp / "install", tmp.path(), static_cast<int>(owned.size()),
                                 argv.data(), reportLine));
  std::vector<std::string> received = readRecordedArgs(tmp / "record");
  ASSERT_EQ(args.size() + 2, received.size());
  EXPECT_EQ("-installbundle", received[0]);
  EXPECT_EQ(tmp / "bundle.zip", received[1]);
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i], received[i + 2]);
  EXPECT_FALSE(fileExists(marker));
}

TEST(LaunchInstallAgent, AgentFailureStillCountsAsLaunched) {
  ScopedTempDir tmp;
  writeFile(tmp / "install", "exit 7\n");
  char name[] = "setup";
  char* argv[] = {name, nullptr};
  EXPECT_TRUE(launchInstallAgent(tmp / "install", tmp.path(), 1, argv, reportLine));
  EXPECT_TRUE(launchInstallAgent(tmp / "missing", tmp.path(), 1, argv, reportLine));
}
