#ifndef KV_AGENT_SIGNATURE_CHECK_H_
#define KV_AGENT_SIGNATURE_CHECK_H_

// Compiled only into builds made with KV_AGENT_PUBLIC_KEY.

#include <string>

#include <curl/curl.h>

#include "agent/curl_library.h"
#include "bootstrap/report.h"

/// The id of the key built in, as minisign prints it (16 hex digits).
extern const char kAgentKeyId[];

/// The signature file's URL for an agent URL.
std::string signatureUrl(const std::string& agentUrl);

/// True when signatureText is a signature by the built-in key of the file at
/// archivePath, with its trusted comment intact; else false with *why.
bool checkAgentSignature(const std::string& signatureText, const std::string& archivePath,
                         std::string* why);

/// Downloads the signature of the agent at url on the handle of the agent's own
/// download (so with its limits) and checks the archive at archivePath with it.
/// False after reporting why; nothing is reported when a SIGTERM or SIGHUP cut
/// the transfer short.
bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const std::string& url,
                        const std::string& archivePath, ReportFn report);

#endif  // KV_AGENT_SIGNATURE_CHECK_H_
