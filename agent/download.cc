#include "agent/download.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "agent/agent_paths.h"
#include "agent/curl_library.h"
#include "agent/signature_check.h"
#include "agent/transfer_failure.h"
#include "build_config.h"
#include "formats/agent_url.h"
#include "formats/arch.h"
#include "os/interrupt.h"
#include "os/paths.h"
#include "os/progress_line.h"
#include "os/stream_handles.h"

namespace {

using CurlHandle = std::unique_ptr<CURL, void (*)(CURL*)>;

constexpr size_t textLength(const char* text) {
  size_t length = 0;
  while (text[length] != '\0') ++length;
  return length;
}

// "kv-bootstrap/<version> (<platform>)", put together while compiling.
struct UserAgent {
  char text[sizeof "kv-bootstrap/" KV_VERSION " (" + textLength(kPlatformTag) + 1] = {};
  constexpr UserAgent() {
    size_t at = 0;
    for (const char* part : {"kv-bootstrap/" KV_VERSION " (", kPlatformTag, ")"})
      for (const char* c = part; *c != '\0'; ++c) text[at++] = *c;
  }
};
constexpr UserAgent kUserAgent;

std::string initFailure(const std::string& url, const std::string& why) {
  return "Failed to initialize CURL library to download the TVE Installer from " + url +
         "Error : " + why;
}

std::string downloadFailure(const std::string& url, const std::string& why) {
  return "Failed to download the TVE Installer from " + url + "Error : " + why;
}

std::string downloadFailure(const CurlLibrary& lib, CURL* curl, const std::string& url,
                            CURLcode code) {
  return downloadFailure(url, transferFailureReason(lib, curl, url, code));
}

// Redirects, the limits, the User-Agent and the interrupt check hold for
// every request made on the handle. A redirect loop keeps bytes flowing, so
// only a limit on the hops ends it. A redirect may not lead away from HTTP
// (older libcurl follows one to ftp, dict, ldap and more), nor from https to
// plain http, which would undo the TLS the vendor chose. A firewall that drops
// packets would hold the connect for the kernel's SYN retries, over two
// minutes, without a word. libcurl sends no User-Agent of its own, and many
// servers and firewalls refuse requests without one. Without PROXYAUTH,
// libcurl offers a proxy Basic alone; company proxies often ask for Digest,
// NTLM or Negotiate.
CURLcode setTransferOptions(const CurlLibrary& lib, CURL* curl, const std::string& url,
                            const TransferLimits& limits) {
  const long redirectProtocols = isHttpsUrl(url) ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS;
  CURLcode code = lib.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, redirectProtocols);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
  // libcurl keeps a copy of the text.
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent.text);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_PROXYAUTH, CURLAUTH_ANY);
  if (code == CURLE_OK) code = stopTransfersOnInterrupt(lib, curl);
  return code;
}

// The certificate authorities the run was given (AgentConfig); libcurl
// copies the texts. A libcurl whose TLS library takes no directory answers
// CAPATH as not built in: the file, or the system's store, still serves.
CURLcode setTrustedAuthorities(const CurlLibrary& lib, CURL* curl, const AgentConfig& config) {
  CURLcode code = CURLE_OK;
  if (!config.caFile.empty()) code = lib.easy_setopt(curl, CURLOPT_CAINFO, config.caFile.c_str());
  if (code == CURLE_OK && !config.caDirectory.empty()) {
    code = lib.easy_setopt(curl, CURLOPT_CAPATH, config.caDirectory.c_str());
    if (code == CURLE_NOT_BUILT_IN) code = CURLE_OK;
  }
  return code;
}

// The handle's context, found again by every request and failure message.
CURLcode setHandleContext(const CurlLibrary& lib, CURL* curl, HandleContext* context) {
  CURLcode code = lib.easy_setopt(curl, CURLOPT_PRIVATE, static_cast<void*>(context));
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_ERRORBUFFER, context->errors);
  return code;
}

// "1 GiB" for the limit, as the docs state it; tests' smaller ones in bytes.
std::string sizeText(curl_off_t bytes) {
  const curl_off_t gib = curl_off_t{1} << 30;
  if (bytes % gib == 0) return std::to_string(bytes / gib) + " GiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

size_t writeCallback(char* data, size_t size, size_t count, void* writer) {
  auto* into = static_cast<ArchiveWriter*>(writer);
  const size_t length = size * count;
  // An error page is no archive: its status is what the user is told.
  long status = 0;
  if (into->lib.easy_getinfo(into->curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK &&
      status >= 400) {
    into->refusedStatus = status;
    return 0;
  }
  if (static_cast<curl_off_t>(length) > into->limit - into->written) {
    into->tooLarge = true;
    return 0;
  }
  const size_t written = fwrite(data, 1, length, into->file);
  into->written += static_cast<curl_off_t>(written);
  return written;
}

const CurlLibrary* curlLibraryFor(const std::string& url, ReportFn report) {
  std::string why;
  const CurlLibrary* lib = loadCurlLibrary(&why);
  if (lib == nullptr) report(initFailure(url, why), true);
  return lib;
}

bool downloadInstallAgent(const AgentConfig& config, const CurlLibrary& lib,
                          const std::string& destPath, ReportFn report) {
  return fetchAgentArchive(config, lib, destPath, report);
}

namespace {

// One agent download: the handle every request of it goes through, and the
// URL and report its failures go to.
struct Transfer {
  const CurlLibrary& lib;
  CURL* curl;
  const std::string& url;
  ReportFn report;
};

bool requestFailed(const Transfer& transfer, CURLcode code) {
  transfer.report(downloadFailure(transfer.lib, transfer.curl, transfer.url, code), true);
  return false;
}

// A transfer cut short by SIGTERM or SIGHUP, or one that ended as one
// arrived, is not reported: the process is about to end by that signal.
bool transferFailed(const Transfer& transfer, CURLcode code) {
  if (pendingInterrupt() == 0) return requestFailed(transfer, code);
  return false;
}

// A handle for url with the options of every request set; empty after
// reporting why there is none.
CurlHandle openHandle(const CurlLibrary& lib, const AgentConfig& config,
                      const TransferLimits& limits, HandleContext* context, ReportFn report) {
  const std::string& url = config.agentUrl;
  CurlHandle curl(limits.newHandle != nullptr ? limits.newHandle() : lib.easy_init(),
                  lib.easy_cleanup);
  if (!curl) {
    report(initFailure(url, lib.easy_strerror(CURLE_FAILED_INIT)), true);
    return curl;
  }
  CURLcode code = lib.easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  if (code != CURLE_OK) {
    report(initFailure(url, lib.easy_strerror(code)), true);
    curl.reset();
    return curl;
  }
  context->config = &config;
  context->delays = limits.retryDelays;
  code = setHandleContext(lib, curl.get(), context);
  if (code == CURLE_OK) code = setTransferOptions(lib, curl.get(), url, limits);
  if (code == CURLE_OK) code = setTrustedAuthorities(lib, curl.get(), config);
  if (code != CURLE_OK) {
    report(downloadFailure(lib, curl.get(), url, code), true);
    curl.reset();
  }
  return curl;
}

// An HTTP error status ends the download, reported.
bool statusAccepted(const std::string& url, long status, ReportFn report) {
  if (status == 404) {
    report("Failed to download the TVE Installer from " + url +
               ". The specified URL is not reachable (HTTP code: " + std::to_string(status) + ").",
           true);
    return false;
  }
  if (status >= 400) {
    // A proxy's 407 would otherwise be blamed on the vendor's server.
    const std::string proxy = status == 407 ? proxyAnswerReason(url, status) : std::string();
    report("Failed to download the TVE Installer from " + url + ". Received an HTTP code: " +
               std::to_string(status) + (proxy.empty() ? "" : " from " + proxy) + ".",
           true);
    return false;
  }
  return true;
}

// Asks for the headers only, the tag line among them into *tagLine: the tag
// decides whether the body is needed.
bool askForTag(const Transfer& transfer, ValidateString* tagLine) {
  transfer.lib.easy_setopt(transfer.curl, CURLOPT_NOBODY, 1L);
  ResponseHeaders headers;
  const RequestEnd end = performRequest(transfer.lib, transfer.curl, &headers);
  if (end.code != CURLE_OK) return transferFailed(transfer, end.code);
  if (pendingInterrupt() != 0) return false;
  *tagLine = headers.tagLine;
  return statusAccepted(transfer.url, end.status, transfer.report);
}

// The cached agent is kept only when the server still sends the tag stored
// with it, and it meets the package's floor.
bool cachedAgentIsCurrent(const AgentConfig& config, const ValidateString& tagLine) {
  return !findCachedAgent(config.cacheRoot).empty() &&
         isValidateStringCurrent(config.cacheRoot, tagLine) && cachedAgentMeetsFloor(config);
}

// Written as it stands, without a line end: whatever is reported next
// continues the line.
void reportUnfinishedLine(const std::string& message) {
  fwrite(message.data(), 1, message.size(), stderr);
  fflush(stderr);
}

// A download that failed leaves nothing to fill the work directory's disk.
void discardArchive(FILE* file) {
  fflush(file);
  // A file that cannot be truncated (a device) keeps nothing either.
  if (ftruncate(fileno(file), 0) == 0) rewind(file);
}

// A try that failed leaves nothing for the next one to append to.
void restartArchive(void* writer) {
  auto* into = static_cast<ArchiveWriter*>(writer);
  discardArchive(into->file);
  into->written = 0;
  into->refusedStatus = 0;
  into->tooLarge = false;
}

// GETs the archive into dest, which is closed on every path; on success
// here, so that a failing close (a full disk that stdio noticed only then)
// fails the download. An answer of 400 or more fails it as the HEAD's would;
// an archive larger than the limit, declared (CURLOPT_MAXFILESIZE_LARGE
// refuses it before the body) or not, fails it too.
bool downloadArchive(const Transfer& transfer, FileHandle dest, curl_off_t limit) {
  const CurlLibrary& lib = transfer.lib;
  CURL* curl = transfer.curl;
  lib.easy_setopt(curl, CURLOPT_NOBODY, 0L);
  lib.easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  // Only a help: the writer counts whatever libcurl does with it.
  lib.easy_setopt(curl, CURLOPT_MAXFILESIZE_LARGE, limit);
  CURLcode code = lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                                  static_cast<curl_write_callback>(writeCallback));
  if (code != CURLE_OK) {
    reportUnfinishedLine("Failed to initialize CURL library to download the TVE Installer from " +
                         transfer.url + " Error: " + lib.easy_strerror(code));
    return false;
  }
  ArchiveWriter writer{lib, curl, dest.get(), limit};
  code = lib.easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(&writer));
  if (code != CURLE_OK) return requestFailed(transfer, code);
  ResponseHeaders headers;
  // The archive's download alone shows progress: the requests after it on
  // the handle (its signature) must not reach the line once it is gone.
  ProgressLine progress("Downloading the TVE Installer");
  showTransferProgress(lib, curl, &progress);
  const RequestEnd end = performRequest(lib, curl, &headers, restartArchive, &writer);
  showTransferProgress(lib, curl, nullptr);
  progress.clear();
  if (end.code != CURLE_OK || end.status >= 400) discardArchive(dest.get());
  if (pendingInterrupt() != 0) return false;
  if (writer.tooLarge || end.code == CURLE_FILESIZE_EXCEEDED) {
    transfer.report(downloadFailure(transfer.url, "the agent is larger than " + sizeText(limit) +
                                                      ", the most a download may bring"),
                    true);
    return false;
  }
  if (writer.refusedStatus != 0) return statusAccepted(transfer.url, writer.refusedStatus, transfer.report);
  if (end.code != CURLE_OK) return transferFailed(transfer, end.code);
  if (!statusAccepted(transfer.url, end.status, transfer.report)) return false;
  if (fclose(dest.release()) != 0) {
    transfer.report(downloadFailure(transfer.url, strerror(errno)), true);
    return false;
  }
  return true;
}

}  // namespace

bool fetchAgentArchive(const AgentConfig& config, const CurlLibrary& lib,
                       const std::string& destPath, ReportFn report, const TransferLimits& limits) {
  const std::string& url = config.agentUrl;
  FileHandle dest(fopen(destPath.c_str(), "wb"));
  if (!dest) {
    report("Failed to download the TVE with " + std::string(strerror(errno)), true);
    return false;
  }
  // Declared before the handle, which points to it until it is cleaned up.
  HandleContext context;
  CurlHandle curl = openHandle(lib, config, limits, &context, report);
  if (!curl) return false;
  const Transfer transfer{lib, curl.get(), url, report};

  ValidateString tagLine;
  if (!askForTag(transfer, &tagLine)) return false;
  const std::string& cacheRoot = config.cacheRoot;
  if (cachedAgentIsCurrent(config, tagLine)) return true;
  // The stale agent goes before its replacement comes.
  removeTreeIfExists(cacheRoot + kAgentDirName);
  if (!downloadArchive(transfer, std::move(dest), limits.maxAgentBytes)) return false;
  // Nothing of a download is trusted before its signature is checked: not its
  // tag, not its contents.
  if (!verifyAgentArchive(lib, curl.get(), config, destPath, report)) {
    unlink(destPath.c_str());
    return false;
  }
  curl.reset();
  writeValidateString(cacheRoot, tagLine);
  return true;
}
