#ifndef KV_AGENT_SIGNING_TIME_H_
#define KV_AGENT_SIGNING_TIME_H_

// Compiled only into the bootstrap that checks signatures. Every agent ever
// signed with the key verifies for ever, so it refuses one signed before the
// agent it already verified, or before the floor the package was made with:
// an attacker on the network path could otherwise serve last year's agent,
// with its flaws. A signing time too far ahead is refused too, before it is
// remembered: it would lock out every agent signed until then.

#include <cstdint>
#include <optional>
#include <string>

#include "agent/agent_config.h"

/// Takes an agent signed at signedAt, now being the machine's clock, into
/// config's cache. False, with *why, when it was signed more than
/// kSigningClockAllowanceSeconds after now, before config's floor (or without a time while
/// there is one), or before the agent verified there last; otherwise its
/// time is remembered, unless it has none or the one remembered is later.
bool acceptSigningTime(const AgentConfig& config, std::optional<int64_t> signedAt, int64_t now,
                       std::string* why);

/// The signing time remembered at cacheRoot; nullopt when there is none or
/// it does not read as one, which only a damaged disk leaves behind.
std::optional<int64_t> rememberedSigningTime(const std::string& cacheRoot);

#endif  // KV_AGENT_SIGNING_TIME_H_
