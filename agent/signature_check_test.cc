#include "agent/signature_check.h"

#include <array>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/signing_time.h"
#include "formats/minisig.h"
#include "tests/test_util.h"

namespace {

MinisignPublicKey publicKeyIn(const std::string& pubFile) {
  MinisignPublicKey key;
  std::string why;
  EXPECT_TRUE(parseMinisignPublicKey(readFile(pubFile), &key, &why)) << pubFile << ": " << why;
  return key;
}

}  // namespace

// An archive signed with the real minisign command, then changed as an
// attacker or a broken server would; each change is told as what it is. An
// accepted signature gives its trusted comment: only a time-stamped one is
// remembered, and one that names its file must name the agent URL's.
TEST(SignatureCheckTest, OnlyTheKeysSignatureOverTheFileAndItsCommentPasses) {
  ScopedTempDir tmp;
  shellOrDie("cd " + tmp.path() + " && minisign -G -W -p other.pub -s other.key >/dev/null");
  const MinisignPublicKey key = publicKeyIn(KV_TEST_KEY_DIR "/agent.pub");
  const std::string otherId = keyIdText(publicKeyIn(tmp / "other.pub").keyId);
  // Edits the decoded second line (algorithm, key id, signature bytes).
  auto editBytes = [&](std::string* text, const std::function<void(std::string*)>& edit) {
    const size_t start = text->find('\n') + 1, end = text->find('\n', start);
    std::string bytes;
    ASSERT_TRUE(decodeBase64(text->substr(start, end - start), &bytes)) << *text;
    edit(&bytes);
    writeFile(tmp / "line", bytes);
    text->replace(start, end - start, shellOrDie("base64 -w0 " + (tmp / "line")));
  };
  const std::string changedId = [&] {
    std::array<uint8_t, 8> id = key.keyId;
    id[7] ^= 0x01;
    return keyIdText(id);
  }();
  struct {
    const char* name;
    std::string options;                         // minisign -S ...
    std::function<void(std::string*)> tamper;    // on the signature file's text
    std::string why;                             // empty: it passes
    bool timed = true;                           // passes with a signing time
    bool flipArchive = false;
  } cases[] = {
      {"hashed", "", nullptr, ""},
      {"legacy, over the file itself", "-l", nullptr, ""},
      {"the vendor's own trusted comment", "-t 'my comment'", nullptr, "", false},
      // The vendor's signature of another file, such as another platform's
      // agent, verifies with the key but names that file.
      {"signed as another file", "-t 'timestamp:1\tfile:agent.arm'", nullptr,
       "the signature names the file agent.arm, not agent.zip"},
      {"signed as a name the agent's starts with", "-t 'timestamp:1\tfile:agent.zi'", nullptr,
       "the signature names the file agent.zi, not agent.zip"},
      {"its file named first", "-t 'file:agent.zip\tmine'", nullptr, "", false},
      {"one flipped byte in the archive", "", nullptr, "the signature does not match the file", true, true},
      {"signed with another key", "-s " + tmp / "other.key", nullptr,
       "it is signed with key " + otherId + ", not with key " + keyIdText(key.keyId)},
      {"the key id's last byte changed", "",
       [&](std::string* text) { editBytes(text, [](std::string* bytes) { (*bytes)[9] ^= 0x01; }); },
       "it is signed with key " + changedId + ", not with key " + keyIdText(key.keyId)},
      // Signed over the file itself, as "Ed" says, so that only the name is wrong.
      {"algorithm ed", "-l",
       [&](std::string* text) { editBytes(text, [](std::string* bytes) { bytes->replace(0, 2, "ed"); }); },
       "the signature's algorithm is unknown"},
      {"algorithm EE", "-l",
       [&](std::string* text) { editBytes(text, [](std::string* bytes) { bytes->replace(0, 2, "EE"); }); },
       "the signature's algorithm is unknown"},
      {"truncated signature file", "", [](std::string* text) { text->resize(150); },
       "the signature file has 2 lines instead of 4"},
      {"changed trusted comment", "",
       [](std::string* text) {
         const size_t at = text->find("trusted comment: timestamp:") + 27;
         (*text)[at] = (*text)[at] == '1' ? '2' : '1';
       },
       "the trusted comment does not match its signature"},
      {"trusted comment claiming a far-future signing time", "",
       [](std::string* text) {
         const size_t at = text->find("trusted comment: timestamp:") + 27;
         text->replace(at, text->find('\t', at) - at, "4102444800");
       },
       "the trusted comment does not match its signature"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string archive = tmp / "agent.zip";
    writeFile(archive, "an agent archive, signed\n");
    const std::string signer = c.options.find("-s ") == 0 ? "" : "-s " KV_TEST_KEY_DIR "/agent.key ";
    shellOrDie("minisign -S " + signer + c.options + " -m " + archive + " >/dev/null");
    std::string text = readFile(archive + ".minisig");
    if (c.tamper) c.tamper(&text);
    if (c.flipArchive) writeFile(archive, "an agent archive, signeD\n");
    MinisignSignature signature;
    std::string why;
    EXPECT_EQ(c.why.empty(), checkAgentSignature(text, archive, {key}, &signature, &why) &&
                                 signedForAgentUrl(signature.trustedComment, "https://a.example/dl/agent.zip", &why));
    EXPECT_EQ(c.why, why);
    if (!c.why.empty()) continue;
    const std::optional<int64_t> signedAt = signingTimeIn(signature.trustedComment);
    EXPECT_EQ(c.timed, signedAt.has_value());
    AgentConfig config;
    config.cacheRoot = tmp / "cache/";
    shellOrDie("rm -rf " + config.cacheRoot + " && mkdir " + config.cacheRoot);
    EXPECT_TRUE(acceptSigningTime(config, signedAt, time(nullptr), &why)) << why;
    EXPECT_EQ(c.timed, fileExists(config.cacheRoot + ".signingtime"));
  }
}

// The rules on signing times at their edges, with the clock at kNow: a day's
// allowance ahead of it, the package's floor, the time remembered in the cache.
TEST(SigningTimeTest, EachRuleHoldsToItsEdge) {
  const int64_t kNow = 1700000000, kFloor = 1600000000, kRemembered = 1650000000;
  const int64_t kDay = 24 * 60 * 60;  // the allowance the docs promise
  const std::string ahead = ", more than a day after this computer's clock (" + utcTimeText(kNow) +
                            "): check that the clock is right";
  const std::string belowFloor =
      ", before the earliest signing time this installer takes (" + utcTimeText(kFloor) + ")";
  struct {
    std::optional<int64_t> remembered, floor, signedAt;
    std::string why;  ///< empty: accepted
    std::optional<int64_t> rememberedAfter;
  } cases[] = {
      {{}, {}, {}, "", {}},
      {{}, {}, kNow + kDay, "", kNow + kDay},
      {{}, {}, kNow + kDay + 1, "it was signed on " + utcTimeText(kNow + kDay + 1) + ahead, {}},
      {kRemembered, {}, kNow + kDay + 1, "it was signed on " + utcTimeText(kNow + kDay + 1) + ahead, kRemembered},
      {{}, kFloor, kFloor, "", kFloor},
      {{}, kFloor, kFloor - 1, "it was signed on " + utcTimeText(kFloor - 1) + belowFloor, {}},
      {kRemembered, kFloor, kFloor - 1, "it was signed on " + utcTimeText(kFloor - 1) + belowFloor, kRemembered},
      {{}, kFloor, {}, "its trusted comment has no signing time, which this installer needs", {}},
      {kRemembered, {}, {}, "", kRemembered},
      {kRemembered, {}, kRemembered, "", kRemembered},
      {kRemembered, {}, kRemembered + 1, "", kRemembered + 1},
      {kRemembered, {}, kRemembered - 1,
       "it was signed on " + utcTimeText(kRemembered - 1) + ", before the agent already verified here (signed on " +
           utcTimeText(kRemembered) + ")",
       kRemembered},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "remembered " << c.remembered.value_or(-1) << ", floor "
                                    << c.floor.value_or(-1) << ", signed " << c.signedAt.value_or(-1));
    ScopedTempDir cache;
    AgentConfig config;
    config.cacheRoot = cache.path() + "/";
    config.notBefore = c.floor;
    if (c.remembered) writeFile(config.cacheRoot + ".signingtime", std::to_string(*c.remembered) + "\n");
    std::string why;
    EXPECT_EQ(c.why.empty(), acceptSigningTime(config, c.signedAt, kNow, &why));
    EXPECT_EQ(c.why, why);
    EXPECT_EQ(c.rememberedAfter, rememberedSigningTime(config.cacheRoot));
    // The agent cached there meets the floor exactly when the time remembered does.
    EXPECT_EQ(!c.floor || (c.rememberedAfter && *c.rememberedAfter >= *c.floor), cachedAgentMeetsFloor(config));
  }
}
