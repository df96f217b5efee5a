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

// The proxy libcurl takes for a URL from the environment, as far as a
// message names it: never what the user wrote before the host.
struct ProxySetting {
  const char* variable = nullptr;
  std::string scheme;       ///< "http" when the variable names none
  std::string hostAndPort;  ///< libcurl's default port when it names none
  bool hasCredentials = false;
};

bool proxySettingFor(const std::string& url, ProxySetting* proxy) {
  proxy->variable = proxyVariableFor(url);
  const char* setting = proxy->variable != nullptr ? getenv(proxy->variable) : nullptr;
  if (setting == nullptr) return false;
  const std::string value = setting;
  const UrlParts parts = parseUrl(value);
  proxy->scheme = parts.scheme.empty() ? "http" : lowerCase(parts.scheme);
  proxy->hostAndPort = std::string(parts.authority);
  // libcurl takes a proxy without a port to be at 1080, an https one at 443.
  const size_t brackets = !parts.authority.empty() && parts.authority[0] == '[' ? 2 : 0;
  if (parts.authority.size() == parts.host.size() + brackets)
    proxy->hostAndPort += proxy->scheme == "https" ? ":443" : ":1080";
  const size_t hostStart = parts.scheme.empty() ? 0 : value.find("://") + 3;
  proxy->hasCredentials = value.find('@', hostStart) < value.find_first_of("/?#", hostStart);
  return true;
}

void appendProxyName(const ProxySetting& proxy, std::string* reason) {
  *reason += "the proxy ";
  *reason += proxy.hostAndPort;
  *reason += " that ";
  *reason += proxy.variable;
  *reason += " names";
}

// What to do about a 407: give a user name and password, or others.
void appendCredentialsAdvice(const ProxySetting& proxy, std::string* reason) {
  if (proxy.hasCredentials) {
    *reason += "; it did not accept the user name and password that ";
    *reason += proxy.variable;
    *reason += " gives";
    return;
  }
  *reason += "; it wants a user name and password: give them in ";
  *reason += proxy.variable;
  *reason += " as ";
  *reason += proxy.scheme;
  *reason += "://USER:PASSWORD@";
  *reason += proxy.hostAndPort;
}

// A CONNECT the proxy answered with status: where the tunnel was to lead.
std::string refusedTunnelReason(const std::string& url, long status) {
  ProxySetting proxy;
  const bool named = proxySettingFor(url, &proxy);
  std::string reason;
  if (named)
    appendProxyName(proxy, &reason);
  else
    reason = "the proxy";
  reason += " refused the tunnel to ";
  reason += parseUrl(url).authority;
  reason += " with HTTP code ";
  reason += std::to_string(status);
  if (named && status == 407) appendCredentialsAdvice(proxy, &reason);
  return reason;
}

// The host whose certificate was checked: the URL's, or the redirect's
// target that libcurl was connecting to.
std::string certificateHost(const CurlLibrary& lib, CURL* curl, const std::string& url) {
  const char* current = nullptr;
  if (lib.easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &current) == CURLE_OK && current != nullptr)
    return std::string(parseUrl(current).authority);
  return std::string(parseUrl(url).authority);
}

// libcurl's own words for the failure, when it left some: which check failed.
void appendInParentheses(const HandleContext* context, std::string* reason) {
  if (context == nullptr || context->errors[0] == '\0') return;
  *reason += " (";
  *reason += context->errors;
  *reason += ")";
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
  std::string reason;
  if (!proxySettingFor(url, &proxy)) return reason;
  appendProxyName(proxy, &reason);
  if (status == 407) appendCredentialsAdvice(proxy, &reason);
  return reason;
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
    return "the server redirected to " + lowerCase(parseUrl(target).scheme) + ", a protocol that is not allowed (" +
           allowed + ")";
  }
  // A proxy that refused the tunnel said why, though libcurl reports only a
  // failure to receive.
  long connectStatus = 0;
  if (lib.easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
      connectStatus >= 400)
    return refusedTunnelReason(url, connectStatus);
  const HandleContext* context = handleContext(lib, curl);
  std::string reason;
  if (isCertificateRefused(code)) {
    reason = "the certificate of ";
    reason += certificateHost(lib, curl, url);
    reason += " did not verify";
    appendInParentheses(context, &reason);
    reason += "; to trust a certificate authority of your network, set SSL_CERT_FILE or "
              "CURL_CA_BUNDLE to a file of its certificates, or SSL_CERT_DIR to a directory of them";
    return reason;
  }
  if (code == CURLE_SSL_CACERT_BADFILE && context != nullptr && context->config != nullptr &&
      !context->config->caFile.empty()) {
    reason = "the certificate authorities in ";
    reason += context->config->caFile;
    reason += ", which ";
    reason += context->config->caFileVariable;
    reason += " names, cannot be read";
    appendInParentheses(context, &reason);
    return reason;
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
