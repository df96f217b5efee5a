#ifndef KV_AGENT_AGENT_URL_H_
#define KV_AGENT_AGENT_URL_H_

#include <string>

/// Why url cannot be the base the install agent is downloaded from, which
/// needs http:// or https:// (in any letter case), a host, and no blank or
/// control byte anywhere: a text that completes "the agent URL ..." ("has
/// no host", ...); nullptr when it can.
const char* agentBaseUrlProblem(const char* url);

/// True for an https:// URL (in any letter case): the redirects it may take
/// and the proxy variables that apply differ from an http:// one's.
bool isHttpsUrl(const std::string& url);

/// The host of an http(s) URL, in lower case, without user, port or brackets.
std::string urlHost(const std::string& url);

/// True for a host under the reserved top-level name "invalid", which never
/// resolves: a build's placeholder, not a vendor's server.
bool isReservedInvalidHost(const std::string& host);

/// A stable 64-bit hash of the text in 16 hex digits (FNV-1a): names the
/// cache kept for an agent URL on every machine and in every release.
std::string stableHashText(const std::string& text);

#endif  // KV_AGENT_AGENT_URL_H_
