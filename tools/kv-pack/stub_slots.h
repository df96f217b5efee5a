#ifndef KV_TOOLS_KV_PACK_STUB_SLOTS_H_
#define KV_TOOLS_KV_PACK_STUB_SLOTS_H_

// The agent server and key a package is made with: checked when given, and
// written into the slots of the package's copy of the stub's record.

#include <string>

#include "tools/kv-pack/stub.h"

/// --agent-url: http:// or https:// with a host, no blank or control byte,
/// short enough for the slot; trailing slashes are dropped.
[[nodiscard]] bool readAgentUrlOption(const std::string& text, std::string* url, std::string* err);

/// --agent-key: the base64 line of a minisign public key, or a file that
/// holds minisign.pub or that line. Gives the line.
[[nodiscard]] bool readAgentKeyOption(const std::string& text, std::string* keyLine,
                                      std::string* err);

/// What the package's bootstrap must offer for the settings: slots to write
/// them into, and signature code for a key. `path` names it in messages.
[[nodiscard]] bool checkStubTakesSettings(const StubRecord& record, const std::string& path,
                                          const std::string& agentUrl, const std::string& agentKey,
                                          std::string* err);

/// A package without an agent downloads it, so its URL must lead somewhere:
/// refuses a host under the reserved name "invalid".
[[nodiscard]] bool checkAgentReachable(const std::string& agentBaseUrl, std::string* err);

/// Writes value, NUL-filled, into the slot of the file open as fd.
[[nodiscard]] bool writeSlot(int fd, const StubSlot& slot, const std::string& value,
                             std::string* err);

#endif  // KV_TOOLS_KV_PACK_STUB_SLOTS_H_
