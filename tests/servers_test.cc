// The web servers the download tests run against: what they log and that
// they leave nothing running behind them.
#include <curl/curl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "tests/nginx_server.h"
#include "tests/proxy_server.h"
#include "tests/script_server.h"
#include "tests/test_util.h"

namespace {

struct Answer {
  long status = 0;
  std::string headers;
  std::string body;
  CURLcode code = CURLE_OK;
};

size_t appendTo(char* data, size_t size, size_t count, void* text) {
  static_cast<std::string*>(text)->append(data, size * count);
  return size * count;
}

// Sends no User-Agent unless given one; goes through the proxy when given one.
Answer request(const std::string& url, bool head = false, const std::string& userAgent = "",
               const std::string& proxy = "") {
  Answer answer;
  CURL* curl = curl_easy_init();
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROXY, proxy.c_str());
  if (!userAgent.empty()) curl_easy_setopt(curl, CURLOPT_USERAGENT, userAgent.c_str());
  curl_easy_setopt(curl, CURLOPT_NOBODY, head ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &answer.headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendTo);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  answer.code = curl_easy_perform(curl);
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
  curl_easy_cleanup(curl);
  return answer;
}

}  // namespace

TEST(NginxServerTest, ServesTaggedFilesLogsEveryRequestAndStops) {
  ScopedTempDir tmp;
  mkdir((tmp / "www").c_str(), 0700);
  writeFile(tmp / "www/agent", "agent bytes");
  int port = 0;
  {
    NginxServer nginx(tmp / "www");
    ASSERT_TRUE(nginx.started());
    port = nginx.port();
    EXPECT_EQ("http://127.0.0.1:" + std::to_string(port) + "/agent", nginx.url("/agent"));

    Answer got = request(nginx.url("/agent"));
    EXPECT_EQ(200, got.status);
    EXPECT_EQ("agent bytes", got.body);
    EXPECT_NE(std::string::npos,
              got.headers.find("ETag: " + NginxServer::expectedETag(tmp / "www/agent") + "\r\n"))
        << got.headers;
    EXPECT_EQ(404, request(nginx.url("/missing"), true).status);
    EXPECT_EQ((std::vector<std::string>{"GET /agent 200", "HEAD /missing 404"}),
              nginx.accessLogRequests());

    nginx.clearAccessLog();
    EXPECT_EQ(std::vector<std::string>{}, nginx.accessLogRequests());
    request(nginx.url("/agent"), true);
    EXPECT_EQ(std::vector<std::string>{"HEAD /agent 200"}, nginx.accessLogRequests());
  }
  EXPECT_EQ(CURLE_COULDNT_CONNECT, request("http://127.0.0.1:" + std::to_string(port) + "/").code)
      << "nginx must be gone once the object is";
}

// The tests' proof that a run sent a User-Agent is nginx's answer to one
// that did not, and their proof that a run used the proxy is its log.
TEST(ProxyServerTest, ForwardsToNginxThatRefusesRequestsWithoutAUserAgentLogsAndStops) {
  ScopedTempDir tmp;
  mkdir((tmp / "www").c_str(), 0700);
  writeFile(tmp / "www/agent", "agent bytes");
  NginxServer nginx(tmp / "www", {"", "", kRefuseRequestsWithoutUserAgent});
  ASSERT_TRUE(nginx.started());
  std::string proxyUrl;
  {
    ProxyServer proxy;
    ASSERT_TRUE(proxy.started());
    proxyUrl = proxy.url();
    EXPECT_EQ(403, request(nginx.url("/agent"), true, "", proxyUrl).status);
    Answer got = request(nginx.url("/agent"), false, "tests/1", proxyUrl);
    EXPECT_EQ(200, got.status);
    EXPECT_EQ("agent bytes", got.body);
    EXPECT_EQ((std::vector<std::string>{"HEAD " + nginx.url("/agent") + " HTTP/1.1",
                                        "GET " + nginx.url("/agent") + " HTTP/1.1"}),
              proxy.requests());
    EXPECT_EQ("HEAD /agent 403,GET /agent 200", nginx.joinedAccessLog());
  }
  EXPECT_EQ(CURLE_COULDNT_CONNECT, request(nginx.url("/agent"), false, "tests/1", proxyUrl).code)
      << "the proxy must be gone once the object is";
}

TEST(ScriptServerTest, AnswersAsScriptedAndCountsRequestsPerMethod) {
  ScriptServer server;
  ASSERT_TRUE(server.started());
  ScriptedResponse odd;
  odd.status = 302;
  odd.headers = {{"etag", "\"lower\""}, {"Location", "/elsewhere"}};
  odd.body = std::string("bytes \0\x01\xff\"\\ kept", 17);
  server.setRoute("/odd", odd);
  ScriptedResponse headOnly;
  headOnly.status = 204;
  server.setRoute("HEAD", "/odd", headOnly);

  Answer got = request(server.url("/odd"));
  EXPECT_EQ(302, got.status);
  EXPECT_EQ(odd.body, got.body);
  EXPECT_NE(std::string::npos, got.headers.find("\r\netag: \"lower\"\r\nLocation: /elsewhere\r\n"))
      << got.headers;
  EXPECT_EQ(204, request(server.url("/odd"), true).status);
  EXPECT_EQ(404, request(server.url("/none?x=1")).status);

  EXPECT_EQ((std::vector<std::string>{"GET /odd 302", "HEAD /odd 204", "GET /none?x=1 404"}),
            server.requests());
  EXPECT_EQ(2, server.countRequests("GET"));
  EXPECT_EQ(1, server.countRequests("HEAD"));
  server.clearRequests();
  EXPECT_EQ(0, server.countRequests("GET"));
}

TEST(ScriptServerTest, StopsWithItsStalledConnections) {
  int port = 0;
  {
    ScriptServer server;
    ASSERT_TRUE(server.started());
    port = server.port();
  }
  EXPECT_EQ(CURLE_COULDNT_CONNECT, request("http://127.0.0.1:" + std::to_string(port) + "/").code);
}
