#include "agent/agent_url.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// The length of the scheme and "://" the URL starts with, or 0 for any other scheme.
size_t httpPrefixLength(const char* url) {
  if (strncasecmp(url, "http://", 7) == 0) return 7;
  if (strncasecmp(url, "https://", 8) == 0) return 8;
  return 0;
}

}  // namespace

bool isHttpsUrl(const std::string& url) { return strncasecmp(url.c_str(), "https://", 8) == 0; }

const char* agentBaseUrlProblem(const char* url) {
  for (const char* c = url; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte <= ' ' || byte == 0x7f) return "holds a blank or a control byte";
  }
  const size_t prefix = httpPrefixLength(url);
  if (prefix == 0) return "does not start with http:// or https://";
  // The host is what comes before the path, the query or the fragment,
  // without a user before it or a port after it.
  const char* authority = url + prefix;
  const char* end = authority + strcspn(authority, "/?#");
  for (const char* at = authority; at < end; ++at)
    if (*at == '@') authority = at + 1;
  if (authority == end || *authority == ':') return "has no host";
  return nullptr;
}

std::string urlHost(const std::string& url) {
  const size_t start = httpPrefixLength(url.c_str());
  if (start == 0) return "";
  std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
  authority.erase(0, authority.rfind('@') + 1);  // npos + 1 == 0: nothing to erase
  std::string host;
  if (!authority.empty() && authority[0] == '[') {
    host = authority.substr(1, authority.find(']') - 1);
  } else {
    host = authority.substr(0, authority.find(':'));
  }
  for (char& c : host) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return host;
}

bool isReservedInvalidHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();  // the root's dot
  const std::string tld = "invalid";
  return name == tld || (name.size() > tld.size() &&
                         name.compare(name.size() - tld.size() - 1, std::string::npos, "." + tld) == 0);
}

std::string stableHashText(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325u;
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3u;
  }
  char hex[17];
  snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
  return hex;
}
