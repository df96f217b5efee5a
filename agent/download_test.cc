// The agent download against real servers on loopback: nginx for what a
// vendor's server does, a scripted server for what a broken one does.
#include "agent/download.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>

#include <curl/curl.h>
#include <gtest/gtest.h>

#include "agent/agent_config.h"
#include "agent/agent_paths.h"
#include "agent/curl_library.h"
#include "formats/arch.h"
#include "os/interrupt.h"
#include "tests/nginx_server.h"
#include "tests/proxy_server.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/test_util.h"
#include "build_config.h"

namespace {

const char kFailedFrom[] = "Failed to download the TVE Installer from ";

// libcurl's words for a failure come from the libcurl the tests run against:
// releases word them differently ("Couldn't connect" became "Could not connect").
std::string curlText(CURLcode code) { return curl_easy_strerror(code); }

// ReportFn is a plain function pointer, so what it is given lands here.
std::vector<std::pair<std::string, bool>> gReported;

void recordReport(const std::string& message, bool toStderr) {
  gReported.emplace_back(message, toStderr);
}

// Every message must go to standard error; returns their texts.
std::vector<std::string> reportedMessages() {
  std::vector<std::string> messages;
  for (const auto& [message, toStderr] : gReported) {
    EXPECT_TRUE(toStderr) << message;
    messages.push_back(message);
  }
  return messages;
}

// One test's HOME with an empty agent cache (as agent selection prepares it)
// and a payload directory to download into.
class DownloadTest : public testing::Test {
 protected:
  void SetUp() override {
    shellOrDie("mkdir -p " + cacheRoot() + "installagent " + tmp_ / "payload");
    gReported.clear();
  }
  void TearDown() override { gReported.clear(); }

  std::string cacheRoot() const { return agentCacheBaseFor(tmp_ / "home"); }
  std::string dest() const { return tmp_ / "payload/InstallAgent.zip"; }
  std::string storedTag() const { return readFile(cacheRoot() + ".validatestring"); }
  bool hasStoredTag() const { return fileExists(cacheRoot() + ".validatestring"); }
  std::string cachedScript() const { return cacheRoot() + "installagent/install"; }
  // What unpacking a downloaded archive leaves in the cache.
  void unpackAgent() const {
    shellOrDie("mkdir -p " + cacheRoot() + "installagent");
    writeFile(cachedScript(), "exit 0\n");
  }

  bool fetch(const std::string& url, const TransferLimits& limits = TransferLimits()) {
    return fetchInto(url, dest(), limits);
  }
  // A download from url with the cache at cacheRoot(), whatever the URL.
  bool fetchInto(const std::string& url, const std::string& path,
                 const TransferLimits& limits = TransferLimits()) {
    gReported.clear();
    AgentConfig config = agentConfigFor(url, (tmp_ / "home").c_str(), {});
    config.cacheRoot = cacheRoot();
    std::string why;
    const CurlLibrary* lib = loadCurlLibrary(&why);
    EXPECT_NE(nullptr, lib) << why;
    return lib != nullptr && fetchAgentArchive(config, *lib, path, recordReport, limits);
  }

  ScopedTempDir tmp_;
};

// The bootstrap's name, version and platform, as every request must carry them.
std::string userAgent() { return std::string("kv-bootstrap/") + KV_VERSION + " (" + kPlatformTag + ")"; }

// The server refuses every request without the bootstrap's own User-Agent:
// each transfer below shows that its requests carry it.
class DownloadNginxTest : public DownloadTest {
 protected:
  DownloadNginxTest()
      : nginx_(www(tmp_), {"", "",
                       "if ($http_user_agent != \"" + userAgent() +
                           "\") { return 403; }\n"}) {}
  void SetUp() override {
    DownloadTest::SetUp();
    ASSERT_TRUE(nginx_.started());
  }

  // Replaces the served file as a vendor's upload would; a new file time
  // gives nginx a new tag even when the size happens to be the same.
  void serve(const std::string& contents, time_t modified) {
    writeFile(www(tmp_) + "/agent.new", contents);
    struct timeval times[2] = {{modified, 0}, {modified, 0}};
    utimes((www(tmp_) + "/agent.new").c_str(), times);
    rename((www(tmp_) + "/agent.new").c_str(), (www(tmp_) + "/agent").c_str());
  }
  std::string tagLine() const { return "ETag: " + NginxServer::expectedETag(www(tmp_) + "/agent") + "\r"; }

  NginxServer nginx_;
};

class DownloadScriptTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    ASSERT_TRUE(server_.started());
  }


  ScriptServer server_;
};

}  // namespace

TEST(DownloadHeaderTest, KeepsTheLastETagLineWithoutItsFinalByte) {
  const std::string kCleared = "(cleared)";
  struct {
    std::string line;
    std::string kept;  // empty: the line is not an entity tag
  } cases[] = {
      {"ETag: \"5f-1c\"\r\n", "ETag: \"5f-1c\"\r"},
      {"etag: \"lower\"\r\n", "etag: \"lower\"\r"},
      {"ETAG: W/\"weak\"\r\n", "ETAG: W/\"weak\"\r"},
      {"ETag: \"bare-lf\"\n", "ETag: \"bare-lf\""},
      {"ETag: ", "ETag:"},
      {"ETag:\"no-blank\"\r\n", ""},
      {"X-ETag: \"other\"\r\n", ""},
      {"ETag", ""},
      {"E", ""},
      {"", ""},
      {"HTTP/1.1 200 OK\r\n", kCleared},  // a new response: the tag of the one before is gone
      {"HTTP/2 301\r\n", kCleared},
      {"HTTP/", kCleared},
      {"http/1.1 200 OK\r\n", ""},
      {"HTTP", ""},
  };
  for (const auto& c : cases) {
    // Exactly the line's bytes, without a terminating zero, as libcurl passes them:
    // the sanitizers catch any read beyond.
    std::vector<char> bytes(c.line.begin(), c.line.end());
    std::string buffer = "ETag: \"before\"\r";
    EXPECT_EQ(bytes.size(), headerCallback(bytes.data(), 1, bytes.size(), &buffer)) << c.line;
    const std::string expected = c.kept == kCleared ? "" : c.kept;
    EXPECT_EQ(c.kept.empty() ? "ETag: \"before\"\r" : expected, buffer) << c.line;
  }
}

TEST_F(DownloadNginxTest, FetchesOnceThenAsksOnlyForTheTagUntilTheFileChanges) {
  const time_t yesterday = time(nullptr) - 86400;
  serve("first agent archive", yesterday);

  EXPECT_TRUE(fetch(nginx_.url("/agent")));
  EXPECT_EQ(std::vector<std::string>{}, reportedMessages());
  EXPECT_EQ("first agent archive", readFile(dest()));
  EXPECT_EQ(tagLine(), storedTag());
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}),
            nginx_.accessLogRequests());

  nginx_.clearAccessLog();
  EXPECT_TRUE(fetch(nginx_.url("/agent")));
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}),
            nginx_.accessLogRequests())
      << "a matching tag alone is not enough while the agent is not unpacked";

  unpackAgent();
  nginx_.clearAccessLog();
  EXPECT_TRUE(fetch(nginx_.url("/agent")));
  EXPECT_EQ(std::vector<std::string>{}, reportedMessages());
  EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, nginx_.accessLogRequests());
  EXPECT_EQ("", readFile(dest()));
  EXPECT_TRUE(fileExists(cachedScript()));

  serve("second agent archive, longer", yesterday + 3600);
  nginx_.clearAccessLog();
  EXPECT_TRUE(fetch(nginx_.url("/agent")));
  EXPECT_EQ((std::vector<std::string>{"HEAD /agent 200", "GET /agent 200"}),
            nginx_.accessLogRequests());
  EXPECT_EQ("second agent archive, longer", readFile(dest()));
  EXPECT_EQ(tagLine(), storedTag());
  EXPECT_FALSE(fileExists(cacheRoot() + "installagent")) << "the stale agent must go";
}

// Each answer that ends the download is one message, and the cached agent
// and its tag stay as they were: HTTP errors (after redirects too), a
// redirect loop, a server that cannot prove its name, nothing at the address,
// no URL at all. Older libcurl follows a redirect to ftp, dict, ldap and
// more; a redirect that leaves HTTP is refused before the new target is even
// connected to (the closed port would make any attempt fail otherwise).
TEST_F(DownloadScriptTest, AnswerThatEndsTheDownloadIsOneMessageAndLeavesTheCache) {
  const ClosedLoopbackPort closed;
  NginxSetup redirecting;
  for (const char* scheme : {"dict", "ftp"})
    redirecting.serverConfig += std::string("location = /to-") + scheme + " { return 302 " + scheme +
                                "://127.0.0.1:" + std::to_string(closed.port()) + "/agent; }\n";
  NginxServer nginx(www(tmp_), redirecting);
  const TestCa unknown = makeTestCa(tmp_ / "ca");  // a CA no system trusts
  writeFile(www(tmp_) + "/agent", "agent");
  NginxServer untrusted(www(tmp_), {unknown.certFile, unknown.keyFile, ""});
  ASSERT_TRUE(nginx.started() && untrusted.started());
  server_.setRoute("/gone", answer(404, {}));
  server_.setRoute("/moved-to-gone", answer(301, {{"Location", "/gone"}}));
  server_.setRoute("/broken", answer(500, {{"ETag", "\"e\""}}, "oops"));
  server_.setRoute("/forbidden", answer(403, {}));
  server_.setRoute("/bad-request", answer(400, {}, "<html>an error page</html>"));
  server_.setRoute("/teapot", answer(418, {}));
  server_.setRoute("/loop", answer(302, {{"Location", "/loop"}}));
  const std::string notReachable = ". The specified URL is not reachable (HTTP code: 404).";
  const std::string leavesHttp = ", a protocol that is not allowed (an http agent URL may lead to http and https only)";
  struct {
    std::string url, tail;
    std::vector<std::string> requests;  // what the servers answered
  } cases[] = {
      {server_.url("/gone"), notReachable, {"HEAD /gone 404"}},
      {server_.url("/moved-to-gone"), notReachable, {"HEAD /moved-to-gone 301", "HEAD /gone 404"}},
      {server_.url("/broken"), ". Received an HTTP code: 500.", {"HEAD /broken 500"}},
      {server_.url("/forbidden"), ". Received an HTTP code: 403.", {"HEAD /forbidden 403"}},
      {server_.url("/bad-request"), ". Received an HTTP code: 400.", {"HEAD /bad-request 400"}},
      {server_.url("/teapot"), ". Received an HTTP code: 418.", {"HEAD /teapot 418"}},
      {server_.url("/loop"), "Error : " + curlText(CURLE_TOO_MANY_REDIRECTS),
       std::vector<std::string>(kMaxRedirects + 1, "HEAD /loop 302")},
      {nginx.url("/missing"), notReachable, {"HEAD /missing 404"}},
      {nginx.url("/to-dict"), "Error : the server redirected to dict" + leavesHttp, {"HEAD /to-dict 302"}},
      {nginx.url("/to-ftp"), "Error : the server redirected to ftp" + leavesHttp, {"HEAD /to-ftp 302"}},
      {untrusted.url("/agent"), "Error : " + curlText(CURLE_PEER_FAILED_VERIFICATION), {}},
      {closed.url("/agent"), "Error : " + curlText(CURLE_COULDNT_CONNECT), {}},
      {"", "Error : " + curlText(CURLE_URL_MALFORMAT), {}},  // an empty URL is used as given
  };
  unpackAgent();
  writeValidateString(cacheRoot(), "ETag: \"cached\"\r");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    server_.clearRequests();
    nginx.clearAccessLog();
    untrusted.clearAccessLog();
    EXPECT_FALSE(fetch(c.url));
    EXPECT_EQ(std::vector<std::string>{kFailedFrom + c.url + c.tail}, reportedMessages());
    std::vector<std::string> seen = server_.requests();
    for (const NginxServer* each : {&nginx, &untrusted})
      for (const std::string& request : each->accessLogRequests()) seen.push_back(request);
    EXPECT_EQ(c.requests, seen);
    EXPECT_EQ("", readFile(dest()));
    EXPECT_TRUE(fileExists(cachedScript())) << "a failed check must not touch the cache";
    EXPECT_EQ("ETag: \"cached\"\r", storedTag());
  }
}

TEST_F(DownloadScriptTest, RedirectChainCountsAsItsLastAnswerWithItsTag) {
  server_.setRoute("/a", answer(301, {{"Location", "/b"}, {"ETag", "\"one\""}}));
  server_.setRoute("/b", answer(302, {{"Location", server_.url("/c")}, {"ETag", "\"two\""}}));
  server_.setRoute("/c", answer(200, {{"ETag", "\"three\""}}, "archive at the end"));

  EXPECT_TRUE(fetch(server_.url("/a")));
  EXPECT_EQ(std::vector<std::string>{}, reportedMessages());
  EXPECT_EQ("archive at the end", readFile(dest()));
  EXPECT_EQ("ETag: \"three\"\r", storedTag());
  EXPECT_EQ((std::vector<std::string>{"HEAD /a 301", "HEAD /b 302", "HEAD /c 200", "GET /a 301",
                                      "GET /b 302", "GET /c 200"}),
            server_.requests());

  unpackAgent();
  server_.clearRequests();
  EXPECT_TRUE(fetch(server_.url("/a")));
  EXPECT_EQ((std::vector<std::string>{"HEAD /a 301", "HEAD /b 302", "HEAD /c 200"}),
            server_.requests());
}

// The tag of a redirect hop describes the redirect, not the archive: kept, it
// would make an agent that changed on the server look current for ever.
TEST_F(DownloadScriptTest, TagOfARedirectHopIsNotTheArchivesTag) {
  server_.setRoute("/a", answer(301, {{"Location", "/b"}, {"ETag", "\"one\""}}));
  server_.setRoute("/b", answer(200, {}, "untagged archive"));
  writeValidateString(cacheRoot(), "ETag: \"one\"\r");
  for (int run = 1; run <= 2; ++run) {
    unpackAgent();
    EXPECT_TRUE(fetch(server_.url("/a"))) << run;
    EXPECT_EQ(run, server_.countRequests("GET /b")) << "every run must download";
    EXPECT_EQ("untagged archive", readFile(dest()));
  }
}

TEST_F(DownloadScriptTest, TagLinesOfAnyFormAreStoredAndComparedWhole) {
  struct {
    std::string name;
    std::string value;
  } cases[] = {
      {"ETag", "\"plain\""},
      {"etag", "\"lower-case name\""},
      {"ETAG", "W/\"weak\""},
      {"ETag", "\"" + std::string(200, 'x') + "\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + ": " + c.value);
    shellOrDie("rm -rf " + cacheRoot() + "installagent " + cacheRoot() + ".validatestring");
    server_.setRoute("/agent", answer(200, {{c.name, c.value}}, "archive"));
    server_.clearRequests();
    EXPECT_TRUE(fetch(server_.url("/agent")));
    EXPECT_EQ(c.name + ": " + c.value + "\r", storedTag());

    unpackAgent();
    EXPECT_TRUE(fetch(server_.url("/agent")));
    EXPECT_EQ(1, server_.countRequests("GET")) << "the same tag again: no download";

    // A change in the very last byte, far past any fixed-size buffer, is a new archive.
    std::string changed = c.value;
    changed.insert(changed.size() - 1, "2");
    server_.setRoute("/agent", answer(200, {{c.name, changed}}, "new archive"));
    EXPECT_TRUE(fetch(server_.url("/agent")));
    EXPECT_EQ(2, server_.countRequests("GET"));
    EXPECT_EQ(c.name + ": " + changed + "\r", storedTag());
    EXPECT_EQ("new archive", readFile(dest()));
  }
}

TEST_F(DownloadScriptTest, WithoutATagEveryRunDownloadsAndTheOldTagFileStays) {
  server_.setRoute("/agent", answer(200, {{"Content-Type", "application/zip"}}, "untagged"));
  writeValidateString(cacheRoot(), "ETag: \"old\"\r");
  for (int run = 1; run <= 2; ++run) {
    unpackAgent();
    EXPECT_TRUE(fetch(server_.url("/agent"))) << run;
    EXPECT_EQ(run, server_.countRequests("GET"));
    EXPECT_EQ("untagged", readFile(dest()));
    EXPECT_EQ("ETag: \"old\"\r", storedTag());
  }
}

TEST_F(DownloadScriptTest, StalledServerIsAbandoned) {
  const std::string body(4000, 'z');
  server_.setRoute("/silent", answer(200, {}, body, ScriptedResponse::kStallBeforeAnswer));
  server_.setRoute("HEAD", "/silent-get", answer(200, {{"ETag", "\"s\""}}));
  server_.setRoute("GET", "/silent-get", answer(200, {}, body, ScriptedResponse::kStallBeforeAnswer));
  server_.setRoute("/half-body", answer(200, {{"ETag", "\"h\""}}, body, ScriptedResponse::kStallMidBody));
  // nginx answers the HEAD and keeps the connection open; the GET on it
  // reaches the silent route.
  server_.setRoute("GET", "/kept-open", answer(200, {}, body, ScriptedResponse::kStallBeforeAnswer));
  mkdir((tmp_ / "www").c_str(), 0700);
  writeFile(tmp_ / "www/kept-open", "agent");
  NginxServer nginx(tmp_ / "www", {"", "",
                                   "location = /kept-open { if ($request_method = GET) { "
                                   "proxy_pass http://127.0.0.1:" + std::to_string(server_.port()) +
                                       "; } }\n"});
  ASSERT_TRUE(nginx.started());
  // The kernel accepts connections for a socket that listens, whether or not
  // its program ever takes them: a TLS handshake there gets no answer.
  const int listening = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_TRUE(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
              listen(listening, 8) == 0 &&
              getsockname(listening, reinterpret_cast<sockaddr*>(&address), &length) == 0);
  const std::string tlsNeverAnswered =
      "https://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/agent";
  TransferLimits limits;
  limits.stallSeconds = 2;
  limits.connectSeconds = 2;
  for (const std::string& url : {server_.url("/silent"), server_.url("/silent-get"),
                                 server_.url("/half-body"), nginx.url("/kept-open"),
                                 tlsNeverAnswered}) {
    SCOPED_TRACE(url);
    EXPECT_FALSE(fetch(url, limits));
    EXPECT_EQ(std::vector<std::string>{kFailedFrom + url + "Error : " + curlText(CURLE_OPERATION_TIMEDOUT)},
              reportedMessages());
    EXPECT_FALSE(hasStoredTag()) << "a tag stored for a cut archive would make it current";
  }
  close(listening);
}

// A connect that nothing answers, as behind a firewall that drops packets,
// ends at the connect limit, well before the stall limit, and the message
// names the host instead of libcurl's "Timeout was reached", which reads like
// a stall. With a proxy set, the connect went to the proxy. A server that took
// the connection and then went silent did answer: StalledServerIsAbandoned.
TEST_F(DownloadTest, ConnectThatNothingAnswersEndsAtTheConnectLimit) {
  const UnansweredLoopbackPort unanswered;
  const ClosedLoopbackPort closed;
  const std::string dropped = unanswered.hostAndPort();
  const std::string refusing = "127.0.0.1:" + std::to_string(closed.port());
  const std::string timedOut = " (the connection timed out)";
  struct {
    std::vector<std::pair<const char*, std::string>> proxyVariables;
    std::string url;
    std::string why;
  } cases[] = {
      {{}, "http://" + dropped + "/agent", "nothing answered at " + dropped + timedOut},
      {{}, "https://" + dropped + "/agent", "nothing answered at " + dropped + timedOut},
      {{{"http_proxy", "http://" + dropped}}, "http://" + refusing + "/agent",
       "nothing answered at " + refusing + " or at the proxy that http_proxy names" + timedOut},
      {{{"HTTPS_PROXY", dropped}}, "https://user:secret@" + refusing + "/agent?x=1",
       "nothing answered at " + refusing + " or at the proxy that HTTPS_PROXY names" + timedOut},
      // libcurl passes over an empty variable.
      {{{"http_proxy", ""}, {"ALL_PROXY", "http://" + dropped}}, "http://" + refusing + "/",
       "nothing answered at " + refusing + " or at the proxy that ALL_PROXY names" + timedOut},
  };
  std::vector<std::unique_ptr<ScopedEnv>> proxies;
  for (const std::string& name : kProxyVariables)
    proxies.push_back(std::make_unique<ScopedEnv>(name.c_str(), std::nullopt));
  TransferLimits limits;
  limits.connectSeconds = 2;

  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    std::vector<std::unique_ptr<ScopedEnv>> proxy;
    for (const auto& [name, value] : c.proxyVariables)
      proxy.push_back(std::make_unique<ScopedEnv>(name, value));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(fetch(c.url, limits));
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(std::vector<std::string>{kFailedFrom + c.url + "Error : " + c.why},
              reportedMessages());
    EXPECT_GE(took.count(), 1.5) << "seconds: the connect limit is 2";
    EXPECT_LT(took.count(), 30) << "seconds: the connect limit, not the 60 s stall limit";
    EXPECT_EQ("", readFile(dest()));
    EXPECT_FALSE(hasStoredTag());
  }
}

TEST_F(DownloadScriptTest, FullDiskFailsTheDownload) {
  struct {
    size_t size;
    std::string why;
  } cases[] = {
      // Small enough to stay in stdio's buffer: the failure shows when the file is closed.
      {100, "No space left on device"},
      {1 << 20, curlText(CURLE_WRITE_ERROR)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    server_.setRoute("/agent", answer(200, {{"ETag", "\"big\""}}, std::string(c.size, 'a')));
    EXPECT_FALSE(fetchInto(server_.url("/agent"), "/dev/full"));
    EXPECT_EQ(std::vector<std::string>{kFailedFrom + server_.url("/agent") + "Error : " + c.why},
              reportedMessages());
    EXPECT_FALSE(hasStoredTag());
  }
}

TEST_F(DownloadScriptTest, FailuresBeforeAnyRequest) {
  server_.setRoute("/agent", answer(200, {{"ETag", "\"a\""}}, "archive"));

  EXPECT_FALSE(fetchInto(server_.url("/agent"), tmp_ / "no/such/dir/InstallAgent.zip"));
  EXPECT_EQ(std::vector<std::string>{"Failed to download the TVE with No such file or directory"},
            reportedMessages());

  TransferLimits noHandle;
  noHandle.newHandle = []() -> CURL* { return nullptr; };
  EXPECT_FALSE(fetch(server_.url("/agent"), noHandle));
  EXPECT_EQ(std::vector<std::string>{
                "Failed to initialize CURL library to download the TVE Installer from " +
                server_.url("/agent") + "Error : " + curlText(CURLE_FAILED_INIT)},
            reportedMessages());

  EXPECT_EQ(std::vector<std::string>{}, server_.requests());
  EXPECT_FALSE(hasStoredTag());
}

TEST_F(DownloadScriptTest, TerminationSignalEndsTheTransferWithoutAMessage) {
  server_.setRoute("/agent", stalledAnswer());
  const int caught[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};
  struct sigaction old[4];
  for (int i = 0; i < 4; ++i) sigaction(caught[i], nullptr, &old[i]);
  catchInterrupts();

  const int killer = startProcess(
      {{"/bin/sh", "-c", "sleep 0.5; kill -TERM " + std::to_string(getpid())}, {}, {}, "", ""});
  const auto started = std::chrono::steady_clock::now();
  const bool fetched = fetch(server_.url("/agent"));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
  const int signal = pendingInterrupt();
  waitProcess(killer);
  clearPendingInterrupt();
  for (int i = 0; i < 4; ++i) sigaction(caught[i], &old[i], nullptr);

  EXPECT_FALSE(fetched);
  EXPECT_EQ(SIGTERM, signal);
  EXPECT_LT(took.count(), 10) << "seconds: the signal, not the 60 s stall limit, must end it";
  EXPECT_EQ(std::vector<std::string>{}, reportedMessages())
      << "the process is about to end by the signal; a message would only mislead";
}
