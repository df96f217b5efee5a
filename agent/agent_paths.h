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

/// What the build fixes about where the install agent is found. Built once,
/// before main, and the same for every source file.
struct AgentPaths {
  /// The build's own agent URL, from the base it was built with: the one the
  /// record's slot holds until kv-pack sets another.
  std::string agentUrl;
  /// ".korvex/installagent/<release>/<platform>/", below HOME.
  std::string cacheSubdir;
};

extern const AgentPaths kAgentPaths;

/// The header line that identified the agent archive last downloaded: the whole
/// "ETag: ..." line without its final line feed (so usually ending in '\r').
using ValidateString = std::string;

/// "" for the build's own agent URL; for any other, "url-<hash of the URL>/":
/// agents from different servers may carry the same tag, so each URL keeps
/// a cache of its own.
std::string agentSourceDirName(const std::string& agentUrl);

/// dir + "/" (unless dir is empty or ends with one) + "install".
std::string installScriptPath(const std::string& dir);

/// The cached agent's directory below cacheRoot (ending in "/") when its
/// install script exists, else "".
std::string findCachedAgent(const std::string& cacheRoot);

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
