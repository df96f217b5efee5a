// A package's run from its start to its end, driven from outside as a user
// would: unpacking, starting the agent, and the ways either cannot happen.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include <gtest/gtest.h>

#include "os/report.h"
#include "tests/runs/run_fixture.h"

using BootstrapRunTest = RunTest;

// A bare program, or a package cut or changed anywhere in its bundle.
TEST_F(BootstrapRunTest, DamagedPackagesStopBeforeAnyAgentRuns) {
  const std::string package = packCarrying(probe("agent"), "good.run");
  // Without its recorded length, as packages were made before it: a cut one
  // reaches unzip (PackageSizeTest has those with the length).
  std::string bytes = withoutRecordedSizes(readFile(package));
  MemberData bundle = findStoredMember(package, "bundle.zip");
  ASSERT_GT(bundle.length, 0u);
  struct {
    const char* name;
    std::string contents;
  } damaged[] = {
      {"bare.run", readFile(runner().bootstrap)},
      {"truncated.run", bytes.substr(0, bundle.offset + bundle.length / 2)},
      {"cut-after-bundle.run", bytes.substr(0, bundle.offset + bundle.length)},
      {"flipped.run", bytes},
  };
  damaged[3].contents[bundle.offset + bundle.length / 2] ^= 0x20;
  for (const auto& d : damaged) {
    SCOPED_TRACE(d.name);
    writeFile(tmp_ / d.name, d.contents, 0755);
    ProcessResult result = run(tmp_ / d.name);
    EXPECT_EQ(255, result.exitCode);
    EXPECT_TRUE(endsWith(result.err, failureOutput(kPayloadExtractionFailed))) << result.err;
    EXPECT_FALSE(fileExists(record("agent"))) << "no agent may start from a damaged package";
  }
}

// kv-pack checks what it writes into the stub's slots; a hand edit of them
// stops the run before anything happens. Every kind of damage is told apart
// in AgentConfigTest; the small bootstrap has no signature code to honour a
// key with.
TEST_F(BootstrapRunTest, DamagedAgentSettingsStopTheRunAtOnce) {
  const std::string bytes = readFile(packCarrying(probe("agent"), "good.run"));
  struct {
    const char* key;
    std::string room;
    std::string message;
  } cases[] = {
      {"agent-base-url", std::string(256, 'a'), "agent URL has no end"},
      {"agent-key", testKeyLine() + '\0', "agent key is set, but this bootstrap cannot check signatures"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    writeFile(tmp_ / "damaged.run", withSlotEdited(bytes, c.key, c.room), 0755);
    ProcessResult result = run(tmp_ / "damaged.run");
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ("This installer is damaged: its " + c.message +
                  ". Download it again, or ask its vendor for a new copy.\nInstallation failed.\n",
              result.err);
    EXPECT_FALSE(fileExists(record("agent"))) << "no agent may start";
  }
  EXPECT_EQ(std::vector<std::string>{}, requests()) << "nothing may be fetched";
}

// Every argument reaches the agent as the one word it was, after the bundle
// in a work directory of the run's own, which is gone once the agent ends.
TEST_F(BootstrapRunTest, GoodPackageRunsTheAgentAndRemovesTheWorkDirectory) {
  const std::string package = packCarrying(probe("agent"));
  const std::string marker = tmp_ / "must-not-exist";
  const std::vector<std::string> args = {"-mode", "silent", "-installdir", "/opt/My Apps",
                                         "$(touch " + marker + ")", "a; touch " + marker, "'quoted'",
                                         "\"double\"", "*", "~", "", "last"};
  ProcessResult result = run(package, args);
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("", result.err);
  std::vector<std::string> argv = readRecordedArgs(record("agent"));
  ASSERT_EQ(args.size() + 2, argv.size());
  EXPECT_EQ("-installbundle", argv[0]);
  EXPECT_EQ(0u, argv[1].find("/tmp/kv")) << argv[1];
  EXPECT_TRUE(endsWith(argv[1], "/bundle.zip")) << argv[1];
  for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(args[i], argv[i + 2]);
  EXPECT_FALSE(fileExists(pathOutsideRun(argv[1].substr(0, argv[1].rfind('/')))));
  EXPECT_FALSE(fileExists(marker));
}

// A package made with cat alone, its offsets never moved past the program by
// "zip -A": unzip warns with exit status 1 and unpacks all the same.
TEST_F(BootstrapRunTest, PackageWithUnadjustedOffsetsInstalls) {
  makeAgentZip(tmp_ / "InstallAgent.zip", probe("agent"));
  writeFile(tmp_ / "bundle.zip", "bundle\n");
  shellOrDie("cd " + tmp_.path() + " && zip -q -0 payload.zip bundle.zip InstallAgent.zip && cat " +
             runner().bootstrap + " payload.zip > setup.run && chmod +x setup.run");
  ProcessResult result = run(tmp_ / "setup.run");
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_NE(std::string::npos, result.err.find("extra bytes")) << "unzip did not warn: " << result.err;
  EXPECT_EQ(2u, readRecordedArgs(record("agent")).size());
}

// The unit-test mode unpacks beside the package, among what is there
// already, and leaves it there; the fixed agent name wins over a versioned one.
TEST_F(BootstrapRunTest, UnitTestModeUnpacksNextToTheExecutable) {
  const std::string dir = tmp_ / "here";
  ASSERT_EQ(0, mkdir(dir.c_str(), 0755));
  makeAgentZip(dir + "/InstallAgent_2.zip", probe("versioned"));
  makeAgentZip(tmp_ / "InstallAgent.zip", probe("fixed"));
  const std::string package = pack({dir + "/setup.run", {{"a.txt", "a\n"}}, tmp_ / "InstallAgent.zip"});
  Command command = runCommand(package);
  command.setEnv["__KV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
  ProcessResult result = runProcess(command);
  EXPECT_EQ(0, result.exitCode) << result.err;
  std::vector<std::string> argv = readRecordedArgs(record("fixed"));
  ASSERT_EQ(2u, argv.size());
  EXPECT_EQ(dir + "/bundle.zip", argv[1]);
  EXPECT_FALSE(fileExists(record("versioned")));
  EXPECT_TRUE(fileExists(dir + "/bundle.zip")) << "this mode leaves the payload in place";
  EXPECT_TRUE(fileExists(dir + "/install"));
}

// Names a shell would read as code, names unzip would take for a wildcard
// (and open the decoy beside), and a place deep in a long path.
TEST_F(BootstrapRunTest, PackagesFindThemselvesWhateverTheirNameAndPlace) {
  packCarrying(probe("decoy"), "setup1.run");
  packCarrying(probe("decoy"), "setupA.run");
  std::string deep = tmp_.path();
  while (deep.size() < 1500) deep += "/" + std::string(60, 'd');
  shellOrDie("mkdir -p " + deep);
  makeAgentZip(tmp_ / "agent.zip", probe("agent"));
  for (const std::string& name : std::vector<std::string>{"setup (1).run", "it's.run", "a$b.run", "with blank.run",
                                                         "`x`;y.run", "setup[1].run", "setup?.run", "setup*.run",
                                                         deep.substr(tmp_.path().size() + 1) + "/setup.run"}) {
    SCOPED_TRACE(name);
    const std::string package = pack({tmp_ / name, {{"a.txt", "a\n"}}, tmp_ / "agent.zip"});
    ProcessResult result = run(package);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record("agent")).size());
    EXPECT_FALSE(fileExists(record("decoy")));
    unlink(record("agent").c_str());
    unlink(package.c_str());
  }
}

TEST_F(BootstrapRunTest, LaunchThatCannotHappenFailsTheRun) {
  ProcessResult result =
      run(packCarrying(probe("agent")), std::vector<std::string>(160, std::string(1024, 'x')));
  EXPECT_EQ(255, result.exitCode);
  EXPECT_EQ(internalErrorMessage(kLaunchFailed) + "\nFailed to start the instal agent\nInstallation failed.\n",
            result.err);
  EXPECT_FALSE(fileExists(record("agent")));
}

// unzip's input and output are set up before it starts, it reads nothing the
// user types (that is the agent's), and what it says ends its line before
// ours: every way the unpack cannot happen stops the run there. A fake unzip
// first on PATH shows what the real one meets rarely; the real one meets a
// full /tmp in a mount namespace of its own.
TEST_F(BootstrapRunTest, UnpackThatCannotHappenStopsTheRunOnALineOfItsOwn) {
  const std::string bin = tmp_ / "bin";
  ASSERT_EQ(0, mkdir(bin.c_str(), 0755));
  shellOrDie("ln -s /bin/rm " + bin + "/rm");
  const std::string small = packCarrying(probe("agent"));
  shellOrDie("head -c 3000000 /dev/urandom > " + (tmp_ / "noise"));
  const std::string big = pack({tmp_ / "big.run", {{"noise", readFile(tmp_ / "noise")}}, tmp_ / "setup.run.agent.zip"});
  // Without its recorded size, unzip itself finds the disk full.
  writeFile(big, withoutRecordedSizes(readFile(big)), 0755);
  const std::string mounting = sourceDir() + "/tools/private-mounts.sh";
  const std::string failed = failureOutput(kPayloadExtractionFailed);
  const std::string notInstalled =
      "This installer needs the unzip command: install your distribution's \"unzip\" package and run "
      "it again.\n";
  struct {
    const char* name;
    std::string package;
    std::vector<std::string> wrapper;
    std::string unzip;  // a fake unzip on PATH; "-": none
    std::string err;    // all of standard error; empty: unzip's words, then ours
  } cases[] = {
      {"no /dev/null", small, {mounting, "/bin/sh", "-c", "mount -t tmpfs tmpfs /dev && exec \"$@\"", "sh"}, "",
       failed},
      {"no file descriptor left", small, withDescriptorLimit(4), "", failed},
      {"unzip asks on a full disk", small, {},
       "printf 'x:  write error (disk full?).  Continue? (y/n/^C) ' >&2\nread answer\n"
       "printf %s \"$answer\" > " + (tmp_ / "answer") + "\nexit 50\n",
       "x:  write error (disk full?).  Continue? (y/n/^C) \n" + failed},
      {"no unzip", small, {}, "-", "sh: 1: unzip: not found\n" + notInstalled + failed},
      {"a full /tmp", big, {mounting, "/bin/sh", "-c", "mount -t tmpfs -o size=1m tmpfs /tmp && exec \"$@\"", "sh"},
       "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Command command = runCommand(c.package);
    command.argv.insert(command.argv.begin(), c.wrapper.begin(), c.wrapper.end());
    command.stdinText = "y\ny\n";
    unlink((bin + "/unzip").c_str());
    if (!c.unzip.empty()) command.setEnv["PATH"] = bin;
    if (!c.unzip.empty() && c.unzip != "-") writeFile(bin + "/unzip", c.unzip, 0755);
    ProcessResult result = runProcess(command);
    EXPECT_EQ(255, result.exitCode);
    if (c.err.empty()) {
      EXPECT_NE(std::string::npos, result.err.find("disk full")) << result.err;
      EXPECT_TRUE(endsWith(result.err, "\n" + failed)) << result.err;
    } else {
      EXPECT_EQ(c.err, result.err);
    }
    EXPECT_FALSE(fileExists(record("agent")));
  }
  EXPECT_EQ("", readFile(tmp_ / "answer")) << "the input is the agent's";
}

// "./setup.run 2>&1 | true": the first message meets a pipe nobody reads.
TEST_F(BootstrapRunTest, ClosedStandardErrorDoesNotEndTheRun) {
  shellOrDie("cp " + runner().bootstrap + " " + (tmp_ / "setup.run") + " && mkfifo " + (tmp_ / "fifo"));
  Command command = runCommand(tmp_ / "setup.run");
  // Opened for reading and writing, the fifo needs no other end; then only a writer is left.
  command.argv.insert(command.argv.begin(), {"/bin/sh", "-c",
                                             "exec 3<>\"$0\" 4>\"$0\" 3<&-; exec \"$@\" 2>&4", tmp_ / "fifo"});
  ProcessResult result = runProcess(command);
  EXPECT_EQ(255, result.exitCode) << "signal " << result.termSignal;
}

// Whatever the caller left ignored, the agent starts with the default actions.
TEST_F(BootstrapRunTest, AgentStartsWithDefaultSignalsWhateverTheCallerIgnored) {
  Command command = runCommand(packCarrying("grep SigIgn /proc/self/status > " + (tmp_ / "ignored") + "\n"));
  command.argv.insert(command.argv.begin(), {"/usr/bin/env", "--ignore-signal=CHLD", "--ignore-signal=PIPE"});
  ProcessResult result = runProcess(command);
  EXPECT_EQ(0, result.exitCode) << result.err;
  std::string line = readFile(tmp_ / "ignored");
  ASSERT_EQ(0u, line.find("SigIgn:")) << line;
  unsigned long long ignored = std::stoull(line.substr(7), nullptr, 16);
  EXPECT_EQ(0u, ignored & (1ull << (SIGPIPE - 1))) << line;
  EXPECT_EQ(0u, ignored & (1ull << (SIGCHLD - 1))) << line;
}

// A script's background job starts with SIGINT ignored: an agent that ends by
// SIGINT then is no interrupt of the run. Where sh runs its last command
// without forking, as bash does, the agent is the bootstrap's own child.
TEST_F(BootstrapRunTest, IgnoredInterruptStaysIgnoredWhenTheAgentEndsByIt) {
  Command command = runCommand(packCarrying("cat /proc/$PPID/comm > " + (tmp_ / "parent") +
                                            "\nexec env --default-signal=INT sh -c 'kill -INT $$'\n"));
  command.argv.insert(command.argv.begin(), {"/usr/bin/env", "--ignore-signal=INT"});
  command.bindMounts = {{"/bin/bash", "/bin/sh"}};
  ProcessResult result = runProcess(command);
  EXPECT_EQ(0, result.termSignal);
  EXPECT_EQ(0, result.exitCode) << result.err;
  EXPECT_EQ("setup.run\n", readFile(tmp_ / "parent")) << "the shell forked the agent";
}
