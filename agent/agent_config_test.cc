#include "agent/agent_config.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_paths.h"
#include "formats/agent_url.h"
#include "formats/arch.h"
#include "formats/stub_record.h"
#include "tests/test_util.h"

namespace {

std::vector<std::string> gReported;

void recordReport(const std::string& message, bool toStderr) {
  EXPECT_TRUE(toStderr) << message;
  gReported.push_back(message);
}

// A slot of `bytes` bytes holding `value` as kv-pack writes it, NUL-filled;
// a value as long as the room leaves no NUL, as a hand edit may.
std::string slot(const std::string& value, size_t bytes) {
  std::string room = value;
  room.resize(bytes, '\0');
  return room;
}

struct Sources {
  std::string baseUrl = "https://agents.example.com/kv";
  std::string key = "none";
  std::optional<std::string> urlVariable{};
  std::optional<std::string> home = std::string("/home/ann");
  std::string secondKey = "none";
  std::string notBefore = "none";
};

bool settle(const Sources& given, AgentConfig* config) {
  const std::string base = slot(given.baseUrl, kAgentBaseUrlSlotBytes);
  const std::string key = slot(given.key, kAgentKeySlotBytes);
  const std::string secondKey = slot(given.secondKey, kAgentKeySlotBytes);
  const std::string notBefore = slot(given.notBefore, kAgentNotBeforeSlotBytes);
  gReported.clear();
  return settleAgentConfig({base.data(), key.data(), secondKey.data(), notBefore.data(),
                            given.urlVariable ? given.urlVariable->c_str() : nullptr,
                            given.home ? given.home->c_str() : nullptr},
                           recordReport, config);
}

}  // namespace

TEST(AgentConfigTest, DamagedRecordStopsTheRunWithOneLine) {
  struct {
    std::string baseUrl, key, damage, secondKey = "none", notBefore = "none";
  } cases[] = {
      {std::string(kAgentBaseUrlSlotBytes, 'a'), "none", "agent URL has no end"},
      {"ftp://example.org", "none", "agent URL does not start with http:// or https://"},
      {"http://", "none", "agent URL has no host"},
      {"http://user@:80/x", "none", "agent URL has no host"},
      {"http://a@b@/x", "none", "agent URL has no host"},  // a user part ends at its last "@"
      {"http://a b", "none", "agent URL holds a blank or a control byte"},
      {"http://a\x7f" "b", "none", "agent URL holds a blank or a control byte"},
      {"http://a\tb", "none", "agent URL holds a blank or a control byte"},
      {"https://example.org", std::string(kAgentKeySlotBytes, 'R'), "agent key has no end"},
      {"https://example.org", std::string(56, 'A'),
       "agent key is not a minisign public key: its key is not an Ed25519 key (a minisign key line "
       "starts with RW)"},
      // "ED" (RU in base64) names a signature algorithm, not a key's.
      {"https://example.org", "RU" + testKeyLine().substr(2),
       "agent key is not a minisign public key: its key is not an Ed25519 key (a minisign key line "
       "starts with RW)"},
      // The second key's slot, damaged the same ways.
      {"https://example.org", "none", "agent key has no end", std::string(kAgentKeySlotBytes, 'R')},
      {"https://example.org", "none",
       "agent key is not a minisign public key: its key is not an Ed25519 key (a minisign key line "
       "starts with RW)",
       std::string(56, 'A')},
      {"https://example.org", "none", "earliest signing time is not a number of seconds since 1970",
       "none", std::string(kAgentNotBeforeSlotBytes, '1')},
      {"https://example.org", "none", "earliest signing time is not a number of seconds since 1970",
       "none", ""},
      {"https://example.org", "none", "earliest signing time is not a number of seconds since 1970",
       "none", "1700000000 "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.damage);
    Sources sources;
    sources.baseUrl = c.baseUrl;
    sources.key = c.key;
    sources.secondKey = c.secondKey;
    sources.notBefore = c.notBefore;
    AgentConfig config;
    EXPECT_FALSE(settle(sources, &config));
    EXPECT_EQ(std::vector<std::string>{"This installer is damaged: its " + c.damage +
                                       ". Download it again, or ask its vendor for a new copy."},
              gReported);
  }
}

TEST(AgentConfigTest, UrlCacheAndKeysAreSettledOnce) {
  const std::string sub = kAgentPaths.cacheSubdir;
  const std::string file = "/pi_install_agent_pi_V7031c_" + std::string(kPlatformTag);
  const std::string testKey = testKeyLine();
  // A second key: "Ed", the id 01 ... 08 (written last byte first) and a key of zeros.
  const std::string otherKey = "RWQBAgMEBQYHCAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA";
  auto keyed = [&](const std::string& key, const std::string& secondKey, const std::string& notBefore) {
    Sources sources{"https://x.example", key, kAgentPaths.agentUrl};
    sources.secondKey = secondKey;
    sources.notBefore = notBefore;
    return sources;
  };
  struct {
    Sources sources;
    std::string url, cacheRoot;
    size_t keys = 0;
    std::optional<int64_t> notBefore{};
  } cases[] = {
      // The slot's base, whose own cache is named by its URL: FNV-1a of it,
      // the same on every machine and in every release, or every user's
      // cache is orphaned (the value docs/safety.md gives).
      {{"https://agents.example.com"}, "https://agents.example.com" + file,
       "/home/ann/" + sub + (kBuildMachine == EM_X86_64 ? "url-ed7a98b13e2c66a3/"
                                                       : "url-" + stableHashText("https://agents.example.com" + file) + "/")},
      {{}, "https://agents.example.com/kv" + file,
       "/home/ann/" + sub + "url-" + stableHashText("https://agents.example.com/kv" + file) + "/"},
      // The longest base kv-pack writes fills the slot's room but its last byte.
      {{"https://a.example/" + std::string(kAgentBaseUrlSlotBytes - 1 - 18, 'x')},
       "https://a.example/" + std::string(kAgentBaseUrlSlotBytes - 1 - 18, 'x') + file,
       "/home/ann/" + sub + "url-" +
           stableHashText("https://a.example/" + std::string(kAgentBaseUrlSlotBytes - 1 - 18, 'x') + file) + "/"},
      {{"https://agents.example.com/kv//"}, "https://agents.example.com/kv" + file,
       "/home/ann/" + sub + "url-" + stableHashText("https://agents.example.com/kv" + file) + "/"},
      // The variable wins, even empty; the build's own URL keeps the plain cache.
      {{"https://x.example", "none", std::string("")}, "", "/home/ann/" + sub + "url-" + stableHashText("") + "/"},
      {{"https://x.example", "none", kAgentPaths.agentUrl}, kAgentPaths.agentUrl, "/home/ann/" + sub},
      // HOME unset, empty or "/".
      {{"https://x.example", "none", kAgentPaths.agentUrl, std::nullopt}, kAgentPaths.agentUrl, "/tmp/" + sub},
      {{"https://x.example", "none", kAgentPaths.agentUrl, std::string("")}, kAgentPaths.agentUrl, "/tmp/" + sub},
      {{"https://x.example", "none", kAgentPaths.agentUrl, std::string("/")}, kAgentPaths.agentUrl, "/" + sub},
      // A key: agents verified with it are kept apart.
      {{"https://x.example", testKey, kAgentPaths.agentUrl}, kAgentPaths.agentUrl,
       "/home/ann/" + sub + "signed-" + testKeyId() + "/", 1},
      // Two keys, in their order: neither one's agents may run in a package
      // without the other, so the pair has a cache of its own.
      {keyed(testKey, otherKey, "none"), kAgentPaths.agentUrl,
       "/home/ann/" + sub + "signed-" + testKeyId() + "-0807060504030201/", 2},
      {keyed(otherKey, testKey, "none"), kAgentPaths.agentUrl,
       "/home/ann/" + sub + "signed-0807060504030201-" + testKeyId() + "/", 2},
      {keyed("none", otherKey, "none"), kAgentPaths.agentUrl, "/home/ann/" + sub + "signed-0807060504030201/", 1},
      // A floor changes no cache: it is checked against the time remembered there.
      {keyed(testKey, "none", "1700000000"), kAgentPaths.agentUrl,
       "/home/ann/" + sub + "signed-" + testKeyId() + "/", 1, 1700000000},
      {keyed(testKey, "none", "0"), kAgentPaths.agentUrl, "/home/ann/" + sub + "signed-" + testKeyId() + "/", 1, 0},
      // The most the slot holds: seconds into the year 5138.
      {keyed(testKey, "none", std::string(kAgentNotBeforeSlotBytes - 1, '9')), kAgentPaths.agentUrl,
       "/home/ann/" + sub + "signed-" + testKeyId() + "/", 1, 99999999999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sources.baseUrl + " " + c.sources.urlVariable.value_or("(no variable)") + " " +
                 c.sources.home.value_or("(no HOME)"));
    AgentConfig config;
    ASSERT_TRUE(settle(c.sources, &config));
    EXPECT_EQ(std::vector<std::string>{}, gReported);
    EXPECT_EQ(c.url, config.agentUrl);
    EXPECT_EQ(c.cacheRoot, config.cacheRoot);
    EXPECT_EQ(config.home + config.cacheSubdir, config.cacheRoot);
    EXPECT_EQ(c.keys, config.keys.size());
    EXPECT_EQ(c.notBefore, config.notBefore);
  }
}

// The certificate authorities come from the environment as the curl tool takes
// them: CURL_CA_BUNDLE alone when set, else SSL_CERT_FILE and SSL_CERT_DIR;
// an empty variable is not set.
TEST(AgentConfigTest, CertificateAuthoritiesFromTheEnvironment) {
  const std::optional<std::string> none;
  struct {
    std::optional<std::string> bundle, file, dir;
    std::string caFile, caFileVariable, caDirectory;
  } cases[] = {
      {none, none, none, "", "", ""},
      {std::string("/b.pem"), std::string("/f.pem"), std::string("/d"), "/b.pem", "CURL_CA_BUNDLE", ""},
      {std::string(""), std::string("/f.pem"), std::string("/d"), "/f.pem", "SSL_CERT_FILE", "/d"},
      {none, none, std::string("/d"), "", "", "/d"},
      {none, std::string(""), std::string(""), "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bundle.value_or("-") + " " + c.file.value_or("-") + " " + c.dir.value_or("-"));
    const std::string base = slot("https://agents.example.com/kv", kAgentBaseUrlSlotBytes);
    const std::string key = slot("none", kAgentKeySlotBytes);
    const std::string notBefore = slot("none", kAgentNotBeforeSlotBytes);
    AgentConfigSources sources{base.data(), key.data(), key.data(), notBefore.data(), nullptr, "/home/ann"};
    sources.caBundleVariable = c.bundle ? c.bundle->c_str() : nullptr;
    sources.certFileVariable = c.file ? c.file->c_str() : nullptr;
    sources.certDirVariable = c.dir ? c.dir->c_str() : nullptr;
    AgentConfig config;
    ASSERT_TRUE(settleAgentConfig(sources, recordReport, &config));
    EXPECT_EQ(c.caFile, config.caFile);
    EXPECT_EQ(c.caFileVariable, config.caFileVariable);
    EXPECT_EQ(c.caDirectory, config.caDirectory);
  }
}
