#include "agent/agent_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>

#include <gtest/gtest.h>

#include "agent/agent_config.h"
#include "formats/package_layout.h"
#include "tests/test_util.h"

namespace {

const std::string kCacheSubdir = ".korvex/installagent/V7031c/tux64le/";

// A test's own HOME, so the real user's cache is never touched.
class AgentCacheTest : public testing::Test {
 protected:
  void SetUp() override {
    mkdir(home().c_str(), 0700);
    root_ = home() + "/" + kCacheSubdir;
    ASSERT_EQ(root_, agentConfigFor(kAgentPaths.agentUrl, home().c_str(), {}).cacheRoot);
    shellOrDie("mkdir -p " + root_);
  }
  std::string home() const { return tmp_ / "home"; }
  std::string validationFile() const { return root_ + "/.validatestring"; }

  ScopedTempDir tmp_;
  std::string root_;
};

}  // namespace

TEST(AgentPathsTest, NamesThatOutliveOneRun) {
  // These name the cache on users' disks and the file on the vendor's server:
  // a change strands every cached agent.
  EXPECT_EQ(kCacheSubdir, kAgentPaths.cacheSubdir);
  EXPECT_EQ(".validatestring", std::string(kValidateFileName));
  EXPECT_EQ("InstallAgent.zip", std::string(kAgentZipName));
  EXPECT_EQ("ETag: ", std::string(kETagPrefix));
  const std::string file = "/pi_install_agent_pi_V7031c_tux64le";
  const std::string& url = kAgentPaths.agentUrl;
  ASSERT_GT(url.size(), file.size());
  EXPECT_EQ(file, url.substr(url.size() - file.size())) << url;
  EXPECT_NE('/', url[url.size() - file.size() - 1]) << url;
  EXPECT_TRUE(url.compare(0, 7, "http://") == 0 || url.compare(0, 8, "https://") == 0) << url;
}

TEST(AgentPathsTest, CacheRootFollowsHome) {
  struct {
    std::optional<std::string> home;
    std::string root;
  } cases[] = {
      {std::nullopt, "/tmp/" + kCacheSubdir},
      {"", "/tmp/" + kCacheSubdir},
      {"/", "/" + kCacheSubdir},
      {"/home/ann", "/home/ann/" + kCacheSubdir},
      {"/home/ann/", "/home/ann/" + kCacheSubdir},
      {"h", "h/" + kCacheSubdir},
  };
  for (const auto& c : cases) {
    const AgentConfig config = agentConfigFor(kAgentPaths.agentUrl, c.home ? c.home->c_str() : nullptr, {});
    EXPECT_EQ(c.root, config.cacheRoot) << "HOME=" << c.home.value_or("(unset)");
  }
}

TEST(AgentPathsTest, InstallScriptPath) {
  struct {
    std::string dir;
    std::string script;
  } cases[] = {
      {"", "install"},
      {"/", "/install"},
      {"/a/installagent", "/a/installagent/install"},
      {"/a/installagent/", "/a/installagent/install"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.script, installScriptPath(c.dir)) << c.dir;
}

TEST_F(AgentCacheTest, CachedAgentNeedsItsInstallScript) {
  EXPECT_EQ("", findCachedAgent(root_));
  mkdir((root_ + "installagent").c_str(), 0700);
  EXPECT_EQ("", findCachedAgent(root_)) << "an agent directory without its script is no agent";
  symlink("nowhere", (root_ + "installagent/install").c_str());
  EXPECT_EQ("", findCachedAgent(root_)) << "a dangling link is no script";
  unlink((root_ + "installagent/install").c_str());
  writeFile(root_ + "installagent/install", "exit 0\n");
  EXPECT_EQ(root_ + "installagent/", findCachedAgent(root_));
}

TEST_F(AgentCacheTest, StoredTagsMatchOnlyThemselvesWhole) {
  const std::string longTag = "ETag: \"" + std::string(200, 'x') + "\"\r";
  const std::string cases[] = {
      "ETag: \"5f3a-1c\"\r",  // as received: the carriage return stays
      "etag: W/\"weak\"\r",
      "ETag: \"no-cr\"",
      longTag,
      std::string("ETag: \"\0nul\"\r", 13),
  };
  for (const std::string& value : cases) {
    SCOPED_TRACE(value);
    writeValidateString(root_, value);
    EXPECT_EQ(value, readFile(validationFile())) << "stored raw, with no line end";
    EXPECT_TRUE(isValidateStringCurrent(root_, value));
    for (size_t cut = 0; cut < value.size(); ++cut)
      EXPECT_FALSE(isValidateStringCurrent(root_, value.substr(0, cut))) << cut;
    EXPECT_FALSE(isValidateStringCurrent(root_, value + "\r"));
    std::string changedLast = value;
    changedLast.back() ^= 1;
    EXPECT_FALSE(isValidateStringCurrent(root_, changedLast));
  }
  writeValidateString(root_, "ETag: \"1\"\r");
  EXPECT_EQ("ETag: \"1\"\r", readFile(validationFile())) << "a shorter tag leaves no old tail";
  EXPECT_EQ(std::vector<std::string>{".validatestring"}, listDir(root_)) << "no temporary left";
}

TEST_F(AgentCacheTest, StoredFileIsReadAsItsFirstLine) {
  struct {
    std::string file;
    std::string value;
    bool current;
  } cases[] = {
      {"ETag: \"a\"\r\nETag: \"b\"\r", "ETag: \"a\"\r", true},
      {"ETag: \"a\"\r\nETag: \"b\"\r", "ETag: \"b\"\r", false},
      {"ETag: \"a\"\r\n", "ETag: \"a\"\r", true},
      {"ETag: \"a\"\r\n", "ETag: \"a\"\r\n", false},
      {"\nETag: \"a\"\r", "ETag: \"a\"\r", false},
      {"", "ETag: \"a\"\r", false},
  };
  for (const auto& c : cases) {
    writeFile(validationFile(), c.file);
    EXPECT_EQ(c.current, isValidateStringCurrent(root_, c.value))
        << "file " << testing::PrintToString(c.file) << " value "
        << testing::PrintToString(c.value);
  }
}

TEST_F(AgentCacheTest, EmptyTagIsNeverCurrentAndNeverStored) {
  writeFile(validationFile(), "");
  EXPECT_FALSE(isValidateStringCurrent(root_, ""));
  writeFile(validationFile(), "ETag: \"old\"\r");
  writeValidateString(root_, "");
  EXPECT_EQ("ETag: \"old\"\r", readFile(validationFile()));
  writeValidateString("", "ETag: \"new\"\r");
  EXPECT_FALSE(isValidateStringCurrent("", "ETag: \"new\"\r"));
}

TEST_F(AgentCacheTest, UnreadableOrUnwritableValidationFile) {
  EXPECT_FALSE(isValidateStringCurrent(root_, "ETag: \"a\"\r")) << "no file yet";
  mkdir(validationFile().c_str(), 0700);
  EXPECT_FALSE(isValidateStringCurrent(root_, "ETag: \"a\"\r")) << "a directory in its place";
  writeValidateString(root_, "ETag: \"a\"\r");  // cannot replace a directory: silently nothing
  EXPECT_FALSE(isValidateStringCurrent(root_, "ETag: \"a\"\r"));
  rmdir(validationFile().c_str());

  const std::string missing = tmp_ / "no/such/dir";
  writeValidateString(missing, "ETag: \"a\"\r");
  EXPECT_FALSE(fileExists(tmp_ / "no"));
  EXPECT_FALSE(isValidateStringCurrent(missing, "ETag: \"a\"\r"));
}
