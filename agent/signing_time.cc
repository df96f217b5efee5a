#include "agent/signing_time.h"

#include <ctime>

#include "agent/agent_paths.h"
#include "os/file_descriptor.h"

namespace {

// Far more digits than a signing time needs, and few enough for int64_t.
constexpr size_t kMaxDigits = 18;

std::optional<int64_t> parseSeconds(const std::string& text) {
  if (text.empty() || text.size() > kMaxDigits) return std::nullopt;
  int64_t seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

// The time remembered in the cache; nullopt when there is none or it does not
// read as one, which only a damaged disk leaves behind.
std::optional<int64_t> rememberedSigningTime(const std::string& cacheRoot) {
  std::string text;
  if (!readFileStart(signingTimeFilePath(cacheRoot), kMaxDigits + 2, &text)) return std::nullopt;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return parseSeconds(text);
}

}  // namespace

std::optional<int64_t> signingTimeIn(const std::string& trustedComment) {
  static const std::string kPrefix = "timestamp:";
  if (trustedComment.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const size_t end = trustedComment.find('\t', kPrefix.size());
  return parseSeconds(trustedComment.substr(
      kPrefix.size(), end == std::string::npos ? std::string::npos : end - kPrefix.size()));
}

bool acceptSigningTime(const std::string& cacheRoot, std::optional<int64_t> signedAt,
                       std::string* why) {
  if (!signedAt) return true;
  const std::optional<int64_t> verified = rememberedSigningTime(cacheRoot);
  if (verified && *signedAt < *verified) {
    *why = "it was signed on " + utcTimeText(*signedAt) +
           ", before the agent already verified here (signed on " + utcTimeText(*verified) + ")";
    return false;
  }
  if (!verified || *signedAt > *verified)
    replaceFileContents(signingTimeFilePath(cacheRoot), std::to_string(*signedAt) + "\n");
  return true;
}

std::string utcTimeText(int64_t seconds) {
  const auto time = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[64];
  if (gmtime_r(&time, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return std::to_string(seconds) + " seconds after 1970 UTC";
  return text;
}
