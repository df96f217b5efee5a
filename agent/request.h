#ifndef KV_AGENT_REQUEST_H_
#define KV_AGENT_REQUEST_H_

// One request of the agent download on its handle: the headers it keeps, and
// the brief retries of what a moment may cure. The agent's HEAD and GET and
// the signature's GET all go through performRequest().

#include <cstddef>
#include <ctime>
#include <string>

#include <curl/curl.h>

#include "agent/agent_config.h"
#include "agent/agent_paths.h"
#include "agent/curl_library.h"

/// How often a failed request is tried again, at most.
constexpr int kMaxRetries = 2;
/// The waits before the first and the second retry, unless the server asks otherwise.
constexpr long kFirstRetryDelaySeconds = 1;
constexpr long kSecondRetryDelaySeconds = 3;
/// The longest wait a server's Retry-After gets; it asks for longer in vain.
constexpr long kMaxRetryAfterSeconds = 10;

/// The waits between tries, in milliseconds; tests shorten them.
struct RetryDelays {
  long firstMs = kFirstRetryDelaySeconds * 1000;
  long secondMs = kSecondRetryDelaySeconds * 1000;
  long maxRetryAfterMs = kMaxRetryAfterSeconds * 1000;
};

/// What the agent's handle carries besides libcurl's own state, found from
/// the handle (CURLOPT_PRIVATE) by whatever makes a request on it or tells
/// why one failed: libcurl's own words for the last failure
/// (CURLOPT_ERRORBUFFER), the run's configuration, the waits between tries.
struct HandleContext {
  char errors[CURL_ERROR_SIZE] = {};
  const AgentConfig* config = nullptr;
  RetryDelays delays;
};

/// The context set on the handle; nullptr when it has none.
HandleContext* handleContext(const CurlLibrary& lib, CURL* curl);

/// What a download reads of a response's headers. Every response of a
/// redirect chain or of a proxy's CONNECT starts with a status line, which
/// clears both: only the final response's count.
struct ResponseHeaders {
  /// Its "ETag: " line (any letter case) without the line's final byte.
  ValidateString tagLine;
  /// The value of its Retry-After line, as sent.
  std::string retryAfter;
};

/// libcurl header function: keeps the last "ETag: " line (any letter case) of
/// the latest response, without its final byte, in *tag (a std::string); a
/// status line ("HTTP/...") starts a new response and clears it.
size_t headerCallback(char* line, size_t size, size_t count, void* tag);

/// libcurl header function for a ResponseHeaders: its tag as headerCallback
/// keeps it, and its Retry-After.
size_t responseHeaderCallback(char* line, size_t size, size_t count, void* headers);

/// How one request ended: libcurl's code, and the final response's status
/// (0 when none came).
struct RequestEnd {
  CURLcode code = CURLE_OK;
  long status = 0;
};

/// Performs the request set up on curl, its headers read into *headers. When
/// it fails in a way a moment may cure (worthRetrying), tries it again after
/// the wait retryDelayMs() gives, at most kMaxRetries times, calling
/// restart(restartData) first to drop what the failed try received. A signal
/// during a wait ends it at once with CURLE_ABORTED_BY_CALLBACK.
RequestEnd performRequest(const CurlLibrary& lib, CURL* curl, ResponseHeaders* headers,
                          void (*restart)(void*) = nullptr, void* restartData = nullptr);

/// True for what a moment may cure: a connection refused or reset, an empty
/// reply, an answer of 502, 503 or 504 (from the server, or from a proxy to
/// a CONNECT). Never a stall, a connect that timed out, a TLS failure or
/// another status. A write the download refused (CURLE_WRITE_ERROR) counts
/// by the status it was refused for.
bool worthRetrying(const CurlLibrary& lib, CURL* curl, const RequestEnd& end);

/// The wait before retry number `retry` (0, then 1): what the server's
/// Retry-After asks (seconds, or an HTTP date compared with now), at most
/// delays.maxRetryAfterMs; without one, delays.firstMs, then delays.secondMs.
long retryDelayMs(const RetryDelays& delays, int retry, const std::string& retryAfter, time_t now);

/// Sleeps for ms unless an interrupt (os/interrupt.h) is pending or arrives
/// meanwhile; false then, at once.
bool waitUnlessInterrupted(long ms);

#endif  // KV_AGENT_REQUEST_H_
