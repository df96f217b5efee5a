#include "tools/kv-pack/stub_discovery.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/test_util.h"
#include "tools/kv-pack/options.h"

// Where kv-pack looks for the bootstrap when none is named: beside itself as
// installed, in a build tree, then the host-built one, whose machine decides.
TEST(StubDiscoveryTest, FirstPlaceThatHoldsAProgramForTheArchitecture) {
  const std::string x86 = readFile(bootstrapBinary());
  std::string arm = x86;
  arm[18] = '\xb7';  // EM_AARCH64 in the ELF header: an aarch64 stub as far as the search can tell
  arm[19] = '\0';
  const Arch& aarch64 = *archNamed("aarch64");
  struct {
    std::string what;
    std::vector<std::string> files;  // below the tree: copies of the x86-64 bootstrap, or "arm:" ones
    const Arch& arch;
    bool keyed;
    std::string found;  // below the tree; "" for none
  } cases[] = {
      {"nothing", {}, defaultArch(), false, ""},
      {"the host-built one", {"bin/kv-bootstrap"}, defaultArch(), false, "bin/kv-bootstrap"},
      {"a build tree's shipped stub before the host-built one",
       {"bin/stub/kv-bootstrap", "bin/kv-bootstrap"}, defaultArch(), false, "bin/stub/kv-bootstrap"},
      {"installed before all", {"lib/kv-bootstrap/kv-bootstrap", "bin/stub/kv-bootstrap"},
       defaultArch(), false, "bin/../lib/kv-bootstrap/kv-bootstrap"},
      {"the keyed one for a key", {"bin/kv-bootstrap", "bin/stub-keyed/kv-bootstrap"}, defaultArch(),
       true, "bin/stub-keyed/kv-bootstrap"},
      {"a host-built one of another machine", {"bin/kv-bootstrap"}, aarch64, false, ""},
      {"another machine's stub under aarch64's own name",
       {"lib/kv-bootstrap/kv-bootstrap-keyed-aarch64"}, aarch64, true, ""},
      {"installed, keyed", {"lib/kv-bootstrap/kv-bootstrap", "lib/kv-bootstrap/kv-bootstrap-keyed"},
       defaultArch(), true, "bin/../lib/kv-bootstrap/kv-bootstrap-keyed"},
      {"installed for aarch64", {"lib/kv-bootstrap/kv-bootstrap", "arm:lib/kv-bootstrap/kv-bootstrap-aarch64"},
       aarch64, false, "bin/../lib/kv-bootstrap/kv-bootstrap-aarch64"},
      {"installed for aarch64, keyed",
       {"arm:lib/kv-bootstrap/kv-bootstrap-aarch64", "arm:lib/kv-bootstrap/kv-bootstrap-keyed-aarch64"}, aarch64,
       true, "bin/../lib/kv-bootstrap/kv-bootstrap-keyed-aarch64"},
      {"a build tree's aarch64 stub", {"bin/kv-bootstrap", "arm:bin/stub-aarch64/kv-bootstrap"}, aarch64, false,
       "bin/stub-aarch64/kv-bootstrap"},
      {"a build tree's keyed aarch64 stub", {"arm:bin/stub-keyed-aarch64/kv-bootstrap"}, aarch64, true,
       "bin/stub-keyed-aarch64/kv-bootstrap"},
      {"only the small one for a key", {"bin/kv-bootstrap", "bin/stub/kv-bootstrap"}, defaultArch(), true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedTempDir tree;
    for (std::string file : c.files) {
      const bool isArm = file.compare(0, 4, "arm:") == 0;
      if (isArm) file.erase(0, 4);
      shellOrDie("mkdir -p \"$(dirname '" + tree / file + "')\"");
      writeFile(tree / file, isArm ? arm : x86, 0755);
    }
    shellOrDie("mkdir -p '" + tree / "bin" + "'");
    std::string tried;
    const std::string found = findDefaultBootstrap(c.arch, c.keyed, tree / "bin/", &tried);
    EXPECT_EQ(c.found.empty() ? "" : tree / c.found, found);
    if (!c.found.empty()) continue;
    std::string expected;
    for (const std::string& place : stubsBesidePack(c.arch, c.keyed))
      expected += (expected.empty() ? "" : " or ") + tree / "bin/" + place;
    EXPECT_EQ(expected, tried);
  }
  // A file there that is no stub is taken, so that the check of the
  // bootstrap says what is wrong with it.
  ScopedTempDir tree;
  shellOrDie("mkdir -p '" + tree / "bin/stub-aarch64" + "'");
  writeFile(tree / "bin/stub-aarch64/kv-bootstrap", "#!/bin/sh\n", 0755);
  std::string tried;
  EXPECT_EQ(tree / "bin/stub-aarch64/kv-bootstrap",
            findDefaultBootstrap(aarch64, false, tree / "bin/", &tried));
  EXPECT_EQ(tree / "bin/../lib/kv-bootstrap/kv-bootstrap-aarch64", tried);
}
