// kv-pack driven from outside, on real files, with real zip and unzip.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <sstream>
#include <thread>

#include "build_config.h"
#include "formats/agent_url.h"
#include "formats/arch.h"
#include "formats/stub_record.h"
#include "tests/run_helpers.h"
#include "tests/server_process.h"
#include "tests/test_util.h"
#include "tools/kv-pack/pack.h"

namespace {

const char kEpoch[] = "1700000000";  // 2023-11-14 22:13:20 UTC
// Blank, quotes, "$", parentheses, and brackets that unzip would read as a pattern.
const char kOddName[] = "it's a \"$x\" (1) [2]";

uint32_t le16(const std::string& bytes, size_t at) {
  return static_cast<uint8_t>(bytes[at]) |
         static_cast<uint32_t>(static_cast<uint8_t>(bytes[at + 1])) << 8;
}

uint32_t le32(const std::string& bytes, size_t at) {
  return le16(bytes, at) | le16(bytes, at + 2) << 16;
}

// One central directory entry with the local header it points at.
struct Member {
  std::string name;
  uint32_t madeBy = 0, needed = 0, flags = 0, method = 0, dosTime = 0, crc = 0;
  uint32_t size = 0, externalAttributes = 0, localOffset = 0;
  std::string centralExtra;
  uint32_t localNeeded = 0, localFlags = 0, localMethod = 0, localCrc = 0;
  std::string localName, localExtra;
};

// Reads the archive at the end of a package the way any unzip must: from the
// end record in the last 22 bytes, with offsets from the start of the file.
bool parseArchive(const std::string& package, std::vector<Member>* members) {
  if (package.size() < 22) return false;
  size_t end = package.size() - 22;
  if (le32(package, end) != 0x06054b50 || le16(package, end + 20) != 0) return false;
  size_t count = le16(package, end + 10);
  size_t at = le32(package, end + 16);
  if (at + le32(package, end + 12) != end) return false;
  for (size_t i = 0; i < count; ++i) {
    if (at + 46 > end || le32(package, at) != 0x02014b50) return false;
    Member m;
    m.madeBy = le16(package, at + 4);
    m.needed = le16(package, at + 6);
    m.flags = le16(package, at + 8);
    m.method = le16(package, at + 10);
    m.dosTime = le32(package, at + 12);
    m.crc = le32(package, at + 16);
    m.size = le32(package, at + 20);
    size_t nameLength = le16(package, at + 28), extraLength = le16(package, at + 30);
    m.externalAttributes = le32(package, at + 38);
    m.localOffset = le32(package, at + 42);
    m.name = package.substr(at + 46, nameLength);
    m.centralExtra = package.substr(at + 46 + nameLength, extraLength);
    at += 46 + nameLength + extraLength + le16(package, at + 32);

    size_t local = m.localOffset;
    if (local + 30 > package.size() || le32(package, local) != 0x04034b50) return false;
    m.localNeeded = le16(package, local + 4);
    m.localFlags = le16(package, local + 6);
    m.localMethod = le16(package, local + 8);
    m.localCrc = le32(package, local + 14);
    size_t localNameLength = le16(package, local + 26);
    m.localName = package.substr(local + 30, localNameLength);
    m.localExtra = package.substr(local + 30 + localNameLength, le16(package, local + 28));
    members->push_back(m);
  }
  return true;
}

std::string le32Bytes(uint32_t value) {
  std::string bytes;
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// The "UT" and "ux" fields zip 3.0 writes for a file on Unix.
std::string timestampAndOwner(bool local, uint32_t mtime, uint32_t atime, uint32_t uid,
                              uint32_t gid) {
  std::string extra =
      std::string("UT") + (local ? '\x09' : '\x05') + '\0' + '\x03' + le32Bytes(mtime);
  if (local) extra += le32Bytes(atime);
  return extra + "ux" + '\x0b' + '\0' + '\x01' + '\x04' + le32Bytes(uid) + '\x04' + le32Bytes(gid);
}

void makePythonZip(const std::string& path, const std::string& member, const std::string& text) {
  const char* script =
      "import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], 'w') as z: z.writestr(sys.argv[2], sys.argv[3])\n";
  ProcessResult made =
      runProcess({{"/usr/bin/env", "python3", "-c", script, path, member, text}, {}, {}, "", ""});
  ASSERT_EQ(0, made.exitCode) << made.err;
}

void makeInfoZip(const std::string& dir, const std::string& zipPath) {
  ProcessResult made = runProcess({{"/usr/bin/env", "zip", "-qr", zipPath, "."}, {}, {}, dir, ""});
  ASSERT_EQ(0, made.exitCode) << made.err;
}

void copyCreatingDirs(const std::string& from, const std::string& to) {
  ProcessResult made =
      runProcess({{"/bin/mkdir", "-p", to.substr(0, to.rfind('/'))}, {}, {}, "", ""});
  ProcessResult copied = runProcess({{"/bin/cp", from, to}, {}, {}, "", ""});
  ASSERT_EQ(0, made.exitCode + copied.exitCode) << made.err << copied.err;
}

// The built stub with one run of bytes replaced, written to `path`: a way to
// damage its ELF headers or its record as a faulty build could.
std::string changedStub(const std::string& path, const std::string& from, const std::string& to,
                        const std::string& stub = bootstrapBinary()) {
  std::string bytes = readFile(stub);
  size_t at = bytes.find(from);
  EXPECT_NE(std::string::npos, at);
  EXPECT_EQ(std::string::npos, bytes.find(from, at + 1)) << "the bytes to change are not unique";
  if (at != std::string::npos) bytes.replace(at, from.size(), to);
  writeFile(path, bytes, 0755);
  return path;
}

// The record's note header ends with its type, the format, just before the owner.
const std::string kRecordFormatAndOwner("\x02\0\0\0kv-bootstrap\0", 17);

// The built stub with another e_machine in its ELF header: an aarch64 stub as
// far as kv-pack's checks can tell, without an aarch64 build.
std::string aarch64Stub(const std::string& path, const std::string& from = bootstrapBinary()) {
  const std::string header = readFile(from).substr(0, 20);
  std::string changed = header;
  changed[18] = '\xb7';  // EM_AARCH64, little-endian
  changed[19] = '\0';
  std::string bytes = readFile(from);
  bytes.replace(0, 20, changed);
  writeFile(path, bytes, 0755);
  return path;
}

const char kClosedAgentUrl[] = "http://127.0.0.1:9";

// The stub at path as a package made with --agent-url url (and --agent-key
// with keyLine) begins.
// The stub's bytes with the size slots as kv-pack fills them in `package`:
// the file's length, and what its members hold as unzip counts it.
std::string withSizesOf(const std::string& stub, const std::string& package) {
  auto room = [](std::string value) {
    value.resize(kSizeSlotBytes, '\0');
    return value;
  };
  const std::string unpacked = shellOrDie("unzip -Zt '" + package + "' | cut -d' ' -f3");
  const std::string length = std::to_string(readFile(package).size());
  return withSlotEdited(withSlotEdited(stub, kStubPackageLengthKey, room(length)),
                        kStubUnpackedSizeKey, room(unpacked.substr(0, unpacked.find('\n'))));
}

std::string stubWithAgentUrl(const std::string& path, const std::string& url,
                             const std::string& keyLine = "") {
  std::string room = url;
  room.resize(kAgentBaseUrlSlotBytes, '\0');
  std::string stub = withSlotEdited(readFile(path), kStubAgentBaseUrlKey, room);
  if (keyLine.empty()) return stub;
  room = keyLine;
  room.resize(kAgentKeySlotBytes, '\0');
  return withSlotEdited(stub, kStubAgentKeyKey, room);
}

const char kTestKeyFile[] = KV_TEST_KEY_DIR "/agent.pub";

// The stub record's whole note in a stub's bytes: its type and owner follow
// the sizes of its owner and description; the owner takes 16 bytes.
std::string recordNoteOf(const std::string& stub) {
  const size_t type = stub.find(kRecordFormatAndOwner);
  return type < 8 ? "" : stub.substr(type - 8, 28 + le32(stub, type - 4));
}

// The built stub `from` as builds from before the record's fields `keys` made
// it: each cut out of the note, whose description is that much shorter.
std::string stubWithout(const std::string& path, const std::vector<std::string>& keys,
                        const std::string& from = bootstrapBinary()) {
  const std::string note = recordNoteOf(readFile(from));
  std::string changed = note;
  for (const std::string& key : keys) {
    const size_t field = changed.find(std::string(1, '\0') + key + "=", 28) + 1;
    if (field == 0) {
      ADD_FAILURE() << "no " << key << " field in the stub record";
      return path;
    }
    const size_t room = recordSlotBytes(key.c_str());
    const size_t length = room != 0 ? key.size() + 1 + room : changed.find('\0', field) + 1 - field;
    changed.erase(field, length).append(length, '\0');
    changed.replace(4, 4, le32Bytes(le32(changed, 4) - length));
  }
  return changedStub(path, note, changed, from);
}

std::string stubWithoutPlatform(const std::string& path) { return stubWithout(path, {"platform"}); }

// The built stub as the earliest builds made it: a record of format 1, no
// slots and no platform, just version, agent base URL and key id.
std::string formatOneStub(const std::string& path) {
  const std::string note = recordNoteOf(readFile(bootstrapBinary()));
  const std::string fields = std::string("version=0.8") + '\0' + "agent-base-url=https://old.example/kv" +
                             '\0' + "signing-key=none" + '\0';
  std::string changed = note.substr(0, 4) + le32Bytes(fields.size()) + le32Bytes(1) + note.substr(12, 16) + fields;
  changed.resize(note.size(), '\0');
  return changedStub(path, note, changed);
}

// The keyed stub as builds from before a rotation's second key and the floor.
std::string keyedStubBeforeRotation(const std::string& path) {
  return stubWithout(path, {kStubAgentSecondKeyKey, kStubAgentNotBeforeKey}, KV_KEYED_BOOTSTRAP_BIN);
}

// Another key's line: "Ed", the id 01 ... 08 and a key of zeros.
const char kOtherKeyLine[] = "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

ProcessResult runTool(const std::vector<std::string>& argv, const std::string& workDir = "") {
  return runProcess({argv, {}, {}, workDir, ""});
}

class PackTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, mkdir(tmpDir().c_str(), 0700)); }

  // Every run gets its own TMPDIR, so a staging directory left behind is seen.
  std::string tmpDir() const { return dir_ / "tmp"; }

  // A package without an agent gets a server on a closed loopback port: kv-pack
  // refuses the build's placeholder, which never resolves.
  // The program in `wrapper` runs kv-pack with args.
  ProcessResult pack(std::vector<std::string> args, std::map<std::string, std::string> env = {},
                     const std::vector<std::string>& wrapper = {}) {
    auto given = [&](const char* option) { return std::find(args.begin(), args.end(), option) != args.end(); };
    if (given("--bundle") && !given("--agent") && !given("--agent-url"))
      args.insert(args.end(), {"--agent-url", kClosedAgentUrl});
    args.insert(args.begin(), packBinary());
    args.insert(args.begin(), wrapper.begin(), wrapper.end());
    env["TMPDIR"] = tmpDir();
    Command command{args, env, {}, "", ""};
    if (env.count("SOURCE_DATE_EPOCH") == 0) command.unsetEnv.push_back("SOURCE_DATE_EPOCH");
    return runProcess(command);
  }

  // A bundle directory with nested, empty, executable and linked entries.
  std::string makeBundleDir(const std::string& name) {
    std::string root = dir_ / name;
    shellOrDie("mkdir -p '" + root + "/app/lib' '" + root + "/empty'");
    writeFile(root + "/app/hello.txt", "hello\n");
    writeFile(root + "/app/run.sh", "#!/bin/sh\n", 0755);
    writeFile(root + "/app/lib/libx.so.1", std::string(5000, 'x'));
    EXPECT_EQ(0, symlink("libx.so.1", (root + "/app/lib/libx.so").c_str()));
    writeFile(root + "/" + kOddName, "odd\n");
    writeFile(root + "/star*.txt", "star\n");
    return root;
  }

  std::string makeAgent(const std::string& name) {
    makeAgentZip(dir_ / name, "echo agent\n");
    return dir_ / name;
  }

  void expectNothingLeftInTmp() { EXPECT_EQ(std::vector<std::string>{}, listDir(tmpDir())); }

  ScopedTempDir dir_;
};

// The archive after the bootstrap is what Info-ZIP writes with "zip -0" for
// the same files, once "zip -A" has moved its offsets past the stub.
TEST_F(PackTest, WritesWhatZipZeroAndAdjustWrite) {
  std::string bundleFiles = dir_ / "bundle";
  shellOrDie("mkdir -p '" + bundleFiles + "/app'");
  writeFile(bundleFiles + "/app/hello.txt", "hello\n");
  shellOrDie("mkdir '" + dir_.path() + "/in'");
  makeInfoZip(bundleFiles, dir_ / "in/bundle.zip");
  makeAgentZip(dir_ / "in/InstallAgent_2.1.zip", "echo agent\n");
  // Access times too: zip records them, and reading a file may move them.
  std::string setTimes = "touch -d @1700000001 '" + dir_.path() + "/in/'*.zip";

  shellOrDie(setTimes);
  ProcessResult packed =
      pack({"--bootstrap", bootstrapBinary(), "--bundle", dir_ / "in/bundle.zip", "--agent",
            dir_ / "in/InstallAgent_2.1.zip", "-o", dir_ / "ours.run"});
  ASSERT_EQ(0, packed.exitCode) << packed.err;

  shellOrDie(setTimes);
  shellOrDie("cd '" + dir_.path() +
             "/in' && zip -q -0 ../ref.zip bundle.zip InstallAgent_2.1.zip && cd .. && cat '" +
             bootstrapBinary() + "' ref.zip > ref.run && zip -q -A ref.run");
  std::string ours = readFile(dir_ / "ours.run");
  std::string reference = withSizesOf(readFile(dir_ / "ref.run"), dir_ / "ours.run");
  EXPECT_EQ(reference.size(), ours.size());
  EXPECT_TRUE(ours == reference) << "kv-pack and zip -0 + zip -A differ";
}

// Packages from every kind of input: each is one valid ZIP with the
// bootstrap in front, and each member is laid out as zip 3.0 lays it out.
TEST_F(PackTest, EveryPackageIsAStubbedZipOfStoredMembers) {
  shellOrDie("mkdir -p '" + dir_.path() + "/nested/app'");
  makeInfoZip(makeBundleDir("plain"), dir_ / "nested/app/inner.zip");
  makePythonZip(dir_ / "python-bundle.zip", "app/hello.txt", "hello\n");
  makePythonZip(dir_ / "InstallAgent_2.1.zip", "install", "echo agent\n");
  makePythonZip(dir_ / "python agent.zip", "install", "echo agent\n");
  std::string infoZipBundle = dir_ / "infozip-bundle.zip";
  makeInfoZip(makeBundleDir("for-zip"), infoZipBundle);

  struct Case {
    std::string what, bundle, agent;
    std::vector<std::string> members;
  } cases[] = {
      {"bundle directory, no agent", dir_ / "plain", "", {"bundle.zip"}},
      {"bundle holding a ZIP, Info-ZIP agent",
       dir_ / "nested",
       makeAgent("a.zip"),
       {"bundle.zip", "InstallAgent.zip"}},
      {"Python bundle, versioned Python agent",
       dir_ / "python-bundle.zip",
       dir_ / "InstallAgent_2.1.zip",
       {"bundle.zip", "InstallAgent_2.1.zip"}},
      {"Info-ZIP bundle, Python agent",
       infoZipBundle,
       dir_ / "python agent.zip",
       {"bundle.zip", "InstallAgent.zip"}},
  };
  for (const Case& c : cases) {
    const std::string bootstrap = c.agent.empty() ? stubWithAgentUrl(bootstrapBinary(), kClosedAgentUrl)
                                                  : readFile(bootstrapBinary());
    for (bool reproducible : {false, true}) {
      SCOPED_TRACE(c.what + (reproducible ? ", SOURCE_DATE_EPOCH set" : ""));
      std::string output = dir_ / "out.run";
      std::vector<std::string> args = {"--bootstrap", bootstrapBinary(), "--bundle", c.bundle, "-o",
                                       output};
      if (!c.agent.empty()) args.insert(args.end(), {"--agent", c.agent});
      std::map<std::string, std::string> env;
      if (reproducible) env["SOURCE_DATE_EPOCH"] = kEpoch;
      ProcessResult packed = pack(args, env);
      ASSERT_EQ(0, packed.exitCode) << packed.err;
      EXPECT_EQ("", packed.err);

      ProcessResult tested = runTool({"/usr/bin/env", "unzip", "-tqq", output});
      EXPECT_EQ(0, tested.exitCode);
      EXPECT_EQ("", tested.out + tested.err);

      std::string package = readFile(output);
      EXPECT_EQ(0, package.compare(0, bootstrap.size(), withSizesOf(bootstrap, output)))
          << "the bootstrap comes first, unchanged but for the agent URL given and the sizes";
      std::vector<Member> members;
      ASSERT_TRUE(parseArchive(package, &members));
      std::vector<std::string> names;
      names.reserve(members.size());
      for (const Member& m : members) names.push_back(m.name);
      EXPECT_EQ(c.members, names);
      EXPECT_EQ(bootstrap.size(), members[0].localOffset)
          << "the archive starts right after the image";

      for (const Member& m : members) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(0x031Eu, m.madeBy);
        EXPECT_EQ(10u, m.needed);
        EXPECT_EQ(10u, m.localNeeded);
        EXPECT_EQ(0u, m.method + m.localMethod) << "stored";
        EXPECT_EQ(0u, m.flags + m.localFlags) << "no data descriptor";
        EXPECT_EQ(m.name, m.localName);
        EXPECT_EQ(m.crc, m.localCrc);
        EXPECT_EQ(static_cast<uint32_t>(S_IFREG), (m.externalAttributes >> 16) & S_IFMT);
        ASSERT_EQ(24u, m.centralExtra.size());
        ASSERT_EQ(28u, m.localExtra.size());
        EXPECT_EQ("UT", m.centralExtra.substr(0, 2));
        EXPECT_EQ("ux", m.centralExtra.substr(9, 2));
        if (reproducible) {
          EXPECT_EQ(timestampAndOwner(false, 1700000000, 0, 0, 0), m.centralExtra);
          EXPECT_EQ(timestampAndOwner(true, 1700000000, 1700000000, 0, 0), m.localExtra);
          EXPECT_EQ(0x576EB1AAu, m.dosTime) << "2023-11-14 22:13:20 in UTC, whatever the time zone";
          EXPECT_EQ(0100644u, m.externalAttributes >> 16);
        }
      }

      ScopedTempDir unpacked;
      ProcessResult extracted =
          runTool({"/usr/bin/env", "unzip", "-qq", output, "-d", unpacked.path()});
      EXPECT_EQ(0, extracted.exitCode) << extracted.err;
      std::vector<std::string> sorted = c.members;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(sorted, listDir(unpacked.path()));
      if (c.bundle.size() > 4 && c.bundle.compare(c.bundle.size() - 4, 4, ".zip") == 0) {
        EXPECT_TRUE(readFile(c.bundle) == readFile(unpacked / "bundle.zip")) << "carried unchanged";
      }
      if (!c.agent.empty()) {
        EXPECT_TRUE(readFile(c.agent) == readFile(unpacked / c.members[1]));
      }

      // An independent reader agrees on the member fields.
      std::string info = runTool({"/usr/bin/env", "zipinfo", "-v", output}).out;
      EXPECT_NE(std::string::npos,
                info.find("version of encoding software:                   3.0"));
      EXPECT_NE(std::string::npos,
                info.find("file system or operating system of origin:      Unix"));
      EXPECT_NE(std::string::npos,
                info.find("minimum software version required to extract:   1.0"));
      EXPECT_NE(std::string::npos,
                info.find("The local extra field has UTC/GMT modification/access times."));
      expectNothingLeftInTmp();
    }
  }
}

TEST_F(PackTest, BundleDirectoryKeepsEveryEntry) {
  std::string output = dir_ / "out.run";
  std::string bundle = makeBundleDir("b");
  ASSERT_EQ(0, symlink("lib", (bundle + "/app/current").c_str()));
  ASSERT_EQ(0, symlink("gone", (bundle + "/app/dangling").c_str()));
  ProcessResult packed =
      pack({"--bundle", bundle, "--bootstrap", bootstrapBinary(), "-o", output});
  ASSERT_EQ(0, packed.exitCode) << packed.err;
  ScopedTempDir unpacked;
  shellOrDie("cd '" + unpacked.path() + "' && unzip -qq '" + output +
             "' && unzip -qq bundle.zip -d b");
  std::string b = unpacked / "b";
  EXPECT_EQ((std::vector<std::string>{"app", "empty", kOddName, "star*.txt"}), listDir(b));
  EXPECT_EQ("odd\n", readFile(b + "/" + kOddName));
  EXPECT_EQ(std::string(5000, 'x'), readFile(b + "/app/lib/libx.so.1"));
  char target[64] = {};
  EXPECT_EQ(9, readlink((b + "/app/lib/libx.so").c_str(), target, sizeof target - 1))
      << "kept as a link";
  EXPECT_STREQ("libx.so.1", target);
  struct stat status;
  for (const char* link : {"current", "dangling"}) {
    EXPECT_EQ(0, lstat((b + "/app/" + link).c_str(), &status));
    EXPECT_TRUE(S_ISLNK(status.st_mode)) << link << " kept as a link";
  }
  ASSERT_EQ(0, stat((b + "/app/run.sh").c_str(), &status));
  EXPECT_NE(0u, status.st_mode & S_IXUSR);

  std::string names = runTool({"/usr/bin/env", "unzip", "-Z1", unpacked / "bundle.zip"}).out;
  EXPECT_EQ(
      std::string("app/\napp/current\napp/dangling\napp/hello.txt\napp/lib/\napp/lib/libx.so\n"
                  "app/lib/libx.so.1\napp/run.sh\nempty/\n") +
          kOddName + "\nstar*.txt\n",
      names)
      << "byte order, directories included";
}

TEST_F(PackTest, LevelChoosesTheBundleCompression) {
  std::string bundle = makeBundleDir("b");
  struct Case {
    std::vector<std::string> level;
    const char* method;
  } cases[] = {{{}, "defN"}, {{"--level", "9"}, "defX"}, {{"--level", "0"}, "stor"}};
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--bootstrap", bootstrapBinary(), "--bundle", bundle,
                                     "-o",          dir_ / "out.run"};
    args.insert(args.end(), c.level.begin(), c.level.end());
    ProcessResult packed = pack(args);
    ASSERT_EQ(0, packed.exitCode) << packed.err;
    ScopedTempDir unpacked;
    shellOrDie("cd '" + unpacked.path() + "' && unzip -qq '" + dir_.path() + "/out.run'");
    std::string listing =
        runTool({"/usr/bin/env", "zipinfo", unpacked / "bundle.zip", "app/lib/libx.so.1"}).out;
    EXPECT_NE(std::string::npos, listing.find(c.method)) << listing;
  }
}

// The same inputs and SOURCE_DATE_EPOCH give the same bytes, even from a
// fresh copy of the sources (new times, another umask) in another time zone.
TEST_F(PackTest, SourceDateEpochMakesPackagesReproducible) {
  std::string original = makeBundleDir("original");
  shellOrDie("find '" + original + "' -exec touch -h -d 2001-01-01 {} +");
  std::string agent = makeAgent("InstallAgent.zip");
  std::vector<std::string> outputs;
  struct Run {
    std::string bundle, tz;
  } runs[] = {{original, "UTC"}, {dir_ / "copy", "America/New_York"}};
  for (const Run& run : runs) {
    if (run.bundle != original) {
      shellOrDie("cp -R '" + original + "' '" + run.bundle + "'");
      shellOrDie("chmod -R g+w '" + run.bundle + "'");
    }
    outputs.push_back(dir_ / ("out-" + std::to_string(outputs.size()) + ".run"));
    ProcessResult packed = pack({"--bootstrap", bootstrapBinary(), "--bundle", run.bundle,
                                 "--agent", agent, "-o", outputs.back()},
                                {{"SOURCE_DATE_EPOCH", kEpoch}, {"TZ", run.tz}});
    ASSERT_EQ(0, packed.exitCode) << packed.err;
  }
  EXPECT_TRUE(readFile(outputs[0]) == readFile(outputs[1]));

  // The inner bundle carries the epoch too, not the files' own times.
  ScopedTempDir unpacked;
  shellOrDie("cd '" + unpacked.path() + "' && unzip -qq '" + outputs[0] + "'");
  std::string listing = runTool({"/usr/bin/env", "zipinfo", "-T", unpacked / "bundle.zip"}).out;
  EXPECT_EQ(std::string::npos, listing.find("2001")) << listing;
  EXPECT_NE(std::string::npos, listing.find("20231114.221320")) << listing;

  // A bundle given as a ZIP, packed twice: reading it in between moves its access time.
  std::string zipped = dir_ / "bundle.zip";
  makeInfoZip(original, zipped);
  std::string first, second;
  for (std::string* bytes : {&first, &second}) {
    ProcessResult packed =
        pack({"--bootstrap", bootstrapBinary(), "--bundle", zipped, "-o", dir_ / "z.run"},
             {{"SOURCE_DATE_EPOCH", kEpoch}});
    ASSERT_EQ(0, packed.exitCode) << packed.err;
    *bytes = readFile(dir_ / "z.run");
    shellOrDie("touch -a -d @1600000000 '" + zipped + "'");
  }
  EXPECT_TRUE(first == second);
}

// No byte of a path is interpreted, by a shell or by unzip's patterns: a
// decoy that the brackets would match as a pattern sits beside each input.
TEST_F(PackTest, OddPathsArePackedAsGiven) {
  std::string odd = dir_ / kOddName;
  const std::string decoy = "it's a \"$x\" (1) 2";  // what "[2]" matches as a pattern
  ASSERT_EQ(0, mkdir(odd.c_str(), 0755));
  makeInfoZip(makeBundleDir("b"), odd + "/" + kOddName + ".zip");
  makeAgentZip(odd + "/InstallAgent_" + kOddName + ".zip", "echo agent\n");
  makeAgentZip(odd + "/" + kOddName + " agent.zip", "echo agent\n");
  const std::string decoys[] = {odd + "/" + decoy + ".zip", odd + "/InstallAgent_" + decoy + ".zip",
                                odd + "/" + decoy + " agent.zip"};
  for (const std::string& path : decoys) writeFile(path, "decoy\n");
  ASSERT_EQ(0, mkdir((odd + "/" + kOddName).c_str(), 0755));
  writeFile(odd + "/" + kOddName + "/hello.txt", "hello\n");

  struct Case {
    std::string bundle, agent, member;
  } cases[] = {
      {odd + "/" + kOddName, odd + "/InstallAgent_" + kOddName + ".zip",
       std::string("InstallAgent_") + kOddName + ".zip"},
      {odd + "/" + kOddName + ".zip", odd + "/" + kOddName + " agent.zip", "InstallAgent.zip"},
  };
  for (const Case& c : cases) {
    std::string output = odd + "/" + kOddName + ".run";
    unlink(output.c_str());
    ProcessResult packed = pack(
        {"--bootstrap", bootstrapBinary(), "--bundle", c.bundle, "--agent", c.agent, "-o", output});
    ASSERT_EQ(0, packed.exitCode) << c.bundle << ": " << packed.err;
    ScopedTempDir unpacked;
    ASSERT_EQ(0, symlink(output.c_str(), (unpacked / "unzip-me.zip").c_str()));
    ProcessResult extracted =
        runTool({"/usr/bin/env", "unzip", "-qq", "unzip-me.zip"}, unpacked.path());
    ASSERT_EQ(0, extracted.exitCode) << extracted.err;
    std::vector<std::string> expected = {c.member, "bundle.zip", "unzip-me.zip"};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, listDir(unpacked.path()));
    EXPECT_TRUE(readFile(c.agent) == readFile(unpacked / c.member));
  }
  expectNothingLeftInTmp();
}

// Each bad input gets one line, status 1, leaves nothing behind and an existing
// output as it was.
TEST_F(PackTest, BadInputsFailCleanly) {
  std::string bundle = makeBundleDir("b");
  std::string agent = makeAgent("agent.zip");
  std::string goodPackage = dir_ / "good.run";
  ASSERT_EQ(
      0, pack({"--bootstrap", bootstrapBinary(), "--bundle", bundle, "-o", goodPackage}).exitCode);
  writeFile(dir_ / "text.txt", "not a zip\n");
  writeFile(dir_ / "script.sh", "#!/bin/sh\n", 0755);
  std::string zipped = dir_ / "bundle.zip";
  makeInfoZip(bundle, zipped);
  writeFile(dir_ / "truncated.zip", readFile(zipped).substr(0, 100));
  std::string corrupt = readFile(zipped);
  corrupt[corrupt.find("hello\n")] ^= 0x20;  // stored, so the CRC no longer matches
  writeFile(dir_ / "corrupt.zip", corrupt);
  shellOrDie("mkdir '" + dir_.path() + "/empty' '" + dir_.path() + "/out-dir' '" + dir_.path() +
             "/fifo' && mkfifo '" + dir_.path() + "/fifo/pipe'");
  shellOrDie("mkdir -p '" + dir_.path() + "/nested/sub' && echo x > '" + dir_.path() +
             "/nested/sub/install'");
  makeInfoZip(dir_ / "nested", dir_ / "nested-install.zip");
  shellOrDie("mkdir '" + dir_.path() + "/installer' && echo x > '" + dir_.path() +
             "/installer/installer.sh'");
  makeInfoZip(dir_ / "installer", dir_ / "installer.zip");
  shellOrDie("mkdir '" + dir_.path() + "/newline' && echo x > '" + dir_.path() + "/newline/a\nb'");
  std::string stub = readFile(bootstrapBinary());
  writeFile(dir_ / "cut-stub", stub.substr(0, stub.size() / 2), 0755);
  changedStub(dir_ / "32-bit-stub", "\x7f" "ELF\x02", "\x7f" "ELF\x01");
  changedStub(dir_ / "later-format-stub", kRecordFormatAndOwner,
              std::string("\x03\0\0\0kv-bootstrap\0", 17));
  changedStub(dir_ / "damaged-record-stub", std::string("\0version=", 9),
              std::string("\0version!", 9));
  aarch64Stub(dir_ / "aarch64-stub");
  keyedStubBeforeRotation(dir_ / "keyed-before-rotation");
  formatOneStub(dir_ / "format-1-stub");
  writeFile(dir_ / "keyless-slot-stub",
            stubWithAgentUrl(bootstrapBinary(), "https://a.example", std::string(56, 'A')), 0755);
  // Real unzip exits when kv-pack stops a test it no longer needs, but one
  // that a shell script on PATH runs (as some systems install it) ends by the
  // signal. A big bundle keeps that test going while the agent's fails at once.
  shellOrDie("cd '" + dir_.path() +
             "' && truncate -s 256M zeros && zip -q -1 big.zip zeros && rm zeros");
  ASSERT_EQ(0, mkdir((dir_ / "wrapped").c_str(), 0755));
  writeFile(dir_ / "wrapped/unzip", "#!/bin/sh\n/usr/bin/unzip \"$@\"\n", 0755);
  // A zip that fails, for a caller that left SIGCHLD ignored: the kernel
  // would reap zip before kv-pack could learn how it ended.
  ASSERT_EQ(0, mkdir((dir_ / "failing").c_str(), 0755));
  writeFile(dir_ / "failing/zip", "#!/bin/sh\nexit 3\n", 0755);

  struct Case {
    std::string what;
    std::vector<std::string> args;
    std::string fragment;
    std::map<std::string, std::string> env = {};
    std::vector<std::string> wrapper = {};  ///< what kv-pack runs under
  } cases[] = {
      {"missing bundle", {"--bundle", dir_ / "nope"}, "cannot read bundle"},
      {"bundle not a ZIP", {"--bundle", dir_ / "text.txt"}, "is not a ZIP archive"},
      {"truncated bundle", {"--bundle", dir_ / "truncated.zip"}, "is not a ZIP archive"},
      {"corrupt bundle", {"--bundle", dir_ / "corrupt.zip"}, "bad CRC"},
      {"empty bundle directory", {"--bundle", dir_ / "empty"}, "is empty"},
      {"FIFO in the bundle", {"--bundle", dir_ / "fifo"}, "not a regular file"},
      {"line break in a name", {"--bundle", dir_ / "newline"}, "line break"},
      {"missing bootstrap", {"--bootstrap", dir_ / "nope"}, "cannot read bootstrap"},
      {"directory as bootstrap", {"--bootstrap", dir_ / "empty"}, "not a regular file"},
      {"script as bootstrap", {"--bootstrap", dir_ / "script.sh"}, "not an ELF"},
      {"package as bootstrap", {"--bootstrap", goodPackage}, "data after its ELF image"},
      {"program that is no stub", {"--bootstrap", packBinary()}, "is not a kv-bootstrap stub"},
      {"stub cut short", {"--bootstrap", dir_ / "cut-stub"}, "lies outside the file"},
      {"32-bit ELF file", {"--bootstrap", dir_ / "32-bit-stub"}, "not a 64-bit"},
      {"stub record of a later format",
       {"--bootstrap", dir_ / "later-format-stub"},
       "record of format 3"},
      {"damaged stub record", {"--bootstrap", dir_ / "damaged-record-stub"}, "damaged stub record"},
      {"x86-64 stub for aarch64", {"--arch", "aarch64"}, "is built for x86-64, not for aarch64"},
      {"aarch64 stub for x86-64", {"--bootstrap", dir_ / "aarch64-stub"},
       "is built for aarch64, not for x86-64"},
      {"missing agent", {"--agent", dir_ / "nope.zip"}, "cannot read agent"},
      {"agent not a ZIP", {"--agent", dir_ / "text.txt"}, "is not a ZIP archive"},
      {"agent without top-level install",
       {"--agent", dir_ / "nested-install.zip"},
       "no \"install\""},
      {"agent with only installer.sh", {"--agent", dir_ / "installer.zip"}, "no \"install\""},
      {"output under a file", {"-o", dir_ / "text.txt/out.run"}, "Not a directory"},
      {"output in a missing directory", {"-o", dir_ / "nope/out.run"}, "No such file"},
      {"output is a directory", {"-o", dir_ / "out-dir"}, "is a directory"},
      {"level for a ZIP bundle", {"--bundle", zipped, "--level", "1"}, "--level"},
      // What the command line alone decides is read in OptionsTest.
      {"unknown option", {"--compress"}, "unknown option"},
      {"agent server that never resolves",
       {"--agent-url", "https://agents.example.INVALID./"},
       "never resolves; give --agent ZIP to carry one, or --agent-url URL"},
      {"agent key for a stub without signature code",
       {"--agent-key", kTestKeyFile},
       "cannot check signatures, which --agent-key needs"},
      {"agent not a ZIP while a wrapped unzip still tests the bundle",
       {"--bundle", dir_ / "big.zip", "--agent", dir_ / "text.txt"},
       "is not a ZIP archive",
       {{"PATH", dir_ / "wrapped:/usr/bin:/bin"}}},
      {"bad SOURCE_DATE_EPOCH", {}, "SOURCE_DATE_EPOCH", {{"SOURCE_DATE_EPOCH", "yesterday"}}},
      // zip's and unzip's input and output are set up before they start.
      {"no /dev/null", {}, "cannot open /dev/null", {},
       {sourceDir() + "/tools/private-mounts.sh", "/bin/sh", "-c", "mount -t tmpfs tmpfs /dev && exec \"$@\"", "sh"}},
      {"no file descriptor left", {}, "Too many open files", {}, withDescriptorLimit(5)},
      {"zip that fails, SIGCHLD and SIGPIPE ignored", {},
       "zip failed on bundle directory " + bundle + ": exit status 3",
       {{"PATH", dir_ / "failing:/usr/bin:/bin"}},
       {"/usr/bin/env", "--ignore-signal=CHLD", "--ignore-signal=PIPE"}},
      {"second key for a stub from before its slot",
       {"--bootstrap", dir_ / "keyed-before-rotation", "--agent-key", kTestKeyFile, "--agent-key", kOtherKeyLine},
       "bootstrap " + (dir_ / "keyed-before-rotation") +
           " has no room for a second --agent-key or --agent-not-before (it was built before them); use a "
           "stub of this kv-pack's release"},
      {"agent URL for a stub of format 1",
       {"--bootstrap", dir_ / "format-1-stub", "--agent-url", "https://agents.example.org"},
       "bootstrap " + (dir_ / "format-1-stub") +
           " has no room for --agent-url or --agent-key (its record is format 1); use a stub of this "
           "kv-pack's release"},
      {"key slot that holds no minisign key", {"--bootstrap", dir_ / "keyless-slot-stub"},
       "carries a damaged stub record"},
      // The one line is the error: no warning of plain http for a package not made.
      {"missing bundle, agent over plain http",
       {"--bundle", dir_ / "nope", "--agent-url", "http://agents.example.org"},
       "cannot read bundle"},
      {"floor for a stub from before its slot",
       {"--bootstrap", dir_ / "keyed-before-rotation", "--agent-key", kTestKeyFile, "--agent-not-before", kEpoch},
       "has no room for a second --agent-key or --agent-not-before"},
  };
  // Every case packs over a good package, which must stay as it was.
  shellOrDie("cp '" + goodPackage + "' '" + dir_.path() + "/out.run'");
  std::vector<std::string> before = listDir(dir_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::map<std::string, std::string> given;
    for (size_t i = 0; i + 1 < c.args.size(); i += 2) given[c.args[i]] = c.args[i + 1];
    std::vector<std::string> args = c.args;
    const bool packing = given.count("--info") == 0;
    if (packing && given.count("--bootstrap") == 0)
      args.insert(args.end(), {"--bootstrap", bootstrapBinary()});
    if (packing && given.count("--bundle") == 0) args.insert(args.end(), {"--bundle", bundle});
    if (packing && given.count("-o") == 0) args.insert(args.end(), {"-o", dir_ / "out.run"});
    ProcessResult packed = pack(args, c.env, c.wrapper);
    EXPECT_EQ(1, packed.exitCode);
    EXPECT_EQ(0u, packed.err.find("kv-pack: ")) << packed.err;
    EXPECT_EQ(packed.err.size() - 1, packed.err.find('\n')) << "one line: " << packed.err;
    EXPECT_NE(std::string::npos, packed.err.find(c.fragment)) << packed.err;
    EXPECT_EQ("", packed.out);
    EXPECT_EQ(before, listDir(dir_.path())) << "no output and no temporary file";
    EXPECT_TRUE(readFile(dir_ / "out.run") == readFile(goodPackage)) << "the old output changed";
    EXPECT_EQ(std::vector<std::string>{}, listDir(dir_ / "out-dir"));
    expectNothingLeftInTmp();
  }
}

// Once installed, kv-pack finds the bootstrap without being told, the one
// for the architecture asked for.
TEST_F(PackTest, FindsTheBootstrapBesideItself) {
  const std::string x86 = bootstrapBinary();
  const std::string arm = aarch64Stub(dir_ / "aarch64-stub");
  const std::string x86Keyed = KV_KEYED_BOOTSTRAP_BIN;
  const std::string armKeyed = aarch64Stub(dir_ / "aarch64-keyed-stub", x86Keyed);
  const std::vector<std::pair<std::string, std::string>> installed = {
      {"prefix/lib/kv-bootstrap/kv-bootstrap", x86},
      {"prefix/lib/kv-bootstrap/kv-bootstrap-aarch64", arm},
      {"prefix/lib/kv-bootstrap/kv-bootstrap-keyed", x86Keyed},
      {"prefix/lib/kv-bootstrap/kv-bootstrap-keyed-aarch64", armKeyed}};
  // Where it looks, in which order, is in StubDiscoveryTest; here the
  // package starts with the stub found, its slots written.
  struct Case {
    std::string packAt, arch;
    std::vector<std::pair<std::string, std::string>> stubs;  ///< where, which
    std::string chosen;  ///< the stub the package starts with; empty: none is found
    std::string key = "";  ///< --agent-key
  } cases[] = {
      {"prefix/bin/kv-pack", "", installed, x86Keyed, kTestKeyFile},
      {"prefix/bin/kv-pack", "aarch64", installed, arm},
      {"lonely/kv-pack", "", {}, ""},
  };
  std::string bundle = makeBundleDir("b");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.packAt + " " + c.arch);
    std::string packCopy = dir_ / c.packAt;
    copyCreatingDirs(packBinary(), packCopy);
    for (const auto& [where, which] : c.stubs) copyCreatingDirs(which, dir_ / where);
    std::string output = dir_ / "out.run";
    unlink(output.c_str());
    std::vector<std::string> argv = {packCopy, "--bundle", bundle, "-o", output, "--agent-url", kClosedAgentUrl};
    if (!c.arch.empty()) argv.insert(argv.end(), {"--arch", c.arch});
    if (!c.key.empty()) argv.insert(argv.end(), {"--agent-key", c.key});
    ProcessResult packed = runProcess({argv, {{"TMPDIR", tmpDir()}}, {}, "", ""});
    if (c.chosen.empty()) {
      EXPECT_EQ(1, packed.exitCode);
      EXPECT_NE(std::string::npos, packed.err.find("--bootstrap")) << packed.err;
      EXPECT_FALSE(fileExists(output));
    } else {
      ASSERT_EQ(0, packed.exitCode) << packed.err;
      std::string bootstrap = withSizesOf(
          stubWithAgentUrl(c.chosen, kClosedAgentUrl, c.key.empty() ? "" : testKeyLine()), output);
      EXPECT_EQ(0, readFile(output).compare(0, bootstrap.size(), bootstrap));
    }
  }
}

// A package whose agent comes over plain http is made, with a warning,
// unless the agent is signed or the server is on the machine itself.
TEST_F(PackTest, PlainHttpAgentUrlIsPackedWithAWarning) {
  const std::string bundle = makeBundleDir("b");
  struct {
    std::string url;
    bool keyed;
    bool warned;
  } cases[] = {
      {"http://agents.example.org", false, true},
      {"HTTP://agents.example.org/dir", false, true},
      {"https://agents.example.org", false, false},
      {"http://agents.example.org", true, false},
      {"http://localhost:8080", false, false},
      {"http://127.0.0.1:9", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + (c.keyed ? " with a key" : ""));
    std::vector<std::string> args = {"--bundle", bundle, "-o", dir_ / "out.run", "--agent-url", c.url};
    if (c.keyed) args.insert(args.end(), {"--bootstrap", KV_KEYED_BOOTSTRAP_BIN, "--agent-key", kTestKeyFile});
    else args.insert(args.end(), {"--bootstrap", bootstrapBinary()});
    ProcessResult packed = pack(args);
    EXPECT_EQ(0, packed.exitCode) << packed.err;
    EXPECT_EQ(c.warned ? "kv-pack: warning: --agent-url " + c.url +
                             " is plain http: anyone on the network path can replace the agent; "
                             "prefer https://, or sign agents and give --agent-key\n"
                       : "",
              packed.err);
  }
}

// zip runs in the bundle directory (or in kv-pack's copy of it), kv-pack
// itself stays where it was started: paths relative to there, the agent's
// and the output's, are used again after the bundle is zipped.
TEST_F(PackTest, RelativePathsCountFromWhereItStarted) {
  makeBundleDir("b");
  makeAgent("agent.zip");
  for (const char* epoch : {"", "1700000000"}) {
    SCOPED_TRACE(epoch);
    unlink((dir_ / "out.run").c_str());
    Command command{{packBinary(), "--bootstrap", bootstrapBinary(), "--bundle", "b", "--agent",
                     "agent.zip", "-o", "out.run"},
                    {{"TMPDIR", tmpDir()}}, {}, dir_.path(), ""};
    if (*epoch != '\0')
      command.setEnv["SOURCE_DATE_EPOCH"] = epoch;
    else
      command.unsetEnv.push_back("SOURCE_DATE_EPOCH");
    ProcessResult packed = runProcess(command);
    ASSERT_EQ(0, packed.exitCode) << packed.err;
    ProcessResult listed = runTool({"/usr/bin/env", "unzip", "-Z1", dir_ / "out.run"});
    EXPECT_EQ("bundle.zip\nInstallAgent.zip\n", listed.out) << listed.err;
    EXPECT_EQ((std::vector<std::string>{"app", "empty", kOddName, "star*.txt"}), listDir(dir_ / "b"));
  }
  expectNothingLeftInTmp();
}

TEST_F(PackTest, OutputIsExecutableAsTheUmaskAllows) {
  std::string bundle = makeBundleDir("b");
  struct Case {
    const char* umask;
    mode_t mode;
  } cases[] = {{"022", 0755}, {"077", 0700}, {"002", 0775}};
  for (const Case& c : cases) {
    std::string output = dir_ / "out.run";
    unlink(output.c_str());
    ProcessResult packed = runProcess(
        {{"/bin/sh", "-c", std::string("umask ") + c.umask + " && exec \"$@\"", "sh", packBinary(),
          "--bootstrap", bootstrapBinary(), "--bundle", bundle, "-o", output, "--agent-url",
          kClosedAgentUrl},
         {{"TMPDIR", tmpDir()}},
         {},
         "",
         ""});
    ASSERT_EQ(0, packed.exitCode) << packed.err;
    struct stat status;
    ASSERT_EQ(0, stat(output.c_str(), &status));
    EXPECT_EQ(c.mode, status.st_mode & 07777) << "umask " << c.umask;
  }
}

// ZIP64 records, reached by lowering the limit where they begin (packing in
// this process): from every member size and offset, from the central
// directory only, and from the second member's offset on.
TEST_F(PackTest, Zip64RecordsReadBackIntact) {
  std::string bundle = dir_ / "bundle.zip";
  makeInfoZip(makeBundleDir("b"), bundle);
  std::string agent = makeAgent("agent.zip");
  size_t image = readFile(bootstrapBinary()).size();
  size_t bundleSize = readFile(bundle).size();
  for (size_t threshold : {size_t{1}, image + bundleSize + 200, image + 100}) {
    SCOPED_TRACE(threshold);
    std::string output = dir_ / "out.run";
    PackOptions options;
    options.bootstrap = bootstrapBinary();
    options.bundle = bundle;
    options.agent = agent;
    options.output = output;
    options.zip64Threshold = threshold;
    std::string err;
    ASSERT_TRUE(packPackage(options, &err)) << err;
    std::string tail = readFile(output);
    tail = tail.substr(tail.size() - 22 - 20 - 56);
    EXPECT_EQ(0u, tail.find("PK\x06\x06")) << "ZIP64 end record, locator, end record";

    ProcessResult read = runTool({"/usr/bin/env", "python3", "-c",
                                  "import sys, zipfile\n"
                                  "z = zipfile.ZipFile(sys.argv[1])\n"
                                  "assert z.testzip() is None\n"
                                  "print(' '.join(i.filename for i in z.infolist()))\n"
                                  "sys.stdout.flush()\n"
                                  "assert z.read('bundle.zip') == open(sys.argv[2], 'rb').read()\n",
                                  output, bundle});
    EXPECT_EQ(0, read.exitCode) << read.err;
    EXPECT_EQ("bundle.zip InstallAgent.zip\n", read.out);
    ScopedTempDir unpacked;
    ProcessResult extracted =
        runTool({"/usr/bin/env", "unzip", "-qq", output, "-d", unpacked.path()});
    EXPECT_EQ(0, extracted.exitCode) << extracted.err;
    EXPECT_TRUE(readFile(bundle) == readFile(unpacked / "bundle.zip"));
  }
}

// One field of /proc/PID/status, such as "State" or "ShdPnd"; empty once the
// process is gone.
std::string statusField(const std::string& pid, const std::string& name) {
  std::istringstream status(readFile("/proc/" + pid + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, name.size() + 1, name + ":") == 0) return line.substr(name.size() + 2);
  return "";
}

// A stopped run removes its staging directory and half-written package, then
// ends by the signal it got: sent to kv-pack, to its whole group as Ctrl-C
// does, or to zip alone. Under nohup a hangup changes nothing. A zip held
// up (stopped here) still learns at once that kv-pack was stopped.
TEST_F(PackTest, StoppedRunLeavesNothingBehind) {
  std::string bundle = dir_ / "big";
  shellOrDie("mkdir '" + bundle + "' && head -c 48M /dev/urandom > '" + bundle + "/noise'");
  std::string output = dir_ / "out.run";
  enum Target { kPack, kGroup, kZip, kPackWhileZipHeld };
  struct Case {
    const char* what;
    int signo;
    Target target;
    bool nohup;
  } cases[] = {
      {"SIGTERM to kv-pack", SIGTERM, kPack, false},
      {"Ctrl-C", SIGINT, kGroup, false},
      {"SIGQUIT to zip alone", SIGQUIT, kZip, false},
      {"hangup under nohup", SIGHUP, kGroup, true},
      {"SIGTERM to kv-pack while zip is held up", SIGTERM, kPackWhileZipHeld, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // No core file for SIGQUIT, whatever the machine's limit.
    std::vector<std::string> argv = {"/bin/sh", "-c", "ulimit -c 0 && exec \"$@\"", "sh"};
    if (c.nohup) argv.emplace_back("/usr/bin/nohup");
    argv.insert(argv.end(), {packBinary(), "--level", "9", "--bootstrap", bootstrapBinary(),
                             "--bundle", bundle, "-o", output, "--agent-url", kClosedAgentUrl});
    int pid = startProcess({argv, {{"TMPDIR", tmpDir()}}, {"SOURCE_DATE_EPOCH"}, "", ""});
    // Wait until zip is at work in the staging directory.
    const std::string findZip = "pgrep -g " + std::to_string(pid) + " -x zip || true";
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    std::vector<std::string> staging;
    std::string zip;
    while (std::chrono::steady_clock::now() < deadline) {
      staging = listDir(tmpDir());
      zip = shellOrDie(findZip);
      if (!staging.empty() && listDir(tmpDir() + "/" + staging[0]).size() >= 2 && !zip.empty())
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(1u, staging.size());
    ASSERT_FALSE(zip.empty()) << "zip never ran";
    if (c.target == kPackWhileZipHeld) {
      // Stopped first, so that kv-pack's SIGTERM stays pending where it can be seen.
      zip.pop_back();
      kill(std::stoi(zip), SIGSTOP);
      EXPECT_TRUE(
          waitUntil([&] { return statusField(zip, "State").compare(0, 1, "T") == 0; }, 30000));
      kill(pid, c.signo);
      EXPECT_TRUE(waitUntil(
          [&] {
            const std::string pending = statusField(zip, "ShdPnd");
            return !pending.empty() && (std::stoull(pending, nullptr, 16) >> (SIGTERM - 1)) & 1;
          },
          30000))
          << "kv-pack did not stop zip";
      kill(std::stoi(zip), SIGCONT);
    } else {
      kill(c.target == kPack ? pid : c.target == kGroup ? -pid : std::stoi(zip), c.signo);
    }
    ProcessResult ended = waitProcess(pid);
    expectNothingLeftInTmp();
    if (c.nohup) {
      EXPECT_EQ(0, ended.exitCode) << "signal " << ended.termSignal;
      EXPECT_EQ((std::vector<std::string>{"big", "out.run", "tmp"}), listDir(dir_.path()));
      EXPECT_EQ(0, runTool({"/usr/bin/env", "unzip", "-tqq", output}).exitCode);
      unlink(output.c_str());
    } else {
      EXPECT_EQ(c.signo, ended.termSignal) << "exit code " << ended.exitCode;
      EXPECT_EQ((std::vector<std::string>{"big", "tmp"}), listDir(dir_.path()));
    }
  }
}

// kv-pack --info on real packages and stubs, against readelf and unzip as
// independent readers of the same files.
TEST_F(PackTest, InfoTellsWhatAPackageOrStubHolds) {
  std::string bundle = makeBundleDir("b");
  std::string withAgent = dir_ / "with-agent.run", withoutAgent = dir_ / "without-agent.run";
  ASSERT_EQ(0, pack({"--bootstrap", bootstrapBinary(), "--bundle", bundle, "--agent",
                     makeAgent("InstallAgent_2.1.zip"), "-o", withAgent})
                   .exitCode);
  ASSERT_EQ(0, pack({"--bootstrap", bootstrapBinary(), "--bundle", bundle, "-o", withoutAgent})
                   .exitCode);
  // As another packer might make one: both agent names, the fixed one last.
  shellOrDie("mkdir '" + dir_.path() + "/hand' && cd '" + dir_.path() +
             "/hand' && echo x > bundle.zip && echo x > InstallAgent_1.zip && echo x > "
             "InstallAgent.zip && zip -q ../hand.zip bundle.zip InstallAgent_1.zip "
             "InstallAgent.zip && cat '" +
             bootstrapBinary() + "' ../hand.zip > ../hand.run && cp ../hand.run ../unadjusted.run" +
             " && zip -q -A ../hand.run");
  shellOrDie("printf 'PK\\005\\006' | cat '" + bootstrapBinary() + "' - > '" + dir_.path() +
             "/empty.run' && head -c 18 /dev/zero >> '" + dir_.path() + "/empty.run'");
  std::string damaged = readFile(withoutAgent);
  damaged[readFile(bootstrapBinary()).size() + 100] ^= 0x55;  // in bundle.zip's stored bytes
  writeFile(dir_ / "damaged.run", damaged, 0755);
  // A download that got more than the package: unzip passes it all the same.
  writeFile(dir_ / "grown.run", readFile(withoutAgent) + std::string(100, 'x'), 0755);
  std::string laterFormat = changedStub(dir_ / "later-format-stub", kRecordFormatAndOwner,
                                        std::string("\x03\0\0\0kv-bootstrap\0", 17));
  std::string keyed = dir_ / "keyed.run";
  ASSERT_EQ(0, pack({"--bundle", bundle, "--agent-url", "https://agents.example.org/kv/",
                     "--agent-key", kTestKeyFile, "-o", keyed, "--bootstrap", KV_KEYED_BOOTSTRAP_BIN})
                   .exitCode);
  std::string aarch64 = aarch64Stub(dir_ / "aarch64-stub");
  std::string rotation = dir_ / "rotation.run";
  ASSERT_EQ(0, pack({"--bundle", bundle, "--agent-url", "https://agents.example.org/kv/", "--agent-key",
                     kTestKeyFile, "--agent-key", kOtherKeyLine, "--agent-not-before", kEpoch, "-o", rotation,
                     "--bootstrap", KV_KEYED_BOOTSTRAP_BIN})
                   .exitCode);
  std::string beforeRotation = keyedStubBeforeRotation(dir_ / "keyed-before-rotation");
  std::string withoutPlatform = stubWithoutPlatform(dir_ / "stub-without-platform");
  EXPECT_EQ(0, pack({"--bootstrap", withoutPlatform, "--bundle", bundle, "-o", dir_ / "old.run"})
                   .exitCode);
  std::string formatOne = formatOneStub(dir_ / "format-1-stub");
  EXPECT_EQ(0, pack({"--bootstrap", formatOne, "--bundle", bundle, "--agent", makeAgent("agent.zip"), "-o",
                     dir_ / "oldest.run"})
                   .exitCode);
  std::string keylessSlot = dir_ / "keyless-slot-stub";
  writeFile(keylessSlot, stubWithAgentUrl(bootstrapBinary(), "https://a.example", std::string(56, 'A')), 0755);

  const std::string kDownloaded = "none in the package: downloaded from the agent base URL";
  struct Case {
    std::string what, file, stub;
    std::vector<std::string> members;
    std::string agent, unzipTest;  ///< no unzip -t line: a bare stub
    std::string record;  ///< the "record" line when the record cannot be read
    std::string error;   ///< part of the one line on standard error; none: status 0
    std::string url = withoutTrailingSlashes(KV_AGENT_BASE_URL), keyId = "none", check = "none";
    std::string secondKeyId = "", notBefore = "none";
    std::string platform = kPlatformTag;
    std::string format = "2", version = KV_VERSION;
  };
  std::vector<Case> cases = {
      {"bare stub", bootstrapBinary(), bootstrapBinary(), {}, "", "", "", ""},
      {"stub for aarch64", aarch64, aarch64, {}, "", "", "", ""},
      {"keyed stub without a key", KV_KEYED_BOOTSTRAP_BIN, KV_KEYED_BOOTSTRAP_BIN, {}, "", "", "", "",
       withoutTrailingSlashes(KV_AGENT_BASE_URL), "none", "ed25519"},
      {"stub from before the platform field", withoutPlatform, withoutPlatform, {}, "", "", "", ""},
      {"stub of format 1", formatOne, formatOne, {}, "", "", "", "", "https://old.example/kv", "none", "none",
       "", "none", kPlatformTag, "1", "0.8"},
      {"stub whose key slot holds no minisign key", keylessSlot, keylessSlot, {}, "", "", "damaged",
       "damaged stub record"},
      {"package with a versioned agent",
       withAgent,
       bootstrapBinary(),
       {"bundle.zip", "InstallAgent_2.1.zip"},
       "InstallAgent_2.1.zip, in the package",
       "passes",
       "",
       ""},
      {"package without an agent", withoutAgent, bootstrapBinary(), {"bundle.zip"}, kDownloaded,
       "passes", "", "", kClosedAgentUrl},
      {"package with its server and key", keyed, KV_KEYED_BOOTSTRAP_BIN, {"bundle.zip"}, kDownloaded,
       "passes", "", "", "https://agents.example.org/kv", testKeyId(), "ed25519"},
      {"package with two keys and a floor", rotation, KV_KEYED_BOOTSTRAP_BIN, {"bundle.zip"}, kDownloaded,
       "passes", "", "", "https://agents.example.org/kv", testKeyId(), "ed25519", "0807060504030201",
       "2023-11-14 22:13:20 UTC"},
      {"keyed stub from before the rotation's slots", beforeRotation, beforeRotation, {}, "", "", "", "",
       withoutTrailingSlashes(KV_AGENT_BASE_URL), "none", "ed25519"},
      {"package from another packer",
       dir_ / "hand.run",
       bootstrapBinary(),
       {"bundle.zip", "InstallAgent_1.zip", "InstallAgent.zip"},
       "InstallAgent.zip, in the package",
       "passes",
       "",
       ""},
      {"package whose offsets leave out the stub",
       dir_ / "unadjusted.run",
       bootstrapBinary(),
       {"bundle.zip", "InstallAgent_1.zip", "InstallAgent.zip"},
       "InstallAgent.zip, in the package",
       "fails",
       "",
       "extra bytes at beginning"},
      {"package with an empty archive", dir_ / "empty.run", bootstrapBinary(), {}, kDownloaded,
       "fails", "", "does not pass unzip's test"},
      {"damaged package", dir_ / "damaged.run", bootstrapBinary(), {"bundle.zip"}, kDownloaded,
       "fails", "", "bad CRC", kClosedAgentUrl},
      {"package with bytes appended", dir_ / "grown.run", bootstrapBinary(), {"bundle.zip"},
       kDownloaded, "passes", "", "was packed with", kClosedAgentUrl},
      {"program that is no stub", packBinary(), packBinary(), {}, "", "", "none",
       "is not a kv-bootstrap stub"},
      {"stub record of a later format", laterFormat, laterFormat, {}, "", "",
       "format 3, which this kv-pack cannot read", "record of format 3"},
  };
  // The aarch64 stub that vendors ship, in an arm64 package: vendors name
  // their agent files after its platform.
  if (KV_STUB_IS_PORTABLE) {
    const std::string arm = dir_ / "arm.run";
    ASSERT_EQ(0, pack({"--bootstrap", KV_STUB_AARCH64_BIN, "--arch", "aarch64", "--bundle", bundle, "--agent",
                       makeAgent("agent.zip"), "-o", arm})
                     .exitCode);
    cases.push_back({"arm64 package", arm, KV_STUB_AARCH64_BIN, {"bundle.zip", "InstallAgent.zip"},
                     "InstallAgent.zip, in the package", "passes", "", ""});
    cases.back().platform = "tuxarm64le";
    EXPECT_EQ(cases.back().platform, kArches[1].platformTag) << "kv-pack's table";
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProcessResult info = pack({"--info", c.file});
    if (c.error.empty()) {
      EXPECT_EQ(0, info.exitCode);
      EXPECT_EQ("", info.err);
    } else {
      EXPECT_EQ(1, info.exitCode);
      EXPECT_EQ(0u, info.err.find("kv-pack: ")) << info.err;
      EXPECT_EQ(info.err.size() - 1, info.err.find('\n')) << "one line: " << info.err;
      EXPECT_NE(std::string::npos, info.err.find(c.error)) << info.err;
    }
    std::vector<std::pair<std::string, std::string>> lines;
    std::istringstream text(info.out);
    for (std::string line; std::getline(text, line);) {
      size_t value = line.find_first_not_of(' ', line.find("  "));
      EXPECT_EQ(17u, value) << "aligned: " << line;
      lines.emplace_back(line.substr(0, line.find("  ")), line.substr(std::min(value, line.size())));
    }
    auto all = [&lines](const std::string& label) {
      std::vector<std::string> values;
      for (const auto& [name, value] : lines)
        if (name == label) values.push_back(value);
      return values;
    };
    auto one = [&all](const std::string& label) {
      std::vector<std::string> values = all(label);
      EXPECT_EQ(1u, values.size()) << label;
      return values.empty() ? "" : values[0];
    };

    if (c.record.empty()) {
      EXPECT_EQ(c.format, one("record format"));
      EXPECT_EQ(c.version, one("version"));
      EXPECT_EQ(c.url, one("agent base URL"));
      std::vector<std::string> keyIds = {c.keyId};
      if (!c.secondKeyId.empty()) keyIds.push_back(c.secondKeyId);
      EXPECT_EQ(keyIds, all("signing key"));
      EXPECT_EQ(c.notBefore, one("not before"));
      EXPECT_EQ(c.check, one("signature check"));
      EXPECT_EQ(c.stub == withoutPlatform || c.stub == formatOne ? "not recorded" : c.platform, one("platform"));
      // What the server must serve: the agent for the stub's platform (from its
      // machine when it records none), and its signature for a key.
      const std::string url = c.url + agentFileFor(c.platform);
      EXPECT_EQ(url, one("agent URL"));
      EXPECT_EQ(c.keyId == "none" ? std::vector<std::string>{} : std::vector<std::string>{url + ".minisig"},
                all("signature URL"));
    } else {
      EXPECT_EQ(c.record, one("record"));
    }
    size_t stubSize = readFile(c.stub).size();
    EXPECT_EQ(std::to_string(stubSize) + " bytes", one("stub size"));
    auto sha256 = [](const std::string& path, size_t bytes) {
      return shellOrDie("head -c " + std::to_string(bytes) + " '" + path + "' | sha256sum").substr(0, 64);
    };
    EXPECT_EQ(sha256(c.file, stubSize), one("stub SHA-256")) << "the stub as the file holds it";
    std::string machine = shellOrDie("readelf -hW '" + c.stub + "' | sed -n 's/ *Machine: *//p'");
    if (machine == "AArch64\n") machine = "aarch64";
    if (machine == "Advanced Micro Devices X86-64\n") machine = "x86-64";
    EXPECT_EQ(machine, one("machine"));
    EXPECT_EQ(shellOrDie("readelf -dW '" + c.stub +
                         "' | sed -n 's/.*Shared library: \\[\\(.*\\)\\]/\\1/p' | paste -sd ' '"),
              one("needs libraries") + "\n");
    EXPECT_EQ(shellOrDie("readelf -VW '" + c.stub +
                         "' | grep -o 'Name: GLIBC_[0-9.]*' | cut -c13- | sort -V | tail -n 1 | sed 's/$/ or later/'"),
              one("needs glibc") + "\n");

    if (c.unzipTest.empty()) {
      EXPECT_EQ("none", one("archive"));
      EXPECT_EQ(std::vector<std::string>{}, all("unzip -t"));
      EXPECT_EQ(std::vector<std::string>{}, all("package SHA-256"));
    } else {
      EXPECT_EQ(std::to_string(readFile(c.file).size() - stubSize) + " bytes", one("archive"));
      EXPECT_EQ(sha256(c.file, readFile(c.file).size()), one("package SHA-256"));
      EXPECT_EQ(c.members, all("member"));
      EXPECT_EQ(c.agent, one("agent"));
      EXPECT_EQ(c.unzipTest, one("unzip -t"));
      // The sizes kv-pack recorded: none in a package that another packer
      // made; a file of another length than kv-pack wrote is told so.
      const bool handMade = c.file == dir_ / "hand.run" || c.file == dir_ / "unadjusted.run" ||
                            c.file == dir_ / "empty.run";
      const bool lengthChanged = c.file == dir_ / "grown.run";
      const std::string written = lengthChanged ? withoutAgent : c.file;
      std::string length = std::to_string(readFile(written).size()) + " bytes";
      if (lengthChanged) length += ", but the file has " + std::to_string(readFile(c.file).size());
      const std::string unpacked = shellOrDie("unzip -Zt '" + written + "' | cut -d' ' -f3");
      EXPECT_EQ(handMade ? "not recorded" : length, one("package length"));
      EXPECT_EQ(handMade ? "not recorded" : unpacked.substr(0, unpacked.find('\n')) + " bytes",
                one("unpacked size"));
    }
    expectNothingLeftInTmp();
  }
}

}  // namespace
