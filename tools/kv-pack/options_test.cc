#include "tools/kv-pack/options.h"

#include <ctime>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "formats/arch.h"
#include "formats/minisig.h"
#include "tests/test_util.h"

namespace {

// readFlags() on "kv-pack" and args.
bool read(std::vector<std::string> args, Flags* flags, std::string* err) {
  args.insert(args.begin(), "kv-pack");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  *flags = Flags();
  err->clear();
  return readFlags(static_cast<int>(args.size()), argv.data(), flags, err);
}

const std::string kKeyFile = std::string(KV_TEST_KEY_DIR) + "/agent.pub";
// A file of text that is no key.
const std::string kNotAKeyFile = std::string(KV_SOURCE_DIR) + "/LICENSE";
// Another key's line: "Ed", the id 01 ... 08 and a key of zeros.
const std::string kOtherKeyLine = "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";

// A signature file that parses, with the trusted comment given; its
// signatures are zeros, which kv-pack does not check.
std::string signatureFileWith(const std::string& trustedComment) {
  return "untrusted comment: x\n" + std::string(99, 'A') + "=\ntrusted comment: " + trustedComment +
         "\n" + std::string(86, 'A') + "==\n";
}

}  // namespace

TEST(OptionsTest, EachWrongCommandLineIsOneLineAtItsFirstFault) {
  const std::vector<std::string> package = {"--bundle", "b", "-o", "out.run"};
  ScopedTempDir dir;
  writeFile(dir / "own-comment.minisig", signatureFileWith("my comment\ttimestamp:1700000000"));
  const std::string keyLine = testKeyLine();
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), package.begin(), package.end());
    return args;
  };
  struct {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"--compress"}, "unknown option or missing value: --compress (see kv-pack --help)"},
      {{"--bundle"}, "unknown option or missing value: --bundle (see kv-pack --help)"},
      {{"--bundle", "b", "-o", "x", "extra"}, "unexpected argument extra (see kv-pack --help)"},
      {{"-o", "x"}, "no bundle given (--bundle DIR|ZIP)"},
      {{"--bundle", "b"}, "no output given (-o OUTPUT)"},
      {with({"--level", "10"}), "--level takes a digit from 0 to 9, not \"10\""},
      {with({"--level", ""}), "--level takes a digit from 0 to 9, not \"\""},
      {with({"--arch", "arm64"}), "--arch takes x86-64 or aarch64, not \"arm64\""},
      {{"--info", "p", "--bundle", "b"}, "--info takes no other option (see kv-pack --help)"},
      {{"--info", "p", "--arch", "aarch64"}, "--info takes no other option (see kv-pack --help)"},
      {with({"--agent-url", "ftp://example.org"}),
       "--agent-url \"ftp://example.org\" does not start with http:// or https:// (it takes http:// "
       "or https:// and a host)"},
      {with({"--agent-url", "https:///agent"}),
       "--agent-url \"https:///agent\" has no host (it takes http:// or https:// and a host)"},
      {with({"--agent-url", "https://[]/"}),
       "--agent-url \"https://[]/\" has no host (it takes http:// or https:// and a host)"},
      {with({"--agent-url", "https://example.org/a b"}),
       "--agent-url \"https://example.org/a b\" holds a blank or a control byte (it takes http:// "
       "or https:// and a host)"},
      {with({"--agent-url", "https://a.example/" + std::string(256 - 18, 'x')}),
       "--agent-url is 256 bytes long; the stub has room for 255"},
      {with({"--agent-key", std::string(56, 'A')}),
       "--agent-key " + std::string(56, 'A') +
           ": its key is not an Ed25519 key (a minisign key line starts with RW)"},
      {with({"--agent-key", "/no/such.pub"}),
       "--agent-key /no/such.pub: cannot read it: No such file or directory"},
      {with({"--agent-key", kNotAKeyFile}),
       "--agent-key " + kNotAKeyFile +
           ": it is neither a minisign.pub file nor its key line (56 base64 characters, starting with RW)"},
      // A second value would replace the first without a word.
      {with({"--agent-url", "https://a.example", "--agent-url", "https://b.example"}),
       "--agent-url is given twice; it takes one value (see kv-pack --help)"},
      {{"--bundle", "b", "-o", "x", "--output", "y"}, "-o is given twice; it takes one value (see kv-pack --help)"},
      {{"--info", "p", "--info", "q"}, "--info is given twice; it takes one value (see kv-pack --help)"},
      {with({"--level", "1", "--level", "1"}), "--level is given twice; it takes one value (see kv-pack --help)"},
      // The agent's name follows the base: in a query, or after a fragment,
      // it would never reach the server's path.
      {with({"--agent-url", "https://example.org/kv?x=1"}),
       "--agent-url \"https://example.org/kv?x=1\" has a query or a fragment (? or #), which the "
       "agent's file name would follow (it takes http:// or https:// and a host)"},
      {with({"--agent-url", "https://example.org/#kv"}),
       "--agent-url \"https://example.org/#kv\" has a query or a fragment (? or #), which the "
       "agent's file name would follow (it takes http:// or https:// and a host)"},
      // Two keys rotate; a third, or the same one again, is a mistake.
      {with({"--agent-key", kKeyFile, "--agent-key", kOtherKeyLine, "--agent-key", "x"}),
       "--agent-key is given a third time; a package takes two keys at most, the old and the new "
       "one of a rotation"},
      {with({"--agent-key", kKeyFile, "--agent-key", keyLine}),
       "--agent-key " + keyLine + " is the key given before; a rotation takes two different keys"},
      {with({"--agent-not-before", "1700000000"}),
       "--agent-not-before needs --agent-key: only signed agents have a signing time"},
      {with({"--agent-not-before", "1700000000", "--agent-not-before", "1700000000"}),
       "--agent-not-before is given twice; it takes one value (see kv-pack --help)"},
      {with({"--agent-not-before", "2026-03-17"}),
       "--agent-not-before 2026-03-17 is neither seconds since 1970 nor a file that can be read: No "
       "such file or directory"},
      {with({"--agent-not-before", std::string(19, '1')}),
       "--agent-not-before " + std::string(19, '1') +
           " is neither seconds since 1970 nor a file that can be read: No such file or directory"},
      {with({"--agent-not-before", kKeyFile}),
       "--agent-not-before " + kKeyFile + ": the signature file has 2 lines instead of 4"},
      {with({"--agent-not-before", dir / "own-comment.minisig"}),
       "--agent-not-before " + (dir / "own-comment.minisig") +
           ": its trusted comment starts with no timestamp (minisign -t replaced it)"},
      {with({"--agent-url", "https://a.example/\x7f"}),
       "--agent-url \"https://a.example/\x7f\" holds a blank or a control byte (it takes http:// or "
       "https:// and a host)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    Flags flags;
    std::string err;
    EXPECT_FALSE(read(c.args, &flags, &err));
    EXPECT_EQ(c.err, err);
  }
}

TEST(OptionsTest, WhatACommandLineAsksFor) {
  Flags flags;
  std::string err;
  ASSERT_TRUE(read({"--bundle", "b", "-o", "out", "--info", "x", "--help"}, &flags, &err)) << err;
  EXPECT_EQ(Flags::Action::kHelp, flags.action) << "--help as soon as it is met";
  ASSERT_TRUE(read({"--bundle", "b", "--version", "--bundle", "c"}, &flags, &err)) << err;
  EXPECT_EQ(Flags::Action::kVersion, flags.action) << "--version as soon as it is met";
  ASSERT_TRUE(read({"--info", "p.run"}, &flags, &err)) << err;
  EXPECT_EQ(Flags::Action::kInfo, flags.action);
  EXPECT_EQ("p.run", flags.infoPath);

  const std::string base = "https://agents.example.org/kv";
  ASSERT_TRUE(read({"--arch", "aarch64", "--bootstrap", "s", "--bundle", "b", "--agent", "a.zip",
                    "--agent-url", base + "//", "--agent-key", kKeyFile, "--level", "0",
                    "--output", "out.run"},
                   &flags, &err))
      << err;
  EXPECT_EQ(Flags::Action::kPack, flags.action);
  const PackOptions& pack = flags.pack;
  EXPECT_STREQ("aarch64", pack.arch->name);
  EXPECT_EQ("s", pack.bootstrap);
  EXPECT_EQ("b", pack.bundle);
  EXPECT_EQ("a.zip", pack.agent);
  EXPECT_EQ(base, pack.agentUrl) << "trailing slashes dropped";
  ASSERT_EQ(1u, pack.agentKeys.size());
  EXPECT_EQ(56u, pack.agentKeys[0].size()) << "the key line of minisign.pub";
  EXPECT_EQ(std::nullopt, pack.agentNotBefore);
  EXPECT_EQ(0, pack.level);
  EXPECT_EQ("out.run", pack.output);

  ASSERT_TRUE(read({"--agent-key", testKeyLine(), "--bundle", "b", "-o", "o"}, &flags, &err)) << err;
  EXPECT_EQ(std::vector<std::string>{testKeyLine()}, flags.pack.agentKeys) << "the key line itself";
  ASSERT_TRUE(read({"--bundle", "b", "-o", "o"}, &flags, &err)) << err;
  EXPECT_STREQ("x86-64", flags.pack.arch->name) << "the default";
  EXPECT_EQ(-1, flags.pack.level) << "zip's own default";
  const std::string longest = "https://a.example/" + std::string(255 - 18, 'x');
  ASSERT_TRUE(read({"--agent-url", longest, "--bundle", "b", "-o", "o"}, &flags, &err)) << err;
  EXPECT_EQ(longest, flags.pack.agentUrl) << "255 bytes, the slot's room but its NUL";
}

TEST(OptionsTest, HelpTellsEveryOptionAndRule) {
  const std::string help = helpText();
  for (const char* word : {"--bootstrap", "--bundle", "--agent", "--level", "-o", "--info",
                           "SOURCE_DATE_EPOCH", "InstallAgent_", "Exit status"})
    EXPECT_NE(std::string::npos, help.find(word)) << word;
  // A line wider than a terminal breaks in the middle of an option's text.
  std::istringstream lines(help);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
  // The help is written by hand; the table of architectures is what kv-pack
  // does. Every architecture and every place its stubs are looked for must be
  // in the text (keyed stubs by what sets their names apart).
  const size_t arch = help.find("\n  --arch ARCH");
  const size_t bootstrap = help.find("\n  --bootstrap FILE");
  const size_t bundle = help.find("\n  --bundle DIR|ZIP");
  ASSERT_LT(arch, bootstrap);
  ASSERT_LT(bootstrap, bundle);
  const std::string archText = help.substr(arch, bootstrap - arch);
  const std::string stubsText = help.substr(bootstrap, bundle - bootstrap);
  const std::string kStubPrefix = "kv-bootstrap";
  for (const Arch& each : kArches) {
    SCOPED_TRACE(each.name);
    EXPECT_NE(std::string::npos, archText.find(each.name)) << archText;
    for (const std::string& text :
         {std::string(each.stubName), std::string(each.stubBuildDir) + "/",
          std::string(each.keyedStubBuildDir) + "/",
          std::string(each.keyedStubName).substr(kStubPrefix.size())})
      EXPECT_NE(std::string::npos, stubsText.find(text)) << text;
  }
  EXPECT_NE(std::string::npos, archText.find(std::string(defaultArch().name) + " (the default)"));
}

// A rotation's two keys, in their order, and a floor given as seconds or
// taken from a signature minisign made, which is the usual way to say "this
// agent or later".
TEST(OptionsTest, RotationKeysAndFloorAreTaken) {
  ScopedTempDir dir;
  writeFile(dir / "agent.zip", "agent\n");
  const int64_t before = time(nullptr);
  shellOrDie("minisign -S -s " KV_TEST_KEY_DIR "/agent.key -m " + (dir / "agent.zip") + " >/dev/null");
  const int64_t now = time(nullptr), day = 24 * 60 * 60;
  for (const std::string& floor : {std::string("1700000000"), std::to_string(now + day - 60),
                                   std::to_string(now + day + 60), dir / "agent.zip.minisig"}) {
    SCOPED_TRACE(floor);
    Flags flags;
    std::string err;
    const bool taken = read({"--agent-key", kKeyFile, "--agent-key", kOtherKeyLine, "--agent-not-before", floor,
                             "--bundle", "b", "-o", "o"},
                            &flags, &err);
    // A floor after tomorrow would refuse every agent signed until then.
    if (floor == std::to_string(now + day + 60)) {
      EXPECT_FALSE(taken);
      EXPECT_EQ(0u, err.find("--agent-not-before " + floor + " is " + utcTimeText(now + day + 60) +
                             ", more than a day after this machine's clock ("))
          << err;
      continue;
    }
    ASSERT_TRUE(taken) << err;
    EXPECT_EQ((std::vector<std::string>{testKeyLine(), kOtherKeyLine}), flags.pack.agentKeys);
    if (floor[0] != '/') EXPECT_EQ(std::stoll(floor), flags.pack.agentNotBefore);
    else EXPECT_TRUE(before <= *flags.pack.agentNotBefore && *flags.pack.agentNotBefore <= now);
  }
}
