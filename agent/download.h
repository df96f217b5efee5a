#ifndef KV_AGENT_DOWNLOAD_H_
#define KV_AGENT_DOWNLOAD_H_

#include <cstddef>
#include <string>

#include <curl/curl.h>

#include "agent/agent_config.h"
#include "agent/curl_library.h"
#include "os/report.h"

/// A transfer that receives no byte for this long is abandoned.
constexpr long kStallTimeoutSeconds = 60;

/// A connection that is not made within this long is given up.
constexpr long kConnectTimeoutSeconds = 30;

/// More redirects than this in one request mean a loop.
constexpr long kMaxRedirects = 30;

/// Limits of one download; tests shorten them.
struct TransferLimits {
  long stallSeconds = kStallTimeoutSeconds;
  long connectSeconds = kConnectTimeoutSeconds;
  /// Makes the transfer handle; nullptr: libcurl's curl_easy_init. That fails
  /// only when memory runs out, so tests put a failing one here to see it reported.
  CURL* (*newHandle)() = nullptr;
};

/// libcurl, loaded for a download from url; nullptr after reporting that it
/// cannot be loaded.
const CurlLibrary* curlLibraryFor(const std::string& url, ReportFn report);

/// Fetches the agent archive from config's agent URL. See fetchAgentArchive().
bool downloadInstallAgent(const AgentConfig& config, const CurlLibrary& lib,
                          const std::string& destPath, ReportFn report);

/// Asks the server for the archive's entity tag; when the agent cached under
/// config's cache root is not current, removes it, downloads the archive into
/// destPath, checks it with config's keys and stores the tag. True when the
/// cached agent is current or the archive was downloaded; false after
/// reporting why not.
bool fetchAgentArchive(const AgentConfig& config, const CurlLibrary& lib,
                       const std::string& destPath, ReportFn report,
                       const TransferLimits& limits = TransferLimits());

/// libcurl header function: keeps the last "ETag: " line (any letter case) of
/// the latest response, without its final byte, in *buffer (a std::string); a
/// status line ("HTTP/...") starts a new response and clears it.
size_t headerCallback(char* line, size_t size, size_t count, void* buffer);

/// libcurl write function: appends the block to the FILE* and returns the
/// number of bytes actually written.
size_t writeCallback(char* data, size_t size, size_t count, void* file);

#endif  // KV_AGENT_DOWNLOAD_H_
