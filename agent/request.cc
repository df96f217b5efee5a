#include "agent/request.h"

#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "os/interrupt.h"

namespace {

const char kRetryAfterPrefix[] = "Retry-After:";

bool startsWithIgnoringCase(const char* line, size_t length, const char* prefix) {
  const size_t prefixLength = strlen(prefix);
  return length >= prefixLength && strncasecmp(line, prefix, prefixLength) == 0;
}

// The header's value, given what follows its name: without the blanks around
// it and the line end.
std::string trimmed(std::string value) {
  const auto isBlank = [](char c) { return isspace(static_cast<unsigned char>(c)) != 0; };
  while (!value.empty() && isBlank(value.back())) value.pop_back();
  size_t begin = 0;
  while (begin < value.size() && isBlank(value[begin])) ++begin;
  return value.substr(begin);
}

bool isRetriedStatus(long status) { return status == 502 || status == 503 || status == 504; }

// Seconds from now that a Retry-After value names: delta-seconds, or an HTTP
// date (IMF-fixdate, the form servers send); -1 when it is neither. Any
// number beyond a day counts as a day: the wait is capped far below.
long secondsAsked(const std::string& value, time_t now) {
  const long kDay = 86400;
  if (!value.empty() && isdigit(static_cast<unsigned char>(value[0])) != 0) {
    char* end = nullptr;
    const long seconds = strtol(value.c_str(), &end, 10);
    return *end == '\0' ? std::min(seconds, kDay) : -1;
  }
  struct tm date = {};
  const char* end = strptime(value.c_str(), "%a, %d %b %Y %H:%M:%S GMT", &date);
  if (end == nullptr || *end != '\0') return -1;
  const time_t at = timegm(&date);
  return at <= now ? 0 : static_cast<long>(std::min<time_t>(at - now, kDay));
}

long nowMs() {
  struct timespec now = {};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

HandleContext* handleContext(const CurlLibrary& lib, CURL* curl) {
  char* context = nullptr;
  if (lib.easy_getinfo(curl, CURLINFO_PRIVATE, &context) != CURLE_OK) return nullptr;
  return reinterpret_cast<HandleContext*>(context);
}

size_t headerCallback(char* line, size_t size, size_t count, void* tag) {
  const size_t length = size * count;
  auto* into = static_cast<std::string*>(tag);
  // Every response of a redirect chain starts with a status line: a tag seen
  // on an earlier hop is not the tag of the archive at the end.
  if (length >= 5 && strncmp(line, "HTTP/", 5) == 0) into->clear();
  if (startsWithIgnoringCase(line, length, kETagPrefix)) into->assign(line, length - 1);
  return length;
}

size_t responseHeaderCallback(char* line, size_t size, size_t count, void* headers) {
  const size_t length = size * count;
  auto* into = static_cast<ResponseHeaders*>(headers);
  // Nor is a wait that a proxy or a redirect hop asked for the final answer's.
  if (length >= 5 && strncmp(line, "HTTP/", 5) == 0) into->retryAfter.clear();
  if (startsWithIgnoringCase(line, length, kRetryAfterPrefix))
    into->retryAfter = trimmed(std::string(line + strlen(kRetryAfterPrefix), length - strlen(kRetryAfterPrefix)));
  return headerCallback(line, size, count, &into->tagLine);
}

bool worthRetrying(const CurlLibrary& lib, CURL* curl, const RequestEnd& end) {
  // A proxy that refused the tunnel said why; older libcurl reports that as
  // a failure to receive, which would look like a reset.
  long connectStatus = 0;
  if (lib.easy_getinfo(curl, CURLINFO_HTTP_CONNECTCODE, &connectStatus) == CURLE_OK &&
      connectStatus >= 400)
    return isRetriedStatus(connectStatus);
  switch (end.code) {
    case CURLE_COULDNT_CONNECT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
      return true;
    case CURLE_OK:
    case CURLE_WRITE_ERROR:
      return isRetriedStatus(end.status);
    default:
      return false;
  }
}

long retryDelayMs(const RetryDelays& delays, int retry, const std::string& retryAfter, time_t now) {
  const long asked = secondsAsked(retryAfter, now);
  if (asked >= 0) return std::min(asked * 1000, delays.maxRetryAfterMs);
  return retry == 0 ? delays.firstMs : delays.secondMs;
}

bool waitUnlessInterrupted(long ms) {
  // Held between the check and the wait, let in only by ppoll: a signal
  // that arrives in between ends the wait instead of being missed.
  InterruptsHeld held;
  const long deadline = nowMs() + ms;
  while (pendingInterrupt() == 0) {
    const long remaining = deadline - nowMs();
    if (remaining <= 0) return true;
    struct timespec wait = {remaining / 1000, (remaining % 1000) * 1000000L};
    ppoll(nullptr, 0, &wait, held.waitMask());
  }
  return false;
}

RequestEnd performRequest(const CurlLibrary& lib, CURL* curl, ResponseHeaders* headers,
                          void (*restart)(void*), void* restartData) {
  HandleContext* context = handleContext(lib, curl);
  const RetryDelays delays = context != nullptr ? context->delays : RetryDelays();
  lib.easy_setopt(curl, CURLOPT_HEADERFUNCTION,
                  static_cast<curl_write_callback>(responseHeaderCallback));
  lib.easy_setopt(curl, CURLOPT_HEADERDATA, static_cast<void*>(headers));
  for (int retry = 0;; ++retry) {
    *headers = ResponseHeaders();
    // Older libcurl leaves the words of an earlier failure in place.
    if (context != nullptr) context->errors[0] = '\0';
    RequestEnd end;
    end.code = lib.easy_perform(curl);
    if (lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &end.status) != CURLE_OK) end.status = 0;
    if (retry == kMaxRetries || pendingInterrupt() != 0 || !worthRetrying(lib, curl, end))
      return end;
    if (!waitUnlessInterrupted(retryDelayMs(delays, retry, headers->retryAfter, time(nullptr))))
      return {CURLE_ABORTED_BY_CALLBACK, end.status};
    if (restart != nullptr) restart(restartData);
  }
}
