// What the user reads when a libcurl transfer fails, for the agent's
// download and its signature's alike.
#include "agent/transfer_failure.h"

#include <cstdlib>

#include "formats/agent_url.h"

namespace {

// The variable libcurl takes the URL's proxy from, when one is set: the
// scheme's own (only in lower case for http), else ALL_PROXY; libcurl passes
// over empty ones. no_proxy is not looked at, so the proxy is only a maybe.
const char* proxyVariableFor(const std::string& url) {
  static const char* const kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY", nullptr};
  static const char* const kHttps[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                       nullptr};
  for (const char* const* name = isHttpsUrl(url) ? kHttps : kHttp; *name != nullptr; ++name) {
    const char* value = getenv(*name);
    if (value != nullptr && *value != '\0') return *name;
  }
  return nullptr;
}

// A connect that ran out of time, for the user: libcurl's "Timeout was
// reached" reads like a stalled transfer. Without a connection there was no
// redirect, so the host is the URL's own, or the proxy's.
std::string unansweredConnectReason(const std::string& url) {
  std::string reason = "nothing answered at ";
  reason += parseUrl(url).authority;
  if (const char* proxy = proxyVariableFor(url)) {
    reason += " or at the proxy that ";
    reason += proxy;
    reason += " names";
  }
  reason += " (the connection timed out)";
  return reason;
}

}  // namespace

std::string transferFailureReason(const CurlLibrary& lib, CURL* curl, const std::string& url,
                                  CURLcode code) {
  // libcurl's own words for a refused redirect ("Unsupported protocol") would
  // blame the agent URL. The last answer was the redirect, and the URL libcurl
  // stopped at is its target.
  long status = 0;
  const char* target = nullptr;
  if (code == CURLE_UNSUPPORTED_PROTOCOL &&
      lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status >= 300 &&
      status < 400 && lib.easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &target) == CURLE_OK &&
      target != nullptr) {
    const std::string allowed = isHttpsUrl(url) ? "an https agent URL may lead to https only"
                                             : "an http agent URL may lead to http and https only";
    return "the server redirected to " + lowerCase(parseUrl(target).scheme) + ", a protocol that is not allowed (" +
           allowed + ")";
  }
  // Only a connect that never got through may be told as one: a server that
  // took the connection and then went silent, in the TLS handshake or after
  // the request, did answer. libcurl counts the connections a request made
  // once TCP is through (on every version from 7.29.0 on), while some versions
  // report the peer's address only once TLS is up too; a reused connection
  // counts none but keeps its address.
  long connections = -1;
  const char* peer = nullptr;
  if (code == CURLE_OPERATION_TIMEDOUT &&
      lib.easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connections) == CURLE_OK &&
      connections == 0 && lib.easy_getinfo(curl, CURLINFO_PRIMARY_IP, &peer) == CURLE_OK &&
      (peer == nullptr || *peer == '\0'))
    return unansweredConnectReason(url);
  return lib.easy_strerror(code);
}
