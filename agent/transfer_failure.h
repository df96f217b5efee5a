#ifndef KV_AGENT_TRANSFER_FAILURE_H_
#define KV_AGENT_TRANSFER_FAILURE_H_

#include <string>

#include <curl/curl.h>

#include "agent/curl_library.h"

/// Why a transfer from url on the handle failed with code, for the user:
/// libcurl's text; for a redirect the handle refused, which protocol the
/// server redirected to and what is allowed instead; for a connection that
/// nothing answered in time, the host (and the proxy, when one is set).
std::string transferFailureReason(const CurlLibrary& lib, CURL* curl, const std::string& url,
                                  CURLcode code);

#endif  // KV_AGENT_TRANSFER_FAILURE_H_
