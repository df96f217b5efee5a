#ifndef KV_AGENT_SIGNATURE_CHECK_H_
#define KV_AGENT_SIGNATURE_CHECK_H_

// Checking a downloaded agent against the vendor's key. One of two files
// implements it in each bootstrap: signature_check.cc, with libsodium, in
// the stub for packages with a key; no_signature_check.cc, which takes no
// key, in the small one.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "agent/agent_config.h"
#include "agent/curl_library.h"
#include "formats/minisig.h"
#include "os/report.h"

/// Reads a key slot of the bootstrap's record: the base64 line of a minisign
/// public key, added to keys, or "none" (no key). False, with *why
/// completing "its agent key ...", when this bootstrap cannot check agents
/// with it.
bool readAgentKeySlot(const char* keyLine, std::vector<MinisignPublicKey>* keys, std::string* why);

/// Reads the floor slot of the bootstrap's record (kAgentNotBeforeSlotBytes
/// bytes, maybe damaged): seconds since 1970, or "none". False when it is
/// neither. The small bootstrap, which checks no agent, does not look at it.
bool readAgentNotBeforeSlot(const char* slot, std::optional<int64_t>* notBefore);

/// Checks the signature file's text against the archive at archivePath and
/// the keys: made by one of them, over the file and its trusted comment.
/// Gives the signature read, whose trusted comment is then the vendor's.
/// False with *why. Only in the bootstrap that checks signatures.
bool checkAgentSignature(const std::string& signatureText, const std::string& archivePath,
                         const std::vector<MinisignPublicKey>& keys, MinisignSignature* signature,
                         std::string* why);

/// Whether a signature with this trusted comment was made for the file the
/// agent URL ends in. The vendor's key verifies every file it ever signed
/// (another platform's agent, say): when the comment names the file, as
/// minisign's own does ("timestamp:<seconds>\tfile:<name>"), it must be
/// that one; a comment without "file:" names none. False with *why.
bool signedForAgentUrl(const std::string& trustedComment, const std::string& agentUrl,
                       std::string* why);

/// Downloads the signature of the agent at config's URL on the handle of the
/// agent's own download (so with its limits), checks the archive at
/// archivePath with it, that a file name it was signed under is the agent
/// URL's, and its signing time (see signing_time.h). False after reporting
/// why; nothing is reported when a SIGTERM or SIGHUP cut the transfer short.
/// True at once when config names no key.
bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const AgentConfig& config,
                        const std::string& archivePath, ReportFn report);

/// Whether the agent cached for config may run without a new download: not
/// when config has a floor that the signing time remembered in the cache
/// does not reach, since a package without the floor may have stored an
/// older agent there.
bool cachedAgentMeetsFloor(const AgentConfig& config);

#endif  // KV_AGENT_SIGNATURE_CHECK_H_
