#ifndef KV_AGENT_SIGNING_TIME_H_
#define KV_AGENT_SIGNING_TIME_H_

// Compiled only into builds made with KV_AGENT_PUBLIC_KEY. Every agent ever
// signed with the key verifies for ever, so a build with a key refuses one
// signed before the agent it already verified: an attacker on the network
// path could otherwise serve last year's agent, with its flaws.

#include <cstdint>
#include <optional>
#include <string>

/// The signing time in a trusted comment, in seconds since 1970: minisign
/// starts the comment with "timestamp:<seconds>" unless told otherwise, and
/// the global signature covers it. nullopt when the comment starts otherwise.
std::optional<int64_t> signingTimeIn(const std::string& trustedComment);

/// Takes an agent signed at signedAt into the cache at cacheRoot. False, with
/// *why, when the agent verified there last was signed later; otherwise its
/// time is remembered, unless it has none or the one remembered is later.
bool acceptSigningTime(const std::string& cacheRoot, std::optional<int64_t> signedAt,
                       std::string* why);

/// "2026-12-08 14:32:43 UTC".
std::string utcTimeText(int64_t seconds);

#endif  // KV_AGENT_SIGNING_TIME_H_
