#include "agent/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "agent/agent_paths.h"

#include "tests/test_users.h"
#include "tests/test_util.h"

namespace {

std::string untrusted(const std::string& path, const std::string& problem, const std::string& owner) {
  return "The install agent cache cannot be trusted: " + path + " " + problem + " (owner: " + owner +
         ", you are " + thisUserText() + "). Have it removed, or set HOME to a directory of your own.";
}

// Makes a sound cache under home, then runs `change` (shell commands) in its
// root and gives `givenAway` (relative to the root; none when empty) to
// another user.
void soundCacheChanged(const std::string& home, const std::string& change, const std::string& givenAway = "") {
  const std::string root = agentCacheBaseFor(home);
  shellOrDie("rm -rf " + home + " && mkdir -m 0700 -p " + root + "installagent && cd " + root +
             " && touch .lock .validatestring .signingtime && chmod 0600 .lock .validatestring .signingtime && "
             "touch installagent/install && chmod 0755 installagent/install && " + change);
  if (!givenAway.empty()) {
    EXPECT_TRUE(giveToOtherUser(root + givenAway)) << givenAway;
  }
}

}  // namespace

// Anything in the cache another user could have written may hold an agent for
// this user to run.
TEST(UntrustedCacheReason, EveryLevelAndEveryFileUsedMustBePrivate) {
  ScopedTempDir tmp;
  const std::string home = tmp / "home";
  const std::string root = agentCacheBaseFor(home);
  const AgentConfig config = agentConfigFor(kAgentPaths.agentUrl, home.c_str(), {});
  struct {
    const char* change;  // shell commands run in the cache root of a sound cache
    std::string reason;
  } cases[] = {
      {"true", ""},
      {"rm -rf ../../../../.korvex", ""},
      {"chmod 0755 . installagent && chmod 0644 .validatestring", ""},
      {"chmod 0777 .", untrusted(root.substr(0, root.size() - 1), "can be written by other users",
                                 thisUserText())},
      {"chmod 0620 .validatestring",
       untrusted(root + "/.validatestring", "can be written by other users", thisUserText())},
      {"rm .lock && ln -s /etc/passwd .lock", untrusted(root + ".lock", "is a symbolic link", thisUserText())},
      // The remembered signing time and the tag are trusted only as the agent
      // is; the tag's path is told as the cache root, a slash and its name.
      {"rm .signingtime && echo 0 > zero && ln -s zero .signingtime",
       untrusted(root + ".signingtime", "is a symbolic link", thisUserText())},
      {"rm .validatestring && ln -s .lock .validatestring",
       untrusted(root + "/.validatestring", "is a symbolic link", thisUserText())},
      {"chmod 0775 installagent/install",
       untrusted(root + "installagent/install", "can be written by other users", thisUserText())},
      {"mv installagent elsewhere && ln -s elsewhere installagent",
       untrusted(root + "installagent", "is a symbolic link", thisUserText())},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    soundCacheChanged(home, c.change);
    EXPECT_EQ(c.reason, untrustedCacheReason(config));
  }
}

TEST(UntrustedCacheReason, EveryLevelAndEveryFileUsedMustBeOwn) {
  SKIP_WITHOUT_OTHER_USER();
  ScopedTempDir tmp;
  const std::string home = tmp / "home";
  const std::string root = agentCacheBaseFor(home);
  const AgentConfig config = agentConfigFor(kAgentPaths.agentUrl, home.c_str(), {});
  const std::string other = userText(otherUser().uid);
  struct {
    const char* change;     // shell commands run in the cache root of a sound cache
    const char* givenAway;  // then given to another user
    std::string reason;
  } cases[] = {
      {"chmod 0777 ../../../..", "../../../..", ""},  // HOME itself is the user's affair
      {"true", "../../..", untrusted(home + "/.korvex", "belongs to another user", other)},
      {"true", ".lock", untrusted(root + ".lock", "belongs to another user", other)},
      {"true", ".signingtime", untrusted(root + ".signingtime", "belongs to another user", other)},
      {"true", ".validatestring", untrusted(root + "/.validatestring", "belongs to another user", other)},
      {"true", "installagent/install", untrusted(root + "installagent/install", "belongs to another user", other)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.givenAway);
    soundCacheChanged(home, c.change, c.givenAway);
    EXPECT_EQ(c.reason, untrustedCacheReason(config));
    EXPECT_TRUE(takeBackFromOtherUser(root + c.givenAway));
  }
}
