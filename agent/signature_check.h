#ifndef KV_AGENT_SIGNATURE_CHECK_H_
#define KV_AGENT_SIGNATURE_CHECK_H_

// Compiled only into builds made with KV_AGENT_PUBLIC_KEY.

#include <string>

#include <curl/curl.h>

#include "agent/curl_library.h"
#include "bootstrap/report.h"

/// The id of the key built in, as minisign prints it (16 hex digits).
extern const char kAgentKeyId[];

/// Downloads the signature of the agent at url on the handle of the agent's own
/// download (so with its limits) and checks the archive at archivePath with
/// it, and that it was not signed before the agent last verified in the cache
/// at cacheRoot (see signing_time.h). False after reporting why; nothing is
/// reported when a SIGTERM or SIGHUP cut the transfer short.
bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const std::string& url,
                        const std::string& archivePath, const std::string& cacheRoot,
                        ReportFn report);

#endif  // KV_AGENT_SIGNATURE_CHECK_H_
