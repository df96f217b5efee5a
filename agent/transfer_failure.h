#ifndef KV_AGENT_TRANSFER_FAILURE_H_
#define KV_AGENT_TRANSFER_FAILURE_H_

#include <string>

#include <curl/curl.h>

#include "agent/curl_library.h"

/// Why a transfer from url on the handle failed with code, for the user:
/// libcurl's text; for a redirect the handle refused, which protocol the
/// server redirected to and what is allowed instead; for a connection that
/// nothing answered in time, the host (and the proxy, when one is set); for
/// a proxy that refused the tunnel (CONNECT), the proxy and its answer; for a
/// certificate that did not verify, the host and the variables that name
/// other certificate authorities, with libcurl's own words
/// (CURLOPT_ERRORBUFFER, see request.h); for such a file that cannot be
/// read, the file and the variable that names it.
std::string transferFailureReason(const CurlLibrary& lib, CURL* curl, const std::string& url,
                                  CURLcode code);

/// For an answer `status` that the proxy for url gave (407: it wants a user
/// name and password): "the proxy HOST:PORT that VARIABLE names", and for 407
/// how to give them or that those given were refused. Never the password.
/// Empty when no proxy variable applies to url.
std::string proxyAnswerReason(const std::string& url, long status);

#endif  // KV_AGENT_TRANSFER_FAILURE_H_
