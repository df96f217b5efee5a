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

/// Reads the key slot of the bootstrap's record: the base64 line of a
/// minisign public key, or "none" (no key). False, with *why completing
/// "its agent key ...", when this bootstrap cannot check agents with it.
bool readAgentKeySlot(const char* keyLine, std::vector<MinisignPublicKey>* keys, std::string* why);

/// Checks the signature file's text against the archive at archivePath and
/// the keys: made by one of them, over the file and its trusted comment.
/// Gives the signing time its trusted comment names, if any. False with *why.
/// Only in the bootstrap that checks signatures.
bool checkAgentSignature(const std::string& signatureText, const std::string& archivePath,
                         const std::vector<MinisignPublicKey>& keys,
                         std::optional<int64_t>* signedAt, std::string* why);

/// Downloads the signature of the agent at config's URL on the handle of the
/// agent's own download (so with its limits), checks the archive at
/// archivePath with it, and that it was not signed before the agent last
/// verified in the cache (see signing_time.h). False after reporting why;
/// nothing is reported when a SIGTERM or SIGHUP cut the transfer short. True
/// at once when config names no key.
bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const AgentConfig& config,
                        const std::string& archivePath, ReportFn report);

#endif  // KV_AGENT_SIGNATURE_CHECK_H_
