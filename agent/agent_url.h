#ifndef KV_AGENT_AGENT_URL_H_
#define KV_AGENT_AGENT_URL_H_

#include <string>

/// True when url can be the base the install agent is downloaded from:
/// http:// or https:// (in any letter case) and a host, with no blank and
/// no control byte anywhere. Otherwise false, with *why completing "the
/// agent URL ..." ("has no host", ...).
bool checkAgentBaseUrl(const std::string& url, std::string* why);

/// The host of an http(s) URL, in lower case, without user, port or brackets.
std::string urlHost(const std::string& url);

/// True for a host under the reserved top-level name "invalid", which never
/// resolves: a build's placeholder, not a vendor's server.
bool isReservedInvalidHost(const std::string& host);

/// A stable 64-bit hash of the text in 16 hex digits (FNV-1a): names the
/// cache kept for an agent URL on every machine and in every release.
std::string stableHashText(const std::string& text);

#endif  // KV_AGENT_AGENT_URL_H_
