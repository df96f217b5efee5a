// Whole runs of real packages, driven from outside like a user would.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "os/report.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

namespace {

// The base64 line of the test key's minisign.pub.
std::string testKeyLine() {
  const std::string pub = readFile(KV_TEST_KEY_DIR "/agent.pub");
  const size_t start = pub.find('\n') + 1;
  return pub.substr(start, pub.find('\n', start) - start);
}

class BootstrapRunTest : public testing::Test {
 protected:
  void SetUp() override { workDirsBefore_ = workDirsInTmp(); }

  // A package carrying a probe agent that records its arguments.
  std::string packageWithProbe(const std::string& packagePath) {
    makeAgentZip(tmp_ / "agent.zip", probeAgentScript(record()));
    makePackage({packagePath, {{"app/hello.txt", "hello\n"}}, tmp_ / "agent.zip", ""});
    return packagePath;
  }

  std::string record() const { return tmp_ / "argv.record"; }

  void expectNoWorkDirLeft() { EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_)); }

  void expectDamagedPackage(const std::string& package) {
    ProcessResult result = runPackage(package, tmp_.path());
    EXPECT_EQ(255, result.exitCode);
    EXPECT_TRUE(endsWith(result.err, failureOutput(kPayloadExtractionFailed))) << result.err;
    EXPECT_FALSE(fileExists(record())) << "no agent may start from a damaged package";
    expectNoWorkDirLeft();
  }

  ScopedTempDir tmp_;
  std::vector<std::string> workDirsBefore_;
};

}  // namespace

TEST_F(BootstrapRunTest, BareProgramWithNothingAppendedFailsAtTheUnpack) {
  shellOrDie("cp " + bootstrapBinary() + " " + (tmp_ / "setup.run"));
  expectDamagedPackage(tmp_ / "setup.run");
}

TEST_F(BootstrapRunTest, DamagedPackagesStopBeforeAnyAgentRuns) {
  std::string package = packageWithProbe(tmp_ / "good.run");
  // Without its recorded length, as packages were made before it: a cut one
  // reaches unzip (tests/package_checks_test.cc has those with the length).
  std::string bytes = withoutRecordedSizes(readFile(package));
  MemberData bundle = findStoredMember(package, "bundle.zip");
  ASSERT_GT(bundle.length, 0u);

  struct {
    const char* name;
    std::string contents;
  } damaged[] = {
      {"truncated.run", bytes.substr(0, bundle.offset + bundle.length / 2)},
      {"cut-after-bundle.run", bytes.substr(0, bundle.offset + bundle.length)},
      {"flipped.run", bytes},
  };
  damaged[2].contents[bundle.offset + bundle.length / 2] ^= 0x20;

  for (const auto& d : damaged) {
    SCOPED_TRACE(d.name);
    writeFile(tmp_ / d.name, d.contents, 0755);
    expectDamagedPackage(tmp_ / d.name);
  }
}

// kv-pack checks what it writes into the stub's slots; a hand edit of them
// stops the run before anything happens. Every kind of damage is told apart
// in AgentConfigTest.
TEST_F(BootstrapRunTest, DamagedAgentSettingsStopTheRunAtOnce) {
  const std::string bytes = readFile(packageWithProbe(tmp_ / "good.run"));
  const std::string damaged = "This installer is damaged: its ";
  const std::string fix = ". Download it again, or ask its vendor for a new copy.\nInstallation failed.\n";
  struct {
    const char* key;
    std::string room;
    std::string message;
  } cases[] = {
      {"agent-base-url", std::string(256, 'a'), "agent URL has no end"},
      {"agent-key", std::string(64, 'R'), "agent key has no end"},
      // The small bootstrap has no signature code to honour a key with.
      {"agent-key", testKeyLine() + '\0', "agent key is set, but this bootstrap cannot check signatures"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    writeFile(tmp_ / "damaged.run", withSlotEdited(bytes, c.key, c.room), 0755);
    ProcessResult result = runPackage(tmp_ / "damaged.run", tmp_.path());
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(damaged + c.message + fix, result.err);
    EXPECT_FALSE(fileExists(record())) << "no agent may start";
    expectNoWorkDirLeft();
  }
}

TEST_F(BootstrapRunTest, GoodPackageRunsTheAgentAndRemovesTheWorkDirectory) {
  std::string package = packageWithProbe(tmp_ / "setup.run");
  ProcessResult result = runPackage(package, tmp_.path(), {"-mode", "silent"});
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("", result.err);

  std::vector<std::string> argv = readRecordedArgs(record());
  ASSERT_EQ(4u, argv.size());
  EXPECT_EQ("-installbundle", argv[0]);
  EXPECT_EQ(0u, argv[1].find("/tmp/kv")) << argv[1];
  EXPECT_EQ("/bundle.zip", argv[1].substr(argv[1].size() - 11));
  EXPECT_EQ("-mode", argv[2]);
  EXPECT_EQ("silent", argv[3]);
  EXPECT_FALSE(fileExists(pathOutsideRun(argv[1].substr(0, argv[1].rfind('/')))));
  expectNoWorkDirLeft();
}

// A package made with cat alone, its offsets never moved past the program by
// "zip -A": unzip warns with exit status 1 and unpacks all the same.
TEST_F(BootstrapRunTest, PackageWithUnadjustedOffsetsInstalls) {
  makeAgentZip(tmp_ / "InstallAgent.zip", probeAgentScript(record()));
  writeFile(tmp_ / "bundle.zip", "bundle\n");
  shellOrDie("cd " + tmp_.path() + " && zip -q -0 payload.zip bundle.zip InstallAgent.zip && cat " +
             bootstrapBinary() + " payload.zip > setup.run && chmod +x setup.run");
  ProcessResult result = runPackage(tmp_ / "setup.run", tmp_.path());
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("extra bytes")) << "unzip did not warn: " << result.err;
  EXPECT_EQ(2u, readRecordedArgs(record()).size());
  expectNoWorkDirLeft();
}

TEST_F(BootstrapRunTest, UserArgumentsReachTheAgentExactlyAsGiven) {
  std::string package = packageWithProbe(tmp_ / "setup.run");
  std::string marker = tmp_ / "must-not-exist";
  std::vector<std::string> args = {"-installdir", "/opt/My Apps", "$(touch " + marker + ")",
                                   "a; touch " + marker, "'quoted'", "\"double\"", "*", "~",
                                   "", "last"};
  ProcessResult result = runPackage(package, tmp_.path(), args, Command{{}, {}, {}, tmp_.path(), ""});
  EXPECT_EQ(0, result.exitCode) << result.err;
  std::vector<std::string> argv = readRecordedArgs(record());
  ASSERT_EQ(args.size() + 2, argv.size());
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i], argv[i + 2]);
  EXPECT_FALSE(fileExists(marker));
}

TEST_F(BootstrapRunTest, UnitTestModeUnpacksNextToTheExecutable) {
  ASSERT_EQ(0, mkdir((tmp_ / "here").c_str(), 0755));
  std::string package = packageWithProbe(tmp_ / "here/setup.run");
  Command command;
  command.setEnv["__KV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
  command.argv = {package};
  command.setEnv["HOME"] = tmp_.path();
  command.privateTmp = runTmpDir();
  ProcessResult result = runProcess(command);
  EXPECT_EQ(0, result.exitCode) << result.err;

  std::vector<std::string> argv = readRecordedArgs(record());
  ASSERT_EQ(2u, argv.size());
  EXPECT_EQ(tmp_ / "here/bundle.zip", argv[1]);
  EXPECT_TRUE(fileExists(tmp_ / "here/bundle.zip")) << "this mode leaves the payload in place";
  EXPECT_TRUE(fileExists(tmp_ / "here/install"));
  expectNoWorkDirLeft();
}

TEST_F(BootstrapRunTest, PackageNamesThatNeedQuotingWork) {
  for (const char* name : {"setup (1).run", "it's.run", "a$b.run", "with blank.run", "`x`;y.run"}) {
    SCOPED_TRACE(name);
    std::string package = packageWithProbe(tmp_ / name);
    ProcessResult result = runPackage(package, tmp_.path());
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record()).size());
    unlink(record().c_str());
  }
  expectNoWorkDirLeft();
}

// unzip would take the brackets for a wildcard and open the decoy beside it.
TEST_F(BootstrapRunTest, PackageNamedLikeAWildcardUnpacksItself) {
  makeAgentZip(tmp_ / "decoy-agent.zip", probeAgentScript(tmp_ / "decoy.record"));
  makePackage({tmp_ / "setup1.run", {{"decoy.txt", "x\n"}}, tmp_ / "decoy-agent.zip", ""});
  makePackage({tmp_ / "setupA.run", {{"decoy.txt", "x\n"}}, tmp_ / "decoy-agent.zip", ""});
  for (const char* name : {"setup[1].run", "setup?.run", "setup*.run"}) {
    SCOPED_TRACE(name);
    std::string package = packageWithProbe(tmp_ / name);
    ProcessResult result = runPackage(package, tmp_.path());
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ(2u, readRecordedArgs(record()).size());
    EXPECT_FALSE(fileExists(tmp_ / "decoy.record"));
    unlink(record().c_str());
    unlink(package.c_str());
  }
}

TEST_F(BootstrapRunTest, PackageDeepInALongPathFindsItself) {
  std::string dir = tmp_.path();
  while (dir.size() < 1500) dir += "/" + std::string(60, 'd');
  shellOrDie("mkdir -p " + dir);
  std::string package = packageWithProbe(dir + "/setup.run");
  ProcessResult result = runPackage(package, tmp_.path());
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ(2u, readRecordedArgs(record()).size());
}

TEST_F(BootstrapRunTest, LaunchThatCannotHappenFailsTheRun) {
  std::string package = packageWithProbe(tmp_ / "setup.run");
  ProcessResult result = runPackage(package, tmp_.path(), std::vector<std::string>(160, std::string(1024, 'x')));
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(internalErrorMessage(kLaunchFailed) + "\nFailed to start the instal agent\nInstallation failed.\n",
            result.err);
  EXPECT_FALSE(fileExists(record()));
  expectNoWorkDirLeft();
}

// unzip's input and output are set up before it starts; when that cannot be
// done, the run stops at the unpack instead of going on without a payload.
TEST_F(BootstrapRunTest, UnpackThatCannotBeSetUpStopsTheRun) {
  std::string package = packageWithProbe(tmp_ / "setup.run");
  struct {
    const char* name;
    std::vector<std::string> wrapper;
  } cases[] = {
      {"no /dev/null",
       {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c",
        "mount -t tmpfs tmpfs /dev && exec \"$0\""}},
      {"no file descriptor left", withDescriptorLimit(4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> args(c.wrapper.begin() + 1, c.wrapper.end());
    args.push_back(package);
    ProcessResult result = runPackage(c.wrapper[0], tmp_.path(), args);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(failureOutput(kPayloadExtractionFailed), result.err);
    EXPECT_FALSE(fileExists(record()));
  }
  expectNoWorkDirLeft();
}

// "./setup.run 2>&1 | true": the first message meets a pipe nobody reads.
TEST_F(BootstrapRunTest, ClosedStandardErrorDoesNotEndTheRun) {
  shellOrDie("cp " + bootstrapBinary() + " " + (tmp_ / "setup.run") + " && mkfifo " + (tmp_ / "fifo"));
  Command command;
  // Opened for reading and writing, the fifo needs no other end; then only a writer is left.
  command.argv = {"/bin/sh", "-c", "exec 3<>\"$1\" 4>\"$1\" 3<&-; exec \"$0\" 2>&4",
                  tmp_ / "setup.run", tmp_ / "fifo"};
  ProcessResult result = runPackage("/usr/bin/env", tmp_.path(), {}, command);
  EXPECT_EQ(255, result.exitCode) << "signal " << result.termSignal;
  expectNoWorkDirLeft();
}

// Whatever the caller left ignored, the agent starts with the default actions.
TEST_F(BootstrapRunTest, AgentStartsWithDefaultSignalsWhateverTheCallerIgnored) {
  makeAgentZip(tmp_ / "agent.zip", "grep SigIgn /proc/self/status > " + (tmp_ / "ignored") + "\n");
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
  ProcessResult result = runPackage("/usr/bin/env", tmp_.path(),
                                    {"--ignore-signal=CHLD", "--ignore-signal=PIPE", tmp_ / "setup.run"});
  EXPECT_EQ(0, result.exitCode) << result.err;
  std::string line = readFile(tmp_ / "ignored");
  ASSERT_EQ(0u, line.find("SigIgn:")) << line;
  unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(0u, ignored & (1ull << (SIGPIPE - 1))) << line;
  EXPECT_EQ(0u, ignored & (1ull << (SIGCHLD - 1))) << line;
  expectNoWorkDirLeft();
}

// A script's background job starts with SIGINT ignored: an agent that ends by
// SIGINT then is no interrupt of the run. Where sh runs its last command
// without forking, as bash does, the agent is the bootstrap's own child.
TEST_F(BootstrapRunTest, IgnoredInterruptStaysIgnoredWhenTheAgentEndsByIt) {
  makeAgentZip(tmp_ / "agent.zip", "cat /proc/$PPID/comm > " + (tmp_ / "parent") +
                                       "\nexec env --default-signal=INT sh -c 'kill -INT $$'\n");
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
  Command command;
  command.bindMounts = {{"/bin/bash", "/bin/sh"}};
  ProcessResult result =
      runPackage("/usr/bin/env", tmp_.path(), {"--ignore-signal=INT", tmp_ / "setup.run"}, command);
  EXPECT_EQ(0, result.termSignal);
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("setup.run\n", readFile(tmp_ / "parent")) << "the shell forked the agent";
  expectNoWorkDirLeft();
}

// A fake unzip first on PATH shows what the real one meets rarely.
TEST_F(BootstrapRunTest, UnzipNeitherReadsInputNorLeavesOurMessageOnItsLine) {
  std::string bin = tmp_ / "bin";
  mkdir(bin.c_str(), 0755);
  shellOrDie("ln -s /bin/rm " + bin + "/rm");
  const std::string notInstalled =
      "This installer needs the unzip command: install your distribution's \"unzip\" package and run "
      "it again.\n";
  struct {
    const char* name;
    std::string unzip;  // empty: none on PATH
    std::string err;
  } cases[] = {
      {"asks on a full disk",
       "printf 'x:  write error (disk full?).  Continue? (y/n/^C) ' >&2\nread answer\n"
       "printf %s \"$answer\" > " + (tmp_ / "answer") + "\nexit 50\n",
       "x:  write error (disk full?).  Continue? (y/n/^C) \n" + failureOutput(kPayloadExtractionFailed)},
      {"missing", "", "sh: 1: unzip: not found\n" + notInstalled + failureOutput(kPayloadExtractionFailed)},
  };
  std::string package = packageWithProbe(tmp_ / "setup.run");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink((bin + "/unzip").c_str());
    unlink((tmp_ / "answer").c_str());
    if (!c.unzip.empty()) writeFile(bin + "/unzip", c.unzip, 0755);
    Command command;
    command.setEnv["PATH"] = bin;
    command.stdinText = "y\n";
    ProcessResult result = runPackage(package, tmp_.path(), {}, command);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(c.err, result.err);
    EXPECT_EQ("", readFile(tmp_ / "answer")) << "the input is the agent's";
  }
  expectNoWorkDirLeft();
}

// The real unzip on a /tmp that fills up, in a mount namespace of its own.
TEST_F(BootstrapRunTest, FullTmpFailsTheUnpackOnALineOfItsOwn) {
  ScopedTempDir outside("/var/tmp");
  makeAgentZip(outside / "agent.zip", probeAgentScript(record()));
  shellOrDie("mkdir " + (outside / "bundle") + " && head -c 3000000 /dev/urandom > " + (outside / "bundle/data"));
  ProcessResult pack = runProcess({{packBinary(), "--bootstrap", bootstrapBinary(), "--bundle",
                                    outside / "bundle", "--agent", outside / "agent.zip", "-o",
                                    outside / "setup.run"},
                                   {}, {}, "", ""});
  ASSERT_EQ(0, pack.exitCode) << pack.err;
  // Without its recorded size, unzip itself finds the disk full.
  writeFile(outside / "setup.run", withoutRecordedSizes(readFile(outside / "setup.run")), 0755);
  ProcessResult result = runPackage(
      sourceDir() + "/tools/private-mounts.sh", outside.path(),
      {"/bin/sh", "-c", "mount -t tmpfs -o size=1m tmpfs /tmp && exec \"$0\"", outside / "setup.run"},
      Command{{}, {}, {}, "", "y\ny\n"});
  EXPECT_EQ(255, result.exitCode);
  EXPECT_NE(std::string::npos, result.err.find("disk full")) << result.err;
  EXPECT_TRUE(endsWith(result.err, "\n" + failureOutput(kPayloadExtractionFailed))) << result.err;
  EXPECT_FALSE(fileExists(record()));
}
