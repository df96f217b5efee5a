// Whole runs as they go in the field: a /tmp that cannot take the work
// directory, a download cut short or grown, a disk too small for the
// package.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/stub_record.h"
#include "os/byte_count.h"
#include "os/report.h"
#include "tests/run_helpers.h"
#include "tests/server_process.h"
#include "tests/test_util.h"

namespace {

// argv that runs `package` after the shell text `mounts`, in a mount
// namespace of its own (tools/private-mounts.sh).
std::vector<std::string> withMounts(const std::string& mounts, const std::string& package) {
  return {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c", mounts + " && exec \"$0\"",
          package};
}

// A package run as runPackage() makes it, for startProcess().
Command packageRun(const std::vector<std::string>& argv, const std::string& home) {
  Command command;
  command.argv = argv;
  command.setEnv = {{"HOME", home},
                    {"KV_INTERNAL_INSTALL_AGENT_URL",
                     "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/agent"}};
  command.unsetEnv = {"__KV_BOOTSTRAP_INSTALLER_UNITTEST__", "TERM"};
  command.privateTmp = runTmpDir();
  return command;
}

// What unzip writes when it unpacks the package, by its own count.
uint64_t unpackedBytes(const std::string& package) {
  return std::stoull(shellOrDie("unzip -Zt '" + package + "' | cut -d' ' -f3"));
}

class FieldRunTest : public testing::Test {
 protected:
  void SetUp() override { workDirsBefore_ = workDirsInTmp(); }
  void TearDown() override {
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_)) << "a work directory is left";
  }

  // dir/name.run: its bundle says `name`, and its agent records, one a line,
  // its name, what the bundle says, the bundle's directory and its mode.
  std::string namedPackage(const std::string& dir, const std::string& name) {
    makeAgentZip(tmp_ / "agent.zip", "{ echo " + name + "; unzip -p \"$2\" which.txt; dirname \"$2\"; "
                                     "stat -c %a \"$(dirname \"$2\")\"; } > " + record() + "\n");
    makePackage({dir + "/" + name + ".run", {{"which.txt", name + "\n"}}, tmp_ / "agent.zip", ""});
    return dir + "/" + name + ".run";
  }
  std::string record() const { return tmp_ / "record"; }

  // A fake unzip first on PATH that notes that it ran and runs the real one.
  std::string unzipThatNotes() {
    mkdir((tmp_ / "bin").c_str(), 0755);
    writeFile(tmp_ / "bin/unzip",
              "touch " + (tmp_ / "unzip-ran") + "\nexec /usr/bin/unzip \"$@\"\n", 0755);
    return tmp_ / "bin:/usr/bin:/bin";
  }

  ScopedTempDir tmp_;
  std::vector<std::string> workDirsBefore_;
};

using FallbackWorkDirTest = FieldRunTest;
using PackageSizeTest = FieldRunTest;

// When /tmp cannot take the work directory, each run unpacks into a fresh
// directory of its own beside the package, runs its own agent with its own
// bundle, and removes it; nothing found there is used.
TEST_F(FallbackWorkDirTest, EachPackageUnpacksIntoAFreshDirectoryOfItsOwn) {
  const std::string dir = tmp_ / "downloads";
  const std::string lone = tmp_ / "lone";
  mkdir(dir.c_str(), 0755);
  mkdir(lone.c_str(), 0755);
  namedPackage(dir, "A");
  namedPackage(dir, "B");
  namedPackage(lone, "U");
  // What an earlier run that unpacked into the directory itself left there:
  // A's bundle, and an agent that would say it ran.
  const std::string leftovers = tmp_ / "leftovers";
  mkdir(leftovers.c_str(), 0755);
  makeAgentZip(leftovers + "/InstallAgent.zip", "touch " + (tmp_ / "leftover-ran") + "\n");
  shellOrDie("cd " + leftovers + " && unzip -qq InstallAgent.zip && unzip -qq " + dir +
             "/A.run bundle.zip && mkdir kvAbC123 && cp InstallAgent.zip bundle.zip kvAbC123/");

  const std::string readOnlyTmp = "mount -t tmpfs -o ro tmpfs /tmp";
  const std::string dirReadOnly =
      readOnlyTmp + " && mount --bind " + dir + " " + dir + " && mount -o remount,bind,ro " + dir;
  const std::string failingUnzip = "exit 9\n";
  struct {
    const char* what;
    std::string mounts, package;
    bool planted = false, unitTestMode = false;
    std::string unzip = "";  ///< a fake unzip's script; empty: the real one
    std::string ran = "";    ///< whose agent ran with whose bundle; empty: none
    std::string err = "";
  } rows[] = {
      {"A, /tmp read-only", readOnlyTmp, dir + "/A.run", false, false, "", "A"},
      {"then B from the same directory", readOnlyTmp, dir + "/B.run", false, false, "", "B"},
      {"B beside an earlier run's leftovers", readOnlyTmp, dir + "/B.run", true, false, "", "B"},
      {"A, /tmp out of inodes", "mount -t tmpfs -o nr_inodes=1 tmpfs /tmp", dir + "/A.run", true,
       false, "", "A"},
      {"A, unpacking fails", readOnlyTmp, dir + "/A.run", true, false, failingUnzip, "",
       failureOutput(kPayloadExtractionFailed)},
      {"A, its directory read-only too", dirReadOnly, dir + "/A.run", true, false, "", "",
       "Cannot create a work directory in /tmp (Read-only file system) or beside the installer in " +
           dir + " (Read-only file system). Make room in /tmp, or run the installer from a "
           "directory you can write to.\nInstallation failed.\n"},
      // The unit-test mode unpacks beside the package itself, and leaves it there.
      {"U in the unit-test mode", readOnlyTmp, lone + "/U.run", false, true, "", "U"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (row.planted) shellOrDie("cp -a " + leftovers + "/. " + dir);
    const std::vector<std::string> before = listDir(dir);
    unlink(record().c_str());
    Command command;
    if (row.unitTestMode) command.setEnv["__KV_BOOTSTRAP_INSTALLER_UNITTEST__"] = "";
    if (!row.unzip.empty()) {
      mkdir((tmp_ / "bin").c_str(), 0755);
      writeFile(tmp_ / "bin/unzip", row.unzip, 0755);
      command.setEnv["PATH"] = tmp_ / "bin:/usr/bin:/bin";
    }
    const std::vector<std::string> argv = withMounts(row.mounts, row.package);
    ProcessResult result =
        runPackage(argv[0], tmp_.path(), std::vector<std::string>(argv.begin() + 1, argv.end()), command);
    EXPECT_EQ(row.ran.empty() ? 255 : 0, result.exitCode) << result.err;
    if (!row.ran.empty()) {
      EXPECT_EQ("", result.err);
      const std::string runDir = row.package.substr(0, row.package.rfind('/'));
      std::vector<std::string> lines;
      std::string recorded = readFile(record());
      for (size_t at = 0, end; (end = recorded.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(recorded.substr(at, end - at));
      ASSERT_EQ(4u, lines.size()) << recorded;
      EXPECT_EQ(row.ran, lines[0]) << "whose agent ran";
      EXPECT_EQ(row.ran, lines[1]) << "whose bundle it got";
      if (row.unitTestMode) {
        EXPECT_EQ(runDir, lines[2]);
      } else {
        EXPECT_EQ(runDir + "/kv", lines[2].substr(0, lines[2].size() - 6)) << "a directory of its own";
        EXPECT_EQ("700", lines[3]);
      }
    } else {
      EXPECT_EQ(row.err, result.err);
      EXPECT_FALSE(fileExists(record()));
    }
    EXPECT_FALSE(fileExists(tmp_ / "leftover-ran")) << "a leftover agent ran";
    if (!row.unitTestMode) {
      EXPECT_EQ(before, listDir(dir)) << "the directory changed";
    }
  }
  EXPECT_EQ(readFile(leftovers + "/bundle.zip"), readFile(dir + "/bundle.zip"));
  EXPECT_TRUE(fileExists(lone + "/bundle.zip")) << "the unit-test mode leaves the payload";
}

// The fallback directory goes on every path, an interrupted run's too.
TEST_F(FallbackWorkDirTest, InterruptedRunRemovesItToo) {
  const std::string dir = tmp_ / "downloads";
  mkdir(dir.c_str(), 0755);
  makeAgentZip(tmp_ / "agent.zip", "touch " + (tmp_ / "started") + "\nexec sleep 60\n");
  makePackage({dir + "/setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
  const int pid = startProcess(
      packageRun(withMounts("mount -t tmpfs -o ro tmpfs /tmp", dir + "/setup.run"), tmp_.path()));
  ASSERT_TRUE(waitUntil([&] { return fileExists(tmp_ / "started"); }, 30000));
  EXPECT_EQ(2u, listDir(dir).size()) << "the package and its work directory";
  kill(-pid, SIGTERM);
  EXPECT_EQ(SIGTERM, waitProcess(pid).termSignal);
  EXPECT_EQ(std::vector<std::string>{"setup.run"}, listDir(dir));
}

// A download cut short, or one that got more bytes, stops at once, before
// unzip or anything else: a package that records no length runs as before.
TEST_F(PackageSizeTest, FileOfAnotherLengthStopsBeforeAnythingIsUnpacked) {
  const std::string package = namedPackage(tmp_.path(), "A");
  const std::string bytes = readFile(package);
  const MemberData bundle = findStoredMember(package, "bundle.zip");
  const std::string empty(kSizeSlotBytes, '\0');
  const std::string damaged = "This installer is damaged: its ";
  const std::string askAgain =
      " is not a number of bytes. Download it again, or ask its vendor for a new copy.\n"
      "Installation failed.\n";
  struct {
    const char* what;
    std::string contents;
    bool lengthDiffers;
    std::string err = "";  ///< besides the length's message; none: the run installs
  } rows[] = {
      {"whole", bytes, false},
      {"one byte short", bytes.substr(0, bytes.size() - 1), true},
      {"cut in the bundle", bytes.substr(0, bundle.offset + bundle.length / 2), true},
      {"one byte more", bytes + "\n", true},
      {"100 bytes more", bytes + std::string(100, '\xa5'), true},
      {"no length recorded, 100 bytes more",
       withSlotEdited(bytes, kStubPackageLengthKey, empty) + std::string(100, '\xa5'), false},
      {"a length that is no number",
       withSlotEdited(bytes, kStubPackageLengthKey, "12x" + empty.substr(3)), false,
       damaged + "recorded length" + askAgain},
      {"an unpacked size that is no number",
       withSlotEdited(bytes, kStubUnpackedSizeKey, std::string(kSizeSlotBytes, '7')), false,
       damaged + "recorded unpacked size" + askAgain},
  };
  Command command;
  command.setEnv["PATH"] = unzipThatNotes();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unlink(record().c_str());
    unlink((tmp_ / "unzip-ran").c_str());
    writeFile(tmp_ / "copy.run", row.contents, 0755);
    ProcessResult result = runPackage(tmp_ / "copy.run", tmp_.path(), {}, command);
    std::string err = row.err;
    if (row.lengthDiffers)
      err = "This installer is incomplete or damaged: its file has " +
            std::to_string(row.contents.size()) + " bytes, but it was made with " +
            std::to_string(bytes.size()) + " bytes. Download it again.\nInstallation failed.\n";
    EXPECT_EQ(err, result.err);
    EXPECT_EQ(err.empty() ? 0 : 255, result.exitCode);
    EXPECT_EQ(err.empty(), fileExists(tmp_ / "unzip-ran")) << "whether unzip ran";
    EXPECT_EQ(err.empty(), fileExists(record())) << "whether the agent ran";
  }
}

// The space unzip will need is held against what the file system it
// unpacks into has free, /tmp or the package's own directory.
TEST_F(PackageSizeTest, TooLittleRoomStopsBeforeUnzipStarts) {
  shellOrDie("mkdir " + (tmp_ / "big") + " && head -c 3145728 /dev/urandom > " + (tmp_ / "big/data"));
  makeAgentZip(tmp_ / "agent.zip", probeAgentScript(record()));
  ProcessResult pack = runProcess({{packBinary(), "--bootstrap", bootstrapBinary(), "--bundle",
                                    tmp_ / "big", "--agent", tmp_ / "agent.zip", "-o", tmp_ / "setup.run"},
                                   {}, {}, "", ""});
  ASSERT_EQ(0, pack.exitCode) << pack.err;
  const uint64_t needed = unpackedBytes(tmp_ / "setup.run");
  const std::string small = tmp_ / "small";
  mkdir(small.c_str(), 0755);
  struct {
    const char* what;
    std::string mounts, package;
    std::string shown;  ///< the directory the message names; "": room enough
    uint64_t mostFree = 0;
  } rows[] = {
      {"/tmp of 2 MiB", "mount -t tmpfs -o size=2m tmpfs /tmp", tmp_ / "setup.run", "/tmp", 2 << 20},
      {"/tmp of 8 MiB", "mount -t tmpfs -o size=8m tmpfs /tmp", tmp_ / "setup.run", ""},
      // 4 MiB, of which the package takes 3.
      {"/tmp read-only, the package's directory 4 MiB",
       "mount -t tmpfs -o ro tmpfs /tmp && mount -t tmpfs -o size=4m tmpfs " + small + " && cp " +
           (tmp_ / "setup.run") + " " + small,
       small + "/setup.run", small, 1 << 20},
  };
  Command command;
  command.setEnv["PATH"] = unzipThatNotes();
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    unlink(record().c_str());
    unlink((tmp_ / "unzip-ran").c_str());
    const std::vector<std::string> argv = withMounts(row.mounts, row.package);
    ProcessResult result =
        runPackage(argv[0], tmp_.path(), std::vector<std::string>(argv.begin() + 1, argv.end()), command);
    EXPECT_EQ(row.shown.empty(), fileExists(tmp_ / "unzip-ran")) << "whether unzip started";
    if (row.shown.empty()) {
      EXPECT_EQ(0, result.exitCode) << result.err;
      EXPECT_EQ(2u, readRecordedArgs(record()).size());
      continue;
    }
    EXPECT_EQ(255, result.exitCode);
    const std::string start = "Not enough free space in " + row.shown +
                              " to unpack this installer: it needs " + std::to_string(needed) +
                              " bytes (" + bytesForHumans(needed) + "), and ";
    const std::string end = " are free. Make room there, and run it again.\nInstallation failed.\n";
    ASSERT_EQ(0u, result.err.find(start)) << result.err;
    ASSERT_TRUE(endsWith(result.err, end)) << result.err;
    const std::string freeText = result.err.substr(start.size(), result.err.size() - start.size() - end.size());
    const uint64_t free = std::stoull(freeText);
    EXPECT_LE(free, row.mostFree);
    EXPECT_EQ(std::to_string(free) + " bytes (" + bytesForHumans(free) + ")", freeText);
  }
}

}  // namespace
