// The attacks that update systems are measured by, each against whole runs of
// a package with keys: agents signed with real minisign keys and served at the
// very URL the package asks for. What each bad signature is told as, and the
// signing time's edges, are in SignatureCheckTest and SigningTimeTest.
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <ctime>

#include <gtest/gtest.h>

#include "formats/minisig.h"
#include "tests/runs/run_fixture.h"

namespace {

// One agent as the server sends it: a fresh archive signed by `key` under the
// file name `as`, with minisign's own trusted comment or with `comment`, in
// which "timestamp:T" stands for now + fromNow. refusal: how the message goes
// on after "<URL>: "; empty when the agent runs.
struct Served {
  std::string key, as, comment;
  int64_t fromNow;
  std::string refusal;
  bool byPlain = false;   ///< run by the package packed without the floor
  bool sameFile = false;  ///< the agent of the step before, under the same tag
};

struct Attack {
  std::string what;
  std::vector<std::string> keys;  ///< --agent-key, by name
  int64_t floorFromNow;           ///< 0: no --agent-not-before
  std::string packRefusal;        ///< kv-pack's message; empty: it packs
  std::vector<Served> served;
};

class UpdateAttackTest : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    for (const char* name : {"old", "new", "third"})
      shellOrDie("cd " + tmp_.path() + " && minisign -G -W -p " + name + ".pub -s " + name + ".key >/dev/null");
    mkdir((tmp_ / "bundle").c_str(), 0755);
    writeFile(tmp_ / "bundle/a.txt", "a\n");
  }

  std::string keyId(const std::string& name) {
    MinisignPublicKey key;
    std::string why;
    EXPECT_TRUE(parseMinisignPublicKey(readFile(tmp_ / (name + ".pub")), &key, &why)) << why;
    return keyIdText(key.keyId);
  }
  // The agent file of the runner's platform, and of the other machine's.
  std::string ownFile() const { return agentFileFor(runner().platform).substr(1); }
  std::string otherFile() const {
    return agentFileFor(runner().platform == kArches[0].platformTag ? kArches[1].platformTag : kArches[0].platformTag)
        .substr(1);
  }
  std::string ran() const { return tmp_ / "ran"; }
  std::string remembered(const std::string& root) const {
    return fileExists(root + ".signingtime") ? readFile(root + ".signingtime") : "";
  }

  void sign(const std::string& key, const std::string& file, const std::string& comment) {
    shellOrDie("minisign -S -s " + (tmp_ / (key + ".key")) + " -m " + file +
               (comment.empty() ? "" : " -t '" + comment + "'") + " >/dev/null");
  }

  // The floor as a vendor gives it: the signature of the agent they ship.
  ProcessResult pack(const Attack& attack, const std::string& output, bool withFloor) {
    Command command{{packBinary(), "--bootstrap", runner().keyedBootstrap, "--bundle", tmp_ / "bundle",
                     "--agent-url", nginx_.url(""), "-o", output},
                    {}, {}, "", ""};
    if (!runner().arch.empty()) command.argv.insert(command.argv.end(), {"--arch", runner().arch});
    for (const std::string& key : attack.keys) command.argv.insert(command.argv.end(), {"--agent-key", tmp_ / (key + ".pub")});
    if (attack.floorFromNow != 0 && withFloor) {
      writeFile(tmp_ / "floor", "the agent shipped\n");
      sign("old", tmp_ / "floor", "timestamp:" + std::to_string(now_ + attack.floorFromNow));
      command.argv.insert(command.argv.end(), {"--agent-not-before", tmp_ / "floor.minisig"});
    }
    unlink(output.c_str());
    return runProcess(command);
  }

  // A new agent that records that it ran, served with its signature at the
  // agent URL under a tag of its own (nginx's, from the file's time).
  void serve(const Served& step, int n) {
    if (step.sameFile) return;
    const std::string dir = tmp_ / ("agent" + std::to_string(n)), file = dir + "/" + step.as;
    mkdir(dir.c_str(), 0755);
    makeAgentZip(dir + "/made.zip", probeAgentScript(ran()));
    rename((dir + "/made.zip").c_str(), file.c_str());
    std::string comment = step.comment;
    const size_t at = comment.find("timestamp:T");
    if (at != std::string::npos) comment.replace(at + 10, 1, std::to_string(now_ + step.fromNow));
    sign(step.key, file, comment);
    const std::string served = www() + "/" + ownFile();
    shellOrDie("cp " + file + " " + served + ".new && cp " + file + ".minisig " + served + ".minisig");
    struct timeval times[2] = {{1000000000 + n, 0}, {1000000000 + n, 0}};
    utimes((served + ".new").c_str(), times);
    rename((served + ".new").c_str(), served.c_str());
  }

  void attack(const Attack& a);

  const int64_t now_ = time(nullptr);
};

void UpdateAttackTest::attack(const Attack& a) {
  const std::string floored = tmp_ / "floored.run", plain = tmp_ / "plain.run";
  ProcessResult packed = pack(a, floored, true);
  if (!a.packRefusal.empty()) {
    EXPECT_EQ("kv-pack: " + a.packRefusal + "\n", packed.err);
    EXPECT_FALSE(fileExists(floored));
    return;
  }
  ASSERT_EQ(0, packed.exitCode) << packed.err;
  ASSERT_EQ(0, pack(a, plain, false).exitCode);
  std::string ids;
  for (const std::string& key : a.keys) ids += (ids.empty() ? "" : "-") + keyId(key);
  const std::string url = agentUrl(ownFile()), root = cacheRoot(url, ids);
  int n = 0;
  for (const Served& step : a.served) {
    SCOPED_TRACE("agent " + std::to_string(n) + ", signed by " + step.key + " as " + step.as + " with " +
                 (step.comment.empty() ? "minisign's comment" : step.comment));
    serve(step, n++);
    unlink(ran().c_str());
    const std::string before = remembered(root);
    // The agent URL the package carries: its base and the platform's file.
    ProcessResult result = runProcess(ownAgentUrl(runCommand(step.byPlain ? plain : floored)));
    EXPECT_EQ(step.refusal.empty(), fileExists(ran()));
    EXPECT_EQ(step.refusal.empty(), fileExists(root + "installagent/install")) << "the cache of these keys";
    if (step.refusal.empty()) {
      EXPECT_EQ(0, result.exitCode) << result.err;
      continue;
    }
    EXPECT_EQ(255, result.exitCode);
    EXPECT_EQ(0u, result.err.find("Failed to verify the TVE Installer downloaded from " + url + ": " + step.refusal))
        << result.err;
    EXPECT_TRUE(endsWith(result.err, "\nInstallation failed.\n")) << result.err;
    EXPECT_EQ(before, remembered(root)) << "the remembered signing time moved";
  }
}

}  // namespace

TEST_F(UpdateAttackTest, EachAttackIsRefusedAndTheGenuineAgentStillRuns) {
  const std::string own = "timestamp:T\tfile:" + ownFile() + "\thashed", file = ownFile();
  auto signedAt = [&](int64_t fromNow) { return "it was signed on " + utcTimeText(now_ + fromNow); };
  const int64_t day = 24 * 60 * 60;
  const Attack attacks[] = {
      // Mix and match: every file the vendor signed verifies with the key.
      {"the other machine's agent, validly signed", {"old"}, 0, "",
       {{"old", otherFile(), "", 0, "the signature names the file " + otherFile() + ", not " + file},
        {"old", file, own, -100, ""}}},
      {"a comment without file:, as a vendor may write one", {"old"}, 0, "",
       {{"old", "other.zip", "timestamp:T", -100, ""}, {"old", "other.zip", "my own comment", 0, ""}}},
      // A rotation: packages with both keys run agents signed with either.
      {"two keys, and an agent signed with a third", {"old", "new"}, 0, "",
       {{"old", file, own, -300, ""},
        {"new", file, own, -200, ""},
        {"third", file, own, -100,
         "it is signed with key " + keyId("third") + ", not with key " + keyId("old") + " or " + keyId("new")}}},
      {"three keys", {"old", "new", "third"}, 0,
       "--agent-key is given a third time; a package takes two keys at most, the old and the new one of a rotation",
       {}},
      // A time ahead, remembered, would lock out every agent signed until then;
      // less than a day ahead is a clock a little wrong.
      {"an agent three days ahead, then good ones", {"old"}, 0, "",
       {{"old", file, own, -100, ""},
        {"old", file, own, 3 * day, signedAt(3 * day) + ", more than a day after this computer's clock ("},
        {"old", file, "", 0, ""},
        {"old", file, own, day - 3600, ""}}},
      // Rollback on a first run: the floor holds before anything is cached.
      {"a floor, and older agents on a first run", {"old"}, -100, "",
       {{"old", file, own, -1000,
         signedAt(-1000) + ", before the earliest signing time this installer takes (" + utcTimeText(now_ - 100) + ")"},
        {"old", file, "no time of mine", 0, "its trusted comment has no signing time"},
        {"old", file, own, -100, ""}}},
      // A package without the floor stores an old agent in the cache of the
      // same key; the one with it must not take it from there.
      {"a floor, and an older agent cached by a package without it", {"old"}, -100, "",
       {{"old", file, own, -1000, "", true},
        {"old", file, own, -1000, signedAt(-1000) + ", before the earliest signing time", false, true},
        {"old", file, own, -50, ""}}},
  };
  for (const Attack& a : attacks) {
    SCOPED_TRACE(a.what);
    shellOrDie("rm -rf " + home());
    attack(a);
  }
}
