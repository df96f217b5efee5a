#include "agent/download.h"

#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "agent/agent_paths.h"
#include "agent/curl_library.h"
#include "agent/platform_tag.h"
#include "agent/signature_check.h"
#include "bootstrap/interrupt.h"
#include "bootstrap/paths.h"
#include "bootstrap/stream_handles.h"


#ifndef KV_VERSION
#error "KV_VERSION, the project's version, goes into the User-Agent (the core's build defines it)"
#endif

namespace {

using CurlHandle = std::unique_ptr<CURL, void (*)(CURL*)>;

const char kUserAgent[] = "kv-bootstrap/" KV_VERSION " (" KV_PLATFORM_TAG ")";

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

bool isHttps(const std::string& url) { return strncasecmp(url.c_str(), "https://", 8) == 0; }

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
  const long redirectProtocols = isHttps(url) ? CURLPROTO_HTTPS : CURLPROTO_HTTP | CURLPROTO_HTTPS;
  CURLcode code = lib.easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS, redirectProtocols);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, limits.stallSeconds);
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, limits.connectSeconds);
  // libcurl keeps a copy of the text.
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  if (code == CURLE_OK) code = stopTransfersOnInterrupt(lib, curl);
  return code;
}

// A transfer cut short by SIGTERM or SIGHUP is not reported: the process is
// about to end by that signal.
bool transferFailed(const CurlLibrary& lib, CURL* curl, const std::string& url, CURLcode code,
                    ReportFn report) {
  if (pendingInterrupt() == 0) report(downloadFailure(lib, curl, url, code), true);
  return false;
}

// The scheme of a URL in lower case: the letters, digits, "+", "-" and "."
// it starts with.
std::string schemeOf(const char* url) {
  std::string scheme;
  for (const char* c = url; *c != '\0'; ++c) {
    const auto byte = static_cast<unsigned char>(*c);
    if (!isalnum(byte) && strchr("+-.", byte) == nullptr) break;
    scheme += static_cast<char>(tolower(byte));
  }
  return scheme;
}

// The host and port of a URL as written: what follows "//" up to the path,
// without a user name or password.
std::string hostOf(const std::string& url) {
  const char* start = strstr(url.c_str(), "://");
  start = start != nullptr ? start + 3 : url.c_str();
  const char* end = start + strcspn(start, "/?#");
  for (const char* at = start; at < end; ++at)
    if (*at == '@') start = at + 1;
  return std::string(start, end);
}

// The variable libcurl takes the URL's proxy from, when one is set: the
// scheme's own (only in lower case for http), else ALL_PROXY; libcurl passes
// over empty ones. no_proxy is not looked at, so the proxy is only a maybe.
const char* proxyVariableFor(const std::string& url) {
  static const char* const kHttp[] = {"http_proxy", "all_proxy", "ALL_PROXY", nullptr};
  static const char* const kHttps[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY",
                                       nullptr};
  for (const char* const* name = isHttps(url) ? kHttps : kHttp; *name != nullptr; ++name) {
    const char* value = getenv(*name);
    if (value != nullptr && *value != '\0') return *name;
  }
  return nullptr;
}

// A connect that ran out of time, for the user: libcurl's "Timeout was
// reached" reads like a stalled transfer. Without a connection there was no
// redirect, so the host is the URL's own, or the proxy's.
std::string unansweredConnectReason(const std::string& url) {
  std::string reason = "nothing answered at ";
  reason += hostOf(url);
  if (const char* proxy = proxyVariableFor(url)) {
    reason += " or at the proxy that ";
    reason += proxy;
    reason += " names";
  }
  reason += " (the connection timed out)";
  return reason;
}

}  // namespace

std::string transferFailureReason(const CurlLibrary& lib, CURL* curl, const std::string& url,
                                  CURLcode code) {
  // libcurl's own words for a refused redirect ("Unsupported protocol") would
  // blame the agent URL. The last answer was the redirect, and the URL libcurl
  // stopped at is its target.
  long status = 0;
  const char* target = nullptr;
  if (code == CURLE_UNSUPPORTED_PROTOCOL &&
      lib.easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status >= 300 &&
      status < 400 && lib.easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &target) == CURLE_OK &&
      target != nullptr) {
    const std::string allowed = isHttps(url) ? "an https agent URL may lead to https only"
                                             : "an http agent URL may lead to http and https only";
    return "the server redirected to " + schemeOf(target) + ", a protocol that is not allowed (" +
           allowed + ")";
  }
  // libcurl keeps the peer's address once a connection is made, a new one or
  // one reused from the request before, also when its TLS handshake then gets
  // no answer. The connect time, which libcurl 7.29 sets once TCP connects and
  // for a reused connection, is 0 too when none was made.
  const char* peer = nullptr;
  double connectSeconds = -1;
  if (code == CURLE_OPERATION_TIMEDOUT &&
      lib.easy_getinfo(curl, CURLINFO_PRIMARY_IP, &peer) == CURLE_OK &&
      (peer == nullptr || *peer == '\0') &&
      lib.easy_getinfo(curl, CURLINFO_CONNECT_TIME, &connectSeconds) == CURLE_OK &&
      connectSeconds == 0)
    return unansweredConnectReason(url);
  return lib.easy_strerror(code);
}

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

bool downloadInstallAgent(const std::string& destPath, ReportFn report) {
  return fetchAgentArchive(installAgentUrl(), destPath, report);
}

// The two strings' order is the interface every caller already uses.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
bool fetchAgentArchive(const std::string& url, const std::string& destPath, ReportFn report,
                       const TransferLimits& limits) {
  // Closed on every path, and on success closed here, so that a failing close
  // (a full disk that stdio noticed only then) fails the download.
  FileHandle dest(fopen(destPath.c_str(), "wb"));
  if (!dest) {
    report("Failed to download the TVE with " + std::string(strerror(errno)), true);
    return false;
  }

  const CurlLibrary* loaded = curlLibraryFor(url, report);
  if (loaded == nullptr) return false;
  const CurlLibrary& lib = *loaded;

  CurlHandle curl(limits.newHandle != nullptr ? limits.newHandle() : lib.easy_init(),
                  lib.easy_cleanup);
  if (!curl) {
    report(initFailure(url, lib.easy_strerror(CURLE_FAILED_INIT)), true);
    return false;
  }
  CURLcode code = lib.easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
  if (code != CURLE_OK) {
    report(initFailure(url, lib.easy_strerror(code)), true);
    return false;
  }
  code = setTransferOptions(lib, curl.get(), url, limits);
  if (code != CURLE_OK) {
    report(downloadFailure(lib, curl.get(), url, code), true);
    return false;
  }

  // Ask for the headers only: the tag decides whether the body is needed.
  ValidateString tagLine;
  lib.easy_setopt(curl.get(), CURLOPT_NOBODY, 1L);
  lib.easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION,
                  static_cast<curl_write_callback>(headerCallback));
  lib.easy_setopt(curl.get(), CURLOPT_HEADERDATA, static_cast<void*>(&tagLine));
  code = lib.easy_perform(curl.get());
  if (code != CURLE_OK) return transferFailed(lib, curl.get(), url, code, report);

  long status = 0;
  code = lib.easy_getinfo(curl.get(), CURLINFO_RESPONSE_CODE, &status);
  if (code != CURLE_OK) {
    report(downloadFailure(lib, curl.get(), url, code), true);
    return false;
  }
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

  const std::string cacheRoot = agentCacheRoot();
  if (!findCachedAgent().empty() && isValidateStringCurrent(cacheRoot, tagLine)) return true;

  removeTreeIfExists(cacheRoot + kAgentDirName);
  lib.easy_setopt(curl.get(), CURLOPT_NOBODY, 0L);
  lib.easy_setopt(curl.get(), CURLOPT_HTTPGET, 1L);
  lib.easy_setopt(curl.get(), CURLOPT_HEADERFUNCTION, static_cast<curl_write_callback>(nullptr));
  lib.easy_setopt(curl.get(), CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  code = lib.easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION,
                         static_cast<curl_write_callback>(writeCallback));
  if (code != CURLE_OK) {
    // Written as it stands, without a line end: whatever is reported next continues the line.
    const std::string message = "Failed to initialize CURL library to download the TVE Installer from " +
                                url + " Error: " + lib.easy_strerror(code);
    fwrite(message.data(), 1, message.size(), stderr);
    fflush(stderr);
    return false;
  }
  code = lib.easy_setopt(curl.get(), CURLOPT_WRITEDATA, static_cast<void*>(dest.get()));
  if (code != CURLE_OK) {
    report(downloadFailure(lib, curl.get(), url, code), true);
    return false;
  }
  // With a HEADERDATA but no header function, libcurl would write the headers into the archive.
  lib.easy_setopt(curl.get(), CURLOPT_HEADERDATA, static_cast<void*>(nullptr));
  code = lib.easy_perform(curl.get());
  if (code != CURLE_OK) return transferFailed(lib, curl.get(), url, code, report);
  if (fclose(dest.release()) != 0) {
    report(downloadFailure(url, strerror(errno)), true);
    return false;
  }
  // Nothing of a download is trusted before its signature is checked: not its
  // tag, not its contents.
  if (!verifyAgentArchive(lib, curl.get(), url, destPath, cacheRoot, report)) {
    unlink(destPath.c_str());
    return false;
  }

  curl.reset();
  writeValidateString(cacheRoot, tagLine);
  return true;
}
