#ifndef KV_AGENT_AGENT_PATHS_H_
#define KV_AGENT_AGENT_PATHS_H_

#include <string>

/// The names in the agent cache, each known here alone.
inline constexpr char kAgentDirName[] = "installagent";
inline constexpr char kValidateFileName[] = ".validatestring";
inline constexpr char kSigningTimeFileName[] = ".signingtime";
inline constexpr char kLockFileName[] = ".lock";

/// The header whose line identifies the agent archive.
inline constexpr char kETagPrefix[] = "ETag: ";

/// What the install agent is found under that the build and the package
/// decide. Built once, before main, and the same for every source file.
struct AgentPaths {
  /// The package's own agent URL, from the base in the bootstrap's record.
  std::string agentUrl;
  /// ".korvex/installagent/<release>/<platform>/"
  std::string cacheSubdir;
};

extern const AgentPaths kAgentPaths;

/// The header line that identified the agent archive last downloaded: the whole
/// "ETag: ..." line without its final line feed (so usually ending in '\r').
using ValidateString = std::string;

/// $KV_INTERNAL_INSTALL_AGENT_URL when it is set (even empty), else the package's URL.
std::string installAgentUrl();

/// "" for the built-in agent URL; for any other, "url-<hash of the URL>/":
/// agents from different servers may carry the same tag, so each URL keeps
/// a cache of its own.
std::string agentSourceDirName(const std::string& agentUrl);

/// The cache below HOME: the cache subdirectory + the directory of the agent
/// URL in use + "signed-<key id>/" when agents are checked with a key.
std::string agentCacheSubdir();

/// $HOME (or /tmp when HOME is unset or empty) + "/" + agentCacheSubdir().
std::string agentCacheRoot();

/// dir + "/" (unless dir is empty or ends with one) + "install".
std::string installScriptPath(const std::string& dir);

/// The cached agent's directory (ending in "/") when its install script exists, else "".
std::string findCachedAgent();

/// Stores value as the validation file in dir; does nothing when either is empty.
void writeValidateString(const std::string& dir, const ValidateString& value);

/// True when the first line of dir's validation file equals value byte for byte.
/// An empty value is never current.
bool isValidateStringCurrent(const std::string& dir, const ValidateString& value);

/// The validation file's path in dir.
std::string validateFilePath(const std::string& dir);

/// The file in the cache root of a build that checks signatures that holds
/// the signing time of the agent it last verified (see signing_time.h).
std::string signingTimeFilePath(const std::string& cacheRoot);

#endif  // KV_AGENT_AGENT_PATHS_H_
