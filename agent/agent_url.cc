#include "agent/agent_url.h"

#include <strings.h>

#include <cctype>
#include <cstdint>
#include <cstdio>

namespace {

// The length of the scheme and "://" the URL starts with, or 0 for any other scheme.
size_t httpPrefixLength(const std::string& url) {
  for (const char* prefix : {"http://", "https://"}) {
    const std::string text = prefix;
    if (url.size() >= text.size() && strncasecmp(url.c_str(), prefix, text.size()) == 0)
      return text.size();
  }
  return 0;
}

}  // namespace

bool checkAgentBaseUrl(const std::string& url, std::string* why) {
  for (char c : url) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= ' ' || byte == 0x7f) {
      *why = "holds a blank or a control byte";
      return false;
    }
  }
  if (httpPrefixLength(url) == 0) {
    *why = "does not start with http:// or https://";
    return false;
  }
  if (urlHost(url).empty()) {
    *why = "has no host";
    return false;
  }
  return true;
}

std::string urlHost(const std::string& url) {
  const size_t start = httpPrefixLength(url);
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
