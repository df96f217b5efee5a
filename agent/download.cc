#include "agent/download.h"

#include <strings.h>
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
// servers and firewalls refuse requests without one.
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
  if (code == CURLE_OK) code = stopTransfersOnInterrupt(lib, curl);
  return code;
}

}  // namespace

size_t headerCallback(char* line, size_t size, size_t count, void* buffer) {
  const size_t length = size * count;
  const std::string prefix = kETagPrefix;
  auto* tag = static_cast<std::string*>(buffer);
  // Every response of a redirect chain starts with a status line: a tag seen
  // on an earlier hop is not the tag of the archive at the end.
  if (length >= 5 && strncmp(line, "HTTP/", 5) == 0) tag->clear();
  if (length >= prefix.size() && strncasecmp(line, prefix.c_str(), prefix.size()) == 0)
    tag->assign(line, length - 1);
  return length;
}

size_t writeCallback(char* data, size_t size, size_t count, void* file) {
  return fwrite(data, 1, size * count, static_cast<FILE*>(file));
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

// A transfer cut short by SIGTERM or SIGHUP is not reported: the process is
// about to end by that signal.
bool transferFailed(const Transfer& transfer, CURLcode code) {
  if (pendingInterrupt() == 0) return requestFailed(transfer, code);
  return false;
}

// A handle for url with the options of every request set; empty after
// reporting why there is none.
CurlHandle openHandle(const CurlLibrary& lib, const std::string& url,
                      const TransferLimits& limits, ReportFn report) {
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
  code = setTransferOptions(lib, curl.get(), url, limits);
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
    report("Failed to download the TVE Installer from " + url + ". Received an HTTP code: " +
               std::to_string(status) + ".",
           true);
    return false;
  }
  return true;
}

// Asks for the headers only, the tag line among them into *tagLine: the tag
// decides whether the body is needed.
bool askForTag(const Transfer& transfer, ValidateString* tagLine) {
  const CurlLibrary& lib = transfer.lib;
  lib.easy_setopt(transfer.curl, CURLOPT_NOBODY, 1L);
  lib.easy_setopt(transfer.curl, CURLOPT_HEADERFUNCTION,
                  static_cast<curl_write_callback>(headerCallback));
  lib.easy_setopt(transfer.curl, CURLOPT_HEADERDATA, static_cast<void*>(tagLine));
  CURLcode code = lib.easy_perform(transfer.curl);
  if (code != CURLE_OK) return transferFailed(transfer, code);

  long status = 0;
  code = lib.easy_getinfo(transfer.curl, CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) return requestFailed(transfer, code);
  return statusAccepted(transfer.url, status, transfer.report);
}

// The cached agent is kept only when the server still sends the tag stored
// with it.
bool cachedAgentIsCurrent(const std::string& cacheRoot, const ValidateString& tagLine) {
  return !findCachedAgent(cacheRoot).empty() && isValidateStringCurrent(cacheRoot, tagLine);
}

// Written as it stands, without a line end: whatever is reported next
// continues the line.
void reportUnfinishedLine(const std::string& message) {
  fwrite(message.data(), 1, message.size(), stderr);
  fflush(stderr);
}

// GETs the archive into dest, which is closed on every path; on success
// here, so that a failing close (a full disk that stdio noticed only then)
// fails the download.
bool downloadArchive(const Transfer& transfer, FileHandle dest) {
  const CurlLibrary& lib = transfer.lib;
  CURL* curl = transfer.curl;
  lib.easy_setopt(curl, CURLOPT_NOBODY, 0L);
  lib.easy_setopt(curl, CURLOPT_HTTPGET, 1L);
  lib.easy_setopt(curl, CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
  lib.easy_setopt(curl, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  CURLcode code = lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                                  static_cast<curl_write_callback>(writeCallback));
  if (code != CURLE_OK) {
    reportUnfinishedLine("Failed to initialize CURL library to download the TVE Installer from " +
                         transfer.url + " Error: " + lib.easy_strerror(code));
    return false;
  }
  code = lib.easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(dest.get()));
  if (code != CURLE_OK) return requestFailed(transfer, code);
  // With a HEADERDATA but no header function, libcurl would write the headers into the archive.
  lib.easy_setopt(curl, CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  // The archive's download alone shows progress: the requests after it on
  // the handle (its signature) must not reach the line once it is gone.
  ProgressLine progress("Downloading the TVE Installer");
  showTransferProgress(lib, curl, &progress);
  code = lib.easy_perform(curl);
  showTransferProgress(lib, curl, nullptr);
  progress.clear();
  if (code != CURLE_OK) return transferFailed(transfer, code);
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
  CurlHandle curl = openHandle(lib, url, limits, report);
  if (!curl) return false;
  const Transfer transfer{lib, curl.get(), url, report};

  ValidateString tagLine;
  if (!askForTag(transfer, &tagLine)) return false;
  const std::string& cacheRoot = config.cacheRoot;
  if (cachedAgentIsCurrent(cacheRoot, tagLine)) return true;
  // The stale agent goes before its replacement comes.
  removeTreeIfExists(cacheRoot + kAgentDirName);
  if (!downloadArchive(transfer, std::move(dest))) return false;
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
