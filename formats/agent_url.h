#ifndef KV_FORMATS_AGENT_URL_H_
#define KV_FORMATS_AGENT_URL_H_

// What an agent URL is made of, and what the base a vendor sets may be: one
// reading of URLs for the bootstrap, its messages and kv-pack.

#include <string>
#include <string_view>

/// The release the agents are made for: part of every agent URL and of the
/// per-user cache's path.
inline constexpr char kReleaseLabel[] = "V7031c";

/// A URL as written, taken apart as far as the program looks into one: views
/// into the text, which must outlive them.
struct UrlParts {
  std::string_view scheme;     ///< before "://"; empty when there is no "://"
  std::string_view authority;  ///< host and port, without a user or password
  std::string_view host;       ///< without port or brackets
};

/// Takes url apart: the authority runs to the first "/", "?" or "#" after the
/// scheme (from the start when there is none), and ends a user part at its last "@".
UrlParts parseUrl(std::string_view url);

/// The text in lower case (ASCII letters only), as schemes and host names compare.
std::string lowerCase(std::string_view text);

/// Why url cannot be the base the install agent is downloaded from, which
/// needs http:// or https:// (in any letter case), a host, and no blank or
/// control byte anywhere: a text that completes "the agent URL ..." ("has
/// no host", ...); nullptr when it can.
const char* agentBaseUrlProblem(const char* url);

/// True for an https:// URL (in any letter case): the redirects it may take
/// and the proxy variables that apply differ from an http:// one's.
bool isHttpsUrl(const std::string& url);

/// True for a host under the reserved top-level name "invalid", which never
/// resolves: a build's placeholder, not a vendor's server.
bool isReservedInvalidHost(const std::string& host);

/// The text without the slashes it ends with: a vendor may write a base with
/// one, and the agent's file name brings its own.
std::string withoutTrailingSlashes(std::string text);

/// The agent URL for a base and a platform tag:
/// base + "/pi_install_agent_pi_" + kReleaseLabel + "_" + platform.
std::string agentUrlFor(const std::string& base, const char* platformTag);

/// A stable 64-bit hash of the text in 16 hex digits (FNV-1a): names the
/// cache kept for an agent URL on every machine and in every release.
std::string stableHashText(const std::string& text);

#endif  // KV_FORMATS_AGENT_URL_H_
