#ifndef KV_AGENT_CURL_LIBRARY_H_
#define KV_AGENT_CURL_LIBRARY_H_

#include <string>

#include <curl/curl.h>

#include "os/progress_line.h"

/// The part of libcurl's easy interface a download uses, typed from libcurl's
/// own prototypes. libcurl is loaded when the first download needs it, never
/// at start: a package that carries its agent runs where no libcurl is
/// installed, and the system's own libcurl brings the system's TLS library
/// and certificates.
struct CurlLibrary {
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_easy_cleanup) easy_cleanup;
};

/// libcurl, loaded on the first call: libcurl.so.4, else libcurl-gnutls.so.4.
/// nullptr when neither loads whole, with *why saying so: that libcurl is not
/// installed, or which library is there but cannot be used, in the dynamic
/// loader's words. Later calls give the same answer without trying again.
const CurlLibrary* loadCurlLibrary(std::string* why);

/// Makes every transfer on the handle end as soon as an interrupt is pending
/// (os/interrupt.h), on every libcurl from 7.29.0 on.
CURLcode stopTransfersOnInterrupt(const CurlLibrary& lib, CURL* curl);

/// Shows how far the transfers on the handle have come on `line`, through
/// the callback that stopTransfersOnInterrupt() set; nullptr, or a line that
/// is not shown: nowhere.
CURLcode showTransferProgress(const CurlLibrary& lib, CURL* curl, ProgressLine* line);

#endif  // KV_AGENT_CURL_LIBRARY_H_
