#include "formats/agent_url.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstdio>

std::string lowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower;
}

UrlParts parseUrl(std::string_view url) {
  UrlParts parts;
  size_t start = 0;
  const size_t schemeEnd = url.find("://");
  if (schemeEnd != std::string_view::npos && url.find_first_of("/?#") > schemeEnd) {
    parts.scheme = url.substr(0, schemeEnd);
    start = schemeEnd + 3;
  }
  std::string_view authority = url.substr(start, url.find_first_of("/?#", start) - start);
  const size_t at = authority.rfind('@');
  if (at != std::string_view::npos) authority.remove_prefix(at + 1);
  parts.authority = authority;
  if (!authority.empty() && authority[0] == '[') {
    parts.host = authority.substr(1, authority.find(']') - 1);
  } else {
    parts.host = authority.substr(0, authority.find(':'));
  }
  return parts;
}

bool isHttpsUrl(const std::string& url) { return strncasecmp(url.c_str(), "https://", 8) == 0; }

const char* agentBaseUrlProblem(const char* url) {
  for (const char* c = url; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (byte <= ' ' || byte == 0x7f) return "holds a blank or a control byte";
  }
  const UrlParts parts = parseUrl(url);
  if (strncasecmp(url, "http://", 7) != 0 && strncasecmp(url, "https://", 8) != 0)
    return "does not start with http:// or https://";
  if (parts.authority.empty() || parts.authority[0] == ':') return "has no host";
  return nullptr;
}

bool isReservedInvalidHost(const std::string& host) {
  std::string name = host;
  if (!name.empty() && name.back() == '.') name.pop_back();  // the root's dot
  const std::string tld = "invalid";
  return name == tld || (name.size() > tld.size() &&
                         name.compare(name.size() - tld.size() - 1, std::string::npos, "." + tld) == 0);
}

std::string withoutTrailingSlashes(std::string text) {
  while (!text.empty() && text.back() == '/') text.pop_back();
  return text;
}

std::string agentUrlFor(const std::string& base, const char* platformTag) {
  return withoutTrailingSlashes(base) + "/pi_install_agent_pi_" + kReleaseLabel + "_" + platformTag;
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
