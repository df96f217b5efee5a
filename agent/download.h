#ifndef KV_AGENT_DOWNLOAD_H_
#define KV_AGENT_DOWNLOAD_H_

#include <cstddef>
#include <cstdio>
#include <string>

#include <curl/curl.h>

#include "agent/agent_config.h"
#include "agent/curl_library.h"
#include "agent/request.h"
#include "os/report.h"

/// A transfer that receives no byte for this long is abandoned.
constexpr long kStallTimeoutSeconds = 60;

/// A connection that is not made within this long is given up.
constexpr long kConnectTimeoutSeconds = 30;

/// More redirects than this in one request mean a loop.
constexpr long kMaxRedirects = 30;

/// The largest agent archive a download takes: 1 GiB. A broken or hostile
/// server would otherwise fill the disk that holds /tmp.
constexpr curl_off_t kMaxAgentBytes = curl_off_t{1} << 30;

/// Limits of one download; tests shorten them.
struct TransferLimits {
  long stallSeconds = kStallTimeoutSeconds;
  long connectSeconds = kConnectTimeoutSeconds;
  curl_off_t maxAgentBytes = kMaxAgentBytes;
  RetryDelays retryDelays;
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

/// Where the body of the agent's GET goes.
struct ArchiveWriter {
  const CurlLibrary& lib;
  CURL* curl;
  FILE* file;
  curl_off_t limit;            ///< more bytes than this are refused
  curl_off_t written = 0;
  long refusedStatus = 0;      ///< an error status whose body was not stored
  bool tooLarge = false;       ///< the body ran past limit
};

/// libcurl write function for an ArchiveWriter: appends the block to its file
/// and returns the number of bytes actually written; 0, which ends the
/// transfer, for the body of an answer of 400 or more and for a block that
/// would take the archive past its limit.
size_t writeCallback(char* data, size_t size, size_t count, void* writer);

#endif  // KV_AGENT_DOWNLOAD_H_
