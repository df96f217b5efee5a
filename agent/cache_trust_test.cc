#include "agent/cache_trust.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

std::string untrusted(const std::string& path, const std::string& problem, const std::string& owner) {
  return "The install agent cache cannot be trusted: " + path + " " + problem + " (owner: " + owner +
         ", you are user 0 (root)). Have it removed, or set HOME to a directory of your own.";
}

}  // namespace

// Anything in the cache another user could have written may hold an agent for
// this user to run.
TEST(UntrustedCacheReason, EveryLevelAndEveryFileUsedMustBeOwnAndPrivate) {
  ScopedTempDir tmp;
  const std::string home = tmp / "home";
  const std::string root = agentCacheBaseFor(home);
  ScopedEnv homeVariable("HOME", home);
  struct {
    const char* change;  // shell commands run in the cache root of a sound cache
    std::string reason;
  } cases[] = {
      {"true", ""},
      {"rm -rf ../../../../.korvex", ""},
      {"chmod 0777 ../../../.. && chown 65534 ../../../..", ""},  // HOME itself is the user's affair
      {"chmod 0755 . installagent && chmod 0644 .validatestring", ""},
      {"chown 65534 ../../..", untrusted(home + "/.korvex", "belongs to another user", "user 65534 (nobody)")},
      {"chmod 0777 .", untrusted(root.substr(0, root.size() - 1), "can be written by other users",
                                 "user 0 (root)")},
      {"chmod 0620 .validatestring",
       untrusted(root + "/.validatestring", "can be written by other users", "user 0 (root)")},
      {"chown 65534 .lock", untrusted(root + ".lock", "belongs to another user", "user 65534 (nobody)")},
      {"rm .lock && ln -s /etc/passwd .lock", untrusted(root + ".lock", "is a symbolic link", "user 0 (root)")},
      {"chmod 0775 installagent/install",
       untrusted(root + "installagent/install", "can be written by other users", "user 0 (root)")},
      {"mv installagent elsewhere && ln -s elsewhere installagent",
       untrusted(root + "installagent", "is a symbolic link", "user 0 (root)")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    shellOrDie("rm -rf " + home + " && mkdir -m 0700 -p " + root + "installagent && cd " + root +
               " && touch .lock .validatestring && chmod 0600 .lock .validatestring && "
               "touch installagent/install && chmod 0755 installagent/install && " + c.change);
    EXPECT_EQ(c.reason, untrustedCacheReason());
  }
}
