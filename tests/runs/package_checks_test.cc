// Whole runs as they go in the field: a /tmp that cannot take the work
// directory, a download cut short or grown, a disk too small for the
// package, and progress on a terminal, but never in a log.
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/stub_record.h"
#include "os/byte_count.h"
#include "os/progress_line.h"
#include "os/report.h"
#include "tests/run_helpers.h"
#include "tests/runs/run_fixture.h"
#include "tests/script_server.h"
#include "tests/server_process.h"
#include "tests/test_util.h"

namespace {

const char kAgentSays[] = "agent output\n";

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

// The run fixture's world, its packages made with the runner's bootstrap.
class FieldRunTest : public RunTest {
 protected:

  // dir/name.run: its bundle says `name`, and its agent records, one a line,
  // its name, what the bundle says, the bundle's directory and its mode.
  std::string namedPackage(const std::string& dir, const std::string& name) {
    makeAgentZip(tmp_ / "agent.zip", "{ echo " + name + "; unzip -p \"$2\" which.txt; dirname \"$2\"; "
                                     "stat -c %a \"$(dirname \"$2\")\"; } > " + record() + "\n");
    pack({dir + "/" + name + ".run", {{"which.txt", name + "\n"}}, tmp_ / "agent.zip", ""});
    return dir + "/" + name + ".run";
  }
  std::string record() const { return tmp_ / "record"; }

  // A fake unzip first on PATH that notes that it ran and runs the real one;
  // given the bytes the real one will write, it first writes half as many
  // into its destination and waits until the test lets it go on.
  std::string unzipThatWaits(uint64_t expected = 0) {
    mkdir((tmp_ / "bin").c_str(), 0755);
    std::string script = "touch " + (tmp_ / "unzip-ran") + "\n";
    if (expected != 0) {
      mkfifo((tmp_ / "go").c_str(), 0600);
      // Not for the agent's unpack, which overwrites (-o).
      script += "eval \"dest=\\${$#}\"\nif [ \"$2\" != -o ]; then\nhead -c " +
                std::to_string(expected / 2) + " /dev/zero > \"$dest/part\"\nread go < " +
                (tmp_ / "go") + "\nrm \"$dest/part\"\nfi\n";
    }
    writeFile(tmp_ / "bin/unzip", script + "exec /usr/bin/unzip \"$@\"\n", 0755);
    return tmp_ / "bin:/usr/bin:/bin";
  }

  // Lets the waiting unzip go on, once it waits.
  void letUnzipGoOn() {
    const int fd = open((tmp_ / "go").c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(1, write(fd, "\n", 1));
    close(fd);
  }

};

using FallbackWorkDirTest = FieldRunTest;
using PackageSizeTest = FieldRunTest;
using ProgressTest = FieldRunTest;

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
  pack({dir + "/setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
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
  command.setEnv["PATH"] = unzipThatWaits();
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
  pack({tmp_ / "setup.run", {{"data", readFile(tmp_ / "big/data")}}, tmp_ / "agent.zip"});
  const uint64_t needed = unpackedBytes(tmp_ / "setup.run");
  // Room for the package (a few MiB in a sanitizer build), and for half of what it unpacks.
  const uint64_t halfFull = readFile(tmp_ / "setup.run").size() + needed / 2;
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
      {"/tmp 64 KiB short", "mount -t tmpfs -o size=" + std::to_string((needed - 65536) / 1024) + "k tmpfs /tmp",
       tmp_ / "setup.run", "/tmp", needed - 65536},
      {"/tmp read-only, the package's directory too small",
       "mount -t tmpfs -o ro tmpfs /tmp && mount -t tmpfs -o size=" + std::to_string(halfFull / 1024 + 1) +
           "k tmpfs " + small + " && cp " + (tmp_ / "setup.run") + " " + small,
       small + "/setup.run", small, needed / 2 + 8192},
  };
  Command command;
  command.setEnv["PATH"] = unzipThatWaits();
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

// A pseudo-terminal whose far end a run gets as its standard error. What the
// run writes there is read back as written: no line ends are translated.
class Terminal {
 public:
  explicit Terminal(unsigned short columns) : master_(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    struct termios modes = {};
    struct winsize size = {};
    size.ws_row = 24;
    size.ws_col = columns;
    const char* name = master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0 ? ptsname(master_) : nullptr;
    if (name == nullptr || tcgetattr(master_, &modes) != 0) {
      ADD_FAILURE() << "no pseudo-terminal";
      return;
    }
    farEnd_ = name;
    modes.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    EXPECT_EQ(0, tcsetattr(master_, TCSANOW, &modes));
    EXPECT_EQ(0, ioctl(master_, TIOCSWINSZ, &size));
  }
  ~Terminal() {
    if (master_ >= 0) close(master_);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;

  const std::string& farEnd() const { return farEnd_; }

  /// Reads until `text` has come after what was read before; false when the
  /// far end closed or 30 s passed first.
  bool readUntil(const std::string& text) {
    const size_t from = output.size();
    for (int round = 0; round < 3000; ++round) {
      if (output.find(text, from) != std::string::npos) return true;
      if (!readSome(10)) return output.find(text, from) != std::string::npos;
    }
    return false;
  }
  /// Reads until the screen is blank again; false when the far end closed
  /// or 30 s passed first.
  bool readUntilBlank() {
    for (int round = 0; round < 3000; ++round) {
      if (screen() == std::vector<std::string>{""}) return true;
      if (!readSome(10)) break;
    }
    return screen() == std::vector<std::string>{""};
  }
  /// Reads until every writer has closed the far end.
  void readToEnd() {
    for (int round = 0; round < 3000 && readSome(10);) ++round;
  }

  /// The screen the output leaves, a line each, blanks at line ends dropped:
  /// a carriage return goes back to the line's start, a line feed to the next.
  std::vector<std::string> screen() const {
    std::vector<std::string> lines(1);
    size_t column = 0;
    for (char c : output) {
      if (c == '\r') {
        column = 0;
      } else if (c == '\n') {
        lines.emplace_back();
        column = 0;
      } else {
        std::string& line = lines.back();
        if (line.size() <= column) line.resize(column + 1, ' ');
        line[column++] = c;
      }
    }
    for (std::string& line : lines) line.erase(line.find_last_not_of(' ') + 1);
    return lines;
  }

  std::string output;

 private:
  // False once the far end is closed for good.
  bool readSome(int timeoutMs) {
    struct pollfd ready = {master_, POLLIN, 0};
    if (poll(&ready, 1, timeoutMs) <= 0) return ready.revents == 0;
    char buffer[4096];
    const ssize_t got = read(master_, buffer, sizeof buffer);
    if (got <= 0) return false;
    output.append(buffer, static_cast<size_t>(got));
    return true;
  }

  int master_;
  std::string farEnd_;
};

// Each drawing of a progress line: the text after each carriage return that
// starts with the label.
std::vector<std::string> drawings(const std::string& output, const std::string& label) {
  std::vector<std::string> found;
  for (size_t at = output.find('\r' + label); at != std::string::npos;
       at = output.find('\r' + label, at + 1))
    found.push_back(output.substr(at + 1, output.find_first_of("\r\n", at + 1) - at - 1));
  return found;
}

// How a run's standard error is set up, and what is done to it while its
// progress shows.
struct ProgressRow {
  const char* what;
  bool terminal;
  std::string term;  ///< "": TERM unset
  unsigned short columns = 80;
  bool interrupted = false;  ///< SIGTERM to the bootstrap alone once the line shows
};

const ProgressRow kProgressRows[] = {
    {"on a terminal", true, "xterm"},
    {"on a terminal of 30 columns", true, "xterm-256color", 30},
    {"on a terminal without TERM", true, ""},
    {"on a terminal that cannot move the cursor", true, "dumb"},
    {"into a file", false, "xterm"},
    {"on a terminal, interrupted", true, "xterm", 80, true},
};

// What a row's run printed and how it ended: `shows` is the line it is
// expected to show, `goOn` lets the step go on.
void runWithProgress(const ProgressRow& row, Command command, const std::string& shows,
                     const std::function<void()>& goOn, const std::string& dir) {
  Terminal terminal(row.columns);
  if (!row.term.empty()) command.setEnv["TERM"] = row.term;
  const bool expectLine = row.terminal && row.term != "dumb";
  const auto started = std::chrono::steady_clock::now();
  const int pid = startProcess(command, "", row.terminal ? terminal.farEnd() : dir + "/err");
  if (expectLine) {
    EXPECT_TRUE(terminal.readUntil('\r' + shows.substr(0, row.columns - 1u))) << terminal.output;
    if (row.interrupted) {
      kill(pid, SIGTERM);
      // Taken away at once, before the step itself ends.
      EXPECT_TRUE(terminal.readUntilBlank()) << terminal.output;
    }
  }
  goOn();
  if (row.terminal) terminal.readToEnd();
  const ProcessResult result = waitProcess(pid);
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - started).count();
  const std::string output = row.terminal ? terminal.output : readFile(dir + "/err");
  if (row.interrupted) {
    EXPECT_EQ(SIGTERM, result.termSignal);
    EXPECT_EQ(std::vector<std::string>{""}, terminal.screen()) << "the line is taken away";
    return;
  }
  EXPECT_EQ(0, result.exitCode) << output;
  if (!expectLine) {
    EXPECT_EQ(kAgentSays, output) << "not one byte more";
    return;
  }
  // The agent's output starts on a clean line, as if no line had been there.
  EXPECT_EQ((std::vector<std::string>{"agent output", ""}), terminal.screen()) << output;
  const std::string label = shows.substr(0, shows.find(':'));
  const std::vector<std::string> drawn = drawings(output, label);
  EXPECT_LE(drawn.size(), static_cast<size_t>(tookMs / kProgressIntervalMs + 1))
      << "a few drawings a second at most, in " << tookMs << " ms";
  for (const std::string& line : drawn) EXPECT_LT(line.size(), row.columns) << line;
}

// The unpack shows how much unzip has written of what kv-pack recorded,
// while the bootstrap waits for it.
TEST_F(ProgressTest, UnpackShowsOnATerminalOnly) {
  makeAgentZip(tmp_ / "agent.zip", std::string("printf '") + kAgentSays + "' >&2\n");
  pack({tmp_ / "setup.run", {{"data.bin", std::string(300000, 'd')}}, tmp_ / "agent.zip", ""});
  const uint64_t total = unpackedBytes(tmp_ / "setup.run");
  const std::string path = unzipThatWaits(total);
  for (const ProgressRow& row : kProgressRows) {
    SCOPED_TRACE(row.what);
    Command command = packageRun({tmp_ / "setup.run"}, tmp_.path());
    command.setEnv["PATH"] = path;
    runWithProgress(row, command, progressText("Unpacking the installer", total / 2, total),
                    [this] { letUnzipGoOn(); }, tmp_.path());
  }
}

// The agent's download shows what libcurl has received of what the server
// announced.
TEST_F(ProgressTest, DownloadShowsOnATerminalOnly) {
  ScriptServer server;
  ASSERT_TRUE(server.started());
  makeAgentZip(tmp_ / "agent.zip", std::string("printf '") + kAgentSays + "' >&2\n");
  const std::string agent = readFile(tmp_ / "agent.zip");
  pack({tmp_ / "setup.run", {{"a.txt", "a\n"}}, "", "", "", server.url("")});
  for (const ProgressRow& row : kProgressRows) {
    SCOPED_TRACE(row.what);
    // A new tag each time: every run downloads.
    const std::string tag = "\"" + std::string(row.what) + "\"";
    server.setRoute("HEAD", "/agent", answer(200, {{"ETag", tag}}));
    server.setRoute("GET", "/agent", answer(200, {{"ETag", tag}}, agent, ScriptedResponse::kPauseMidBody));
    Command command = packageRun({tmp_ / "setup.run"}, tmp_ / "home");
    command.setEnv["KV_INTERNAL_INSTALL_AGENT_URL"] = server.url("/agent");
    runWithProgress(
        row, command, progressText("Downloading the TVE Installer", agent.size() / 2, agent.size()),
        [&] {
          EXPECT_TRUE(waitUntil([&] { return server.countRequests("GET") > 0; }, 30000));
          server.setRoute("GET", "/agent", answer(200, {{"ETag", tag}}, agent));
        },
        tmp_.path());
    server.clearRequests();
  }
}

}  // namespace
