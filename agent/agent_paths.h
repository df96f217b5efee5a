#ifndef KV_AGENT_AGENT_PATHS_H_
#define KV_AGENT_AGENT_PATHS_H_

#include <string>

/// The names, paths and URL the install agent is found under. Built once,
/// before main, and the same for every source file.
struct AgentPaths {
  const std::string kPathSeparator;
  const std::string kReleaseLabel;
  const std::string kNameJoiner;
  const std::string kPlatformTag;
  const std::string kAgentZipName;
  const std::string kAgentUrl;
  const std::string kAgentDirName;
  /// ".korvex/installagent/<release>/<platform>/", followed by "signed-<key id>/"
  /// in a build that checks signatures.
  const std::string kCacheSubdir;
  const std::string kValidateFileName;
  const std::string kETagPrefix;
};

extern const AgentPaths kAgentPaths;

/// The header line that identified the agent archive last downloaded: the whole
/// "ETag: ..." line without its final line feed (so usually ending in '\r').
using ValidateString = std::string;

/// $HOME (or /tmp when HOME is unset or empty) + "/" + the cache subdirectory.
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
