// Runs on systems whose libcurl is unlike the build machine's: none at all,
// only the GnuTLS flavour, or the oldest one a package meets (a stand-in for
// libcurl 7.29.0, tests/old_libcurl.cc).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "tests/proxy_server.h"
#include "tests/runs/run_fixture.h"
#include "tests/script_server.h"

namespace {

class LibcurlRunTest : public RunTest {
 protected:
  void SetUp() override {
    RunTest::SetUp();
    carried_ = packCarrying(probe("carried"), "carried.run");
    fetching_ = pack({tmp_ / "fetching.run", {{"a.txt", "a\n"}}});
    serveAgent("agent", probe("served"));
  }

  // A run of package as on a system where the libraries named in `hidden`
  // are not installed and those in `broken` are installed but empty (all of
  // them in one directory).
  ProcessResult runWithout(const std::vector<std::string>& hidden, const std::string& package,
                           const std::vector<std::string>& broken = {}) {
    std::string dir;
    for (const auto* names : {&hidden, &broken}) {
      for (const std::string& name : *names) {
        const std::string path = runner().libraryDir(name);
        EXPECT_TRUE(dir.empty() || dir == path) << name << " is not in " << dir;
        dir = path;
      }
    }
    Command command = runCommand(package);
    command.argv = withFilesMissing(dir, hidden, broken, tmp_.path(), command.argv);
    return runProcess(command);
  }

  // A run on the stand-in for libcurl 7.29.0, which logs what it refuses.
  Command onOldLibcurl(const std::string& package) {
    Command command = runCommand(package);
    command.setEnv["LD_LIBRARY_PATH"] = KV_OLD_LIBCURL_DIR;
    command.setEnv["KV_OLD_LIBCURL_LOG"] = tmp_ / "old-libcurl.log";
    return command;
  }
  // The run tried the interrupt check that libcurl 7.32.0 brought, got it
  // refused, and so was on the stand-in.
  void expectNewerOptionRefused() {
    EXPECT_NE(std::string::npos, readFile(tmp_ / "old-libcurl.log")
                                     .find("refused option " + std::to_string(CURLOPT_XFERINFOFUNCTION) + "\n"));
    unlink((tmp_ / "old-libcurl.log").c_str());
  }

  std::string carried_, fetching_;
};

}  // namespace

// RHEL 7's libcurl 7.29.0 answers every option it lacks as unknown: the run
// must get by with what it has, and still end at once on SIGTERM.
TEST_F(LibcurlRunTest, DownloadsWithTheOldestLibcurl) {
  for (const char* expected : {"HEAD /agent 200,GET /agent 200", "HEAD /agent 200"}) {
    SCOPED_TRACE(expected);
    nginx_.clearAccessLog();
    unlink(record("served").c_str());
    ProcessResult result = runProcess(onOldLibcurl(fetching_));
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record("served")).size());
    EXPECT_EQ(expected, nginx_.joinedAccessLog());
    expectNewerOptionRefused();
  }

  ScriptServer stalled;
  ASSERT_TRUE(stalled.started());
  stalled.setRoute("/agent", stalledAnswer());
  shellOrDie("rm -rf " + (home() + "/.korvex"));
  Command command = onOldLibcurl(fetching_);
  command.setEnv[kAgentUrlVariable] = stalled.url("/agent");
  const int pid = startProcess(command, "", tmp_ / "stall.err");
  ASSERT_TRUE(stalled.waitForRequest());
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  ProcessResult result = waitProcess(pid);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
  EXPECT_EQ(SIGTERM, result.termSignal) << readFile(tmp_ / "stall.err");
  EXPECT_EQ("", readFile(tmp_ / "stall.err"));
  EXPECT_LT(took.count(), 20) << "seconds: the signal, not the 60 s stall limit, must end it";
  expectNewerOptionRefused();
}

// The connect limit and the infos that tell an unanswered connect from a
// stall are all in libcurl 7.29.0: a firewall that drops the packets ends the
// run at the limit with the message that says so.
TEST_F(LibcurlRunTest, ConnectThatNothingAnswersEndsAtTheLimitOnTheOldestLibcurl) {
  Command command = onOldLibcurl(fetching_);
  command.setEnv[kAgentUrlVariable] = droppedAgentUrl();
  command.argv = withPacketsDropped(command.argv);
  command.unsetEnv.insert(command.unsetEnv.end(), kProxyVariables.begin(), kProxyVariables.end());
  expectEndAtTheConnectLimit(command);
  expectNewerOptionRefused();
}

// Without a libcurl that loads, a package that carries its agent still
// installs; one that must download says why libcurl cannot serve, before any
// request and before the cache is touched.
TEST_F(LibcurlRunTest, WithoutAUsableLibcurlOnlyTheCarriedAgentInstalls) {
  const std::string bothNames = "libcurl.so.4 and libcurl-gnutls.so.4";
  struct {
    const char* name;
    std::vector<std::string> hidden, broken;
    std::string why;
  } cases[] = {
      {"neither installed", {"libcurl.so.4", "libcurl-gnutls.so.4"}, {},
       "libcurl is not installed (tried " + bothNames + "); install your distribution's libcurl package"},
      {"a library both need is missing", {"libnghttp2.so.14"}, {},
       "libcurl.so.4 is installed but cannot be loaded: libnghttp2.so.14: cannot open shared "
       "object file: No such file or directory"},
      // The loader's words name the file by its path.
      {"an empty file", {"libcurl-gnutls.so.4"}, {"libcurl.so.4"},
       "libcurl.so.4 is installed but cannot be loaded: /"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    unlink(record("carried").c_str());
    ProcessResult carried = runWithout(c.hidden, carried_, c.broken);
    EXPECT_EQ(0, carried.exitCode) << carried.err;
    EXPECT_EQ("", carried.err);
    EXPECT_EQ(2u, readRecordedArgs(record("carried")).size());

    ProcessResult fetching = runWithout(c.hidden, fetching_, c.broken);
    EXPECT_EQ(255, fetching.exitCode);
    const std::string failed = "Failed to initialize CURL library to download the TVE Installer from " +
                               agentUrl() + "Error : " + c.why;
    EXPECT_EQ(0u, fetching.err.find(failed)) << fetching.err;
    EXPECT_TRUE(endsWith(fetching.err, "\nInstallation failed.\n")) << fetching.err;
    EXPECT_EQ(2, std::count(fetching.err.begin(), fetching.err.end(), '\n')) << fetching.err;
    EXPECT_EQ(std::vector<std::string>{}, requests());
    EXPECT_FALSE(fileExists(home() + "/.korvex")) << "nothing may be left in the cache";
  }
}

TEST_F(LibcurlRunTest, TheGnutlsLibcurlServesWhenItIsTheOnlyOne) {
  ASSERT_FALSE(runner().libraryDir("libcurl-gnutls.so.4").empty()) << "needs libcurl3-gnutls";
  for (const char* expected : {"HEAD /agent 200,GET /agent 200", "HEAD /agent 200"}) {
    SCOPED_TRACE(expected);
    nginx_.clearAccessLog();
    unlink(record("served").c_str());
    ProcessResult result = runWithout({"libcurl.so.4"}, fetching_);
    EXPECT_EQ(0, result.exitCode) << result.err;
    EXPECT_EQ("", result.err);
    EXPECT_EQ(2u, readRecordedArgs(record("served")).size());
    EXPECT_EQ(expected, nginx_.joinedAccessLog());
  }
}
