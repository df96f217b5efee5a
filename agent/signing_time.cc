#include "agent/signing_time.h"

#include "agent/agent_paths.h"
#include "formats/minisig.h"
#include "os/file_descriptor.h"

namespace {

// The longest signing time parseSeconds() takes, a line feed, and a byte
// that tells a longer file.
constexpr size_t kSigningTimeFileBytes = 20;

// "it was signed on <time>, <relation> (<time>)": every refusal by time.
bool refuseTime(int64_t signedAt, const char* relation, int64_t other, const char* after,
                std::string* why) {
  *why = "it was signed on " + utcTimeText(signedAt) + relation + utcTimeText(other) + after;
  return false;
}

}  // namespace

std::optional<int64_t> rememberedSigningTime(const std::string& cacheRoot) {
  std::string text;
  if (!readFileStart(signingTimeFilePath(cacheRoot), kSigningTimeFileBytes, &text)) return std::nullopt;
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return parseSeconds(text);
}

bool acceptSigningTime(const AgentConfig& config, std::optional<int64_t> signedAt, int64_t now,
                       std::string* why) {
  if (!signedAt) {
    if (!config.notBefore) return true;
    *why = "its trusted comment has no signing time, which this installer needs";
    return false;
  }
  if (*signedAt > now + kSigningClockAllowanceSeconds)
    return refuseTime(*signedAt, ", more than a day after this computer's clock (", now,
                      "): check that the clock is right", why);
  if (config.notBefore && *signedAt < *config.notBefore)
    return refuseTime(*signedAt, ", before the earliest signing time this installer takes (",
                      *config.notBefore, ")", why);
  const std::optional<int64_t> verified = rememberedSigningTime(config.cacheRoot);
  if (verified && *signedAt < *verified)
    return refuseTime(*signedAt, ", before the agent already verified here (signed on ", *verified,
                      ")", why);
  if (!verified || *signedAt > *verified)
    replaceFileContents(signingTimeFilePath(config.cacheRoot), std::to_string(*signedAt) + "\n");
  return true;
}
