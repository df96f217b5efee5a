#ifndef KV_TOOLS_KV_PACK_AGENT_SETTINGS_H_
#define KV_TOOLS_KV_PACK_AGENT_SETTINGS_H_

// The agent server and key a package is made with: checked when given, and
// written into the slots of the package's copy of the stub's record.

#include <cstdint>
#include <optional>
#include <string>

#include "tools/kv-pack/pack.h"
#include "tools/kv-pack/stub.h"

/// --agent-url: http:// or https:// with a host, no blank or control byte,
/// short enough for the slot. Gives it without trailing slashes; "" with
/// *err when it cannot be one.
std::string readAgentUrlOption(const std::string& text, std::string* err);

/// --agent-key: the base64 line of a minisign public key, or a file that
/// holds minisign.pub or that line. Gives the line; "" with *err when there
/// is no key.
std::string readAgentKeyOption(const std::string& text, std::string* err);

/// --agent-not-before: seconds since 1970, or a minisign signature file
/// whose trusted comment's timestamp is taken; no more than
/// kSigningClockAllowanceSeconds after this machine's clock, or no agent
/// signed until then would run. nullopt with *err when it is neither.
std::optional<int64_t> readAgentNotBeforeOption(const std::string& text, std::string* err);

/// What the package's bootstrap (record of options.bootstrap) must offer for
/// the agent URL, keys and floor given: slots to write them into, and
/// signature code for a key.
[[nodiscard]] bool checkStubTakesSettings(const StubRecord& record, const PackOptions& options,
                                          std::string* err);

/// A package without an agent downloads it, so its URL must lead somewhere:
/// refuses a host under the reserved name "invalid".
[[nodiscard]] bool checkAgentReachable(const std::string& agentBaseUrl, std::string* err);

/// Writes value, NUL-filled, into the slot of the file open as fd; any
/// slot, the agent settings' and the sizes'.
[[nodiscard]] bool writeSlot(int fd, const StubSlot& slot, const std::string& value,
                             std::string* err);

/// Warns on standard error when the package downloads its agent over plain
/// http without a key to check it: allowed, since a vendor may have reasons,
/// but anyone on the network path can hand users another agent. A server on
/// the machine itself is out of their reach.
void warnOfPlainHttp(const PackOptions& options);

#endif  // KV_TOOLS_KV_PACK_AGENT_SETTINGS_H_
