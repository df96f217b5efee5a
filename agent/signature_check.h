#ifndef KV_AGENT_SIGNATURE_CHECK_H_
#define KV_AGENT_SIGNATURE_CHECK_H_

// Checking a downloaded agent against the vendor's key. One of two files
// implements it in each bootstrap: signature_check.cc, with libsodium, in
// the stub for packages with a key; no_signature_check.cc, which takes no
// key, in the small one.

#include <string>

#include <curl/curl.h>

#include "agent/curl_library.h"
#include "bootstrap/report.h"

/// Takes the key the bootstrap's record names: the base64 line of a
/// minisign public key, or "none". False, with *why completing "its agent
/// key ...", when this bootstrap cannot check agents with it.
bool useAgentKey(const char* keyLine, std::string* why);

/// The id of the key in use, as minisign prints it (16 hex digits); empty
/// when downloaded agents are not checked.
const char* agentKeyId();

/// Downloads the signature of the agent at url on the handle of the agent's own
/// download (so with its limits) and checks the archive at archivePath with
/// it, and that it was not signed before the agent last verified in the cache
/// at cacheRoot (see signing_time.h). False after reporting why; nothing is
/// reported when a SIGTERM or SIGHUP cut the transfer short. True at once
/// when no key is in use.
bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const std::string& url,
                        const std::string& archivePath, const std::string& cacheRoot,
                        ReportFn report);

#endif  // KV_AGENT_SIGNATURE_CHECK_H_
