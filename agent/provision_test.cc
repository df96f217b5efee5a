// The choice of the carried agent; where a downloaded or cached one comes
// from is seen through whole runs in tests/runs/agent_source_test.cc.
#include "agent/provision.h"

#include <sys/stat.h>

#include <string>

#include <gtest/gtest.h>

#include "tests/test_util.h"

TEST(FindAgentZipInPayload, PrefersTheFixedNameAndTestsOnlyTheName) {
  ScopedTempDir tmp;
  EXPECT_EQ("", findAgentZipInPayload(tmp.path()));

  writeFile(tmp / "InstallAgent_x.zip.bak", "");
  writeFile(tmp / "InstallAgent.zip.old", "");
  writeFile(tmp / "installagent_1.zip", "");
  EXPECT_EQ("", findAgentZipInPayload(tmp.path()));

  mkdir((tmp / "InstallAgent_.zip").c_str(), 0755);  // a directory qualifies by its name
  EXPECT_EQ(tmp / "InstallAgent_.zip", findAgentZipInPayload(tmp.path()));
  EXPECT_EQ(tmp / "InstallAgent_.zip", findAgentZipInPayload(tmp.path() + "/"));

  writeFile(tmp / "InstallAgent.zip", "");
  EXPECT_EQ(tmp / "InstallAgent.zip", findAgentZipInPayload(tmp.path()));
  EXPECT_EQ(tmp / "InstallAgent.zip", findAgentZipInPayload(tmp.path() + "/"));
}
