// What the user reads when a libcurl transfer fails, for the agent's
// download and its signature's alike.
#include "agent/transfer_failure.h"

#include <cstdlib>

#include "agent/request.h"
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

// The proxy libcurl takes for a URL from the environment, as the user wrote it.
struct ProxySetting {
  const char* variable = nullptr;
  std::string value;
};

bool proxySettingFor(const std::string& url, ProxySetting* proxy) {
  proxy->variable = proxyVariableFor(url);
  if (proxy->variable == nullptr) return false;
  proxy->value = getenv(proxy->variable);
  return true;
}

// libcurl takes a proxy without a port to be at 1080, an https one at 443.
std::string proxyHostAndPort(const ProxySetting& proxy) {
  const UrlParts parts = parseUrl(proxy.value);
  const size_t brackets = !parts.authority.empty() && parts.authority[0] == '[' ? 2 : 0;
  if (parts.authority.size() > parts.host.size() + brackets) return parts.authority;
  return parts.authority + (parts.scheme == "https" ? ":443" : ":1080");
}

// Its host and port and where they come from; never what precedes the host.
std::string proxyName(const ProxySetting& proxy) {
  return "the proxy " + proxyHostAndPort(proxy) + " that " + proxy.variable + " names";
}

// What to do about a 407: give a user name and password, or others.
std::string credentialsAdvice(const ProxySetting& proxy) {
  const std::string& value = proxy.value;
  const size_t hostStart = value.find("://") == std::string::npos ? 0 : value.find("://") + 3;
  const size_t authorityEnd = value.find_first_of("/?#", hostStart);
  if (value.substr(hostStart, authorityEnd - hostStart).find('@') != std::string::npos)
    return std::string("; it did not accept the user name and password that ") + proxy.variable +
           " gives";
  const std::string scheme = parseUrl(value).scheme.empty() ? "http" : parseUrl(value).scheme;
  return std::string("; it wants a user name and password: give them in ") + proxy.variable +
         " as " + scheme + "://USER:PASSWORD@" + proxyHostAndPort(proxy);
}

// A CONNECT the proxy answered with status: where the tunnel was to lead.
std::string refusedTunnelReason(const std::string& url, long status) {
  ProxySetting proxy;
  const bool named = proxySettingFor(url, &proxy);
  std::string reason = (named ? proxyName(proxy) : std::string("the proxy")) +
                       " refused the tunnel to " + parseUrl(url).authority + " with HTTP code " +
                       std::to_string(status);
  if (named && status == 407) reason += credentialsAdvice(proxy);
  return reason;
}

// The host whose certificate was checked: the URL's, or the redirect's
// target that libcurl was connecting to.
std::string certificateHost(const CurlLibrary& lib, CURL* curl, const std::string& url) {
  const char* current = nullptr;
  if (lib.easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK && current != nullptr)
    return parseUrl(current).authority;
  return parseUrl(url).authority;
}

// libcurl's own words for the failure, when it left some: which check failed.
std::string inParentheses(const HandleContext* context) {
  if (context == nullptr || context->errors[0] == '\0') return std::string();
  return std::string(" (") + context->errors + ")";
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

// libcurl before 7.62.0 told a certificate that is not its host's (51)
// from one no trusted authority signed (60, "Peer certificate cannot be
// authenticated with given CA certificates"); later ones say 60 for both.
constexpr int kHostNotInCertificateBefore7_62 = 51;

bool isCertificateRefused(CURLcode code) {
  return code == CURLE_PEER_FAILED_VERIFICATION ||
         static_cast<int>(code) == kHostNotInCertificateBefore7_62;
}

}  // namespace

std::string proxyAnswerReason(const std::string& url, long status) {
  ProxySetting proxy;
  if (!proxySettingFor(url, &proxy)) return std::string();
  return proxyName(proxy) + (status == 407 ? credentialsAdvice(proxy) : std::string());
}

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
    return "the server redirected to " + parseUrl(target).scheme + ", a protocol that is not allowed (" +
           allowed + ")";
  }
  // Only a connect that never got through may be told as one: a server that
  // took the connection and then went silent, in the TLS handshake or after
  // the request, did answer. libcurl counts the connections a request made
  // once TCP is through (on every version from 7.29.0 on), while some versions
  // report the peer's address only once TLS is up too; a reused connection
  // counts none but keeps its address.
  long connectStatus = 0;
  if (lib.easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
      connectStatus >= 400)
    return refusedTunnelReason(url, connectStatus);
  const HandleContext* context = handleContext(lib, curl);
  if (isCertificateRefused(code))
    return "the certificate of " + certificateHost(lib, curl, url) + " did not verify" +
           inParentheses(context) +
           "; to trust a certificate authority of your network, set SSL_CERT_FILE or "
           "CURL_CA_BUNDLE to a file of its certificates, or SSL_CERT_DIR to a directory of them";
  if (code == CURLE_SSL_CACERT_BADFILE && context != nullptr && context->config != nullptr &&
      !context->config->caFile.empty())
    return "the certificate authorities in " + context->config->caFile + ", which " +
           context->config->caFileVariable + " names, cannot be read" + inParentheses(context);
  long connections = -1;
  const char* peer = nullptr;
  if (code == CURLE_OPERATION_TIMEDOUT &&
      lib.easy_getinfo(curl, CURLINFO_NUM_CONNECTS, &connections) == CURLE_OK &&
      connections == 0 && lib.easy_getinfo(curl, CURLINFO_PRIMARY_IP, &peer) == CURLE_OK &&
      (peer == nullptr || *peer == '\0'))
    return unansweredConnectReason(url);
  return lib.easy_strerror(code);
}
