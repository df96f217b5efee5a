#include "bootstrap/launch.h"

#include <unistd.h>

#include <csignal>
#include <utility>

#include <gtest/gtest.h>

#include "os/report.h"
#include "os/shell.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

namespace {

// argv as the package's main() gets it: the program name, then args.
struct Argv {
  explicit Argv(std::vector<std::string> args) : owned(std::move(args)) {
    owned.insert(owned.begin(), "setup");
    for (std::string& arg : owned) pointers.push_back(&arg[0]);
    pointers.push_back(nullptr);
  }
  int count() const { return static_cast<int>(owned.size()); }
  char** get() { return pointers.data(); }
  std::vector<std::string> owned;
  std::vector<char*> pointers;
};

std::string commandFor(std::vector<std::string> args, const std::string& script = "/tmp/kvQ1w2E3/install",
                       const std::string& payloadDir = "/tmp/kvQ1w2E3") {
  Argv argv(std::move(args));
  return launchCommand(script, payloadDir, argv.count(), argv.get());
}

std::vector<std::string> gReported;

void recordReport(const std::string& message, bool /*toStderr*/) { gReported.push_back(message); }

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
  Argv argv(args);

  EXPECT_TRUE(launchInstallAgent(tmp / "install", tmp.path(), argv.count(), argv.get(), reportLine));
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
  Argv argv({});
  EXPECT_TRUE(launchInstallAgent(tmp / "install", tmp.path(), argv.count(), argv.get(), reportLine));
  EXPECT_TRUE(launchInstallAgent(tmp / "missing", tmp.path(), argv.count(), argv.get(), reportLine));
}

// A command line longer than the kernel takes for one string never reaches
// the shell; a launch that did not happen must not count as one.
TEST(LaunchInstallAgent, CommandLineBeyondTheKernelLimitIsAFailure) {
  ScopedTempDir tmp;
  writeFile(tmp / "install", probeAgentScript(tmp / "record"));
  for (size_t extra : {0, 1}) {
    SCOPED_TRACE(extra);
    std::vector<std::string> args(127, std::string(1000, 'a'));
    args.emplace_back("");
    Argv probe(args);
    size_t length = launchCommand(tmp / "install", tmp.path(), probe.count(), probe.get()).size();
    args.back() = std::string(kMaxCommandLineBytes - 1 + extra - (length - 2), 'z');  // was ''
    Argv argv(args);
    ASSERT_EQ(kMaxCommandLineBytes - 1 + extra,
              launchCommand(tmp / "install", tmp.path(), argv.count(), argv.get()).size());

    gReported.clear();
    unlink((tmp / "record").c_str());
    bool launched = launchInstallAgent(tmp / "install", tmp.path(), argv.count(), argv.get(),
                                       recordReport);
    EXPECT_EQ(extra == 0, launched);
    EXPECT_EQ(extra == 0, fileExists(tmp / "record"));
    EXPECT_EQ(extra == 0 ? std::vector<std::string>{}
                         : std::vector<std::string>{internalErrorMessage(kLaunchFailed)},
              gReported);
  }
}

// With SIGCHLD ignored the kernel reaps the shell at once and system() has no
// child to wait for: it returns -1 and nobody knows what ran.
TEST(LaunchInstallAgent, NoChildToWaitForIsAFailure) {
  ScopedTempDir tmp;
  writeFile(tmp / "install", "exit 0\n");
  Argv argv({});
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &old);
  gReported.clear();
  bool launched = launchInstallAgent(tmp / "install", tmp.path(), argv.count(), argv.get(),
                                     recordReport);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_FALSE(launched);
  EXPECT_EQ(std::vector<std::string>{internalErrorMessage(kLaunchFailed)}, gReported);
}
