// Whole runs of real packages, driven from outside like a user would.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bootstrap/report.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

namespace {

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
  std::string bytes = readFile(package);
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
  EXPECT_FALSE(fileExists(argv[1].substr(0, argv[1].rfind('/'))));
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
