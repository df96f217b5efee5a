#include "tools/kv-pack/inputs.h"

#include <gtest/gtest.h>

// The agent keeps its file name in the package only when the bootstrap would
// find it by that name; packages from every kind of input show the member in
// PackTest.
TEST(AgentMemberName, KeepsOnlyAVersionedName) {
  struct {
    const char* file;
    const char* member;
  } cases[] = {
      {"agent.zip", "InstallAgent.zip"},
      {"InstallAgent.zip", "InstallAgent.zip"},
      {"InstallAgent_2.1.zip", "InstallAgent_2.1.zip"},
      {"InstallAgent_2.1 (beta).zip", "InstallAgent_2.1 (beta).zip"},
      {"installagent_2.1.zip", "InstallAgent.zip"},
      {"InstallAgent_2.1.zip.bak", "InstallAgent.zip"},
      {"InstallAgent-2.1.zip", "InstallAgent.zip"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.member, agentMemberName(c.file)) << c.file;
    EXPECT_EQ(c.member, agentMemberName(std::string("/in/InstallAgent_1.zip/") + c.file)) << c.file;
  }
}
