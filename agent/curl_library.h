#ifndef KV_AGENT_CURL_LIBRARY_H_
#define KV_AGENT_CURL_LIBRARY_H_

#include <string>

#include <curl/curl.h>

/// The part of libcurl's easy interface a download uses. libcurl is loaded
/// when the first download needs it, never at start: a package that carries
/// its agent runs where no libcurl is installed, and the system's own libcurl
/// brings the system's TLS library and certificates.
struct CurlLibrary {
  CURL* (*easy_init)();
  CURLcode (*easy_setopt)(CURL* handle, CURLoption option, ...);
  CURLcode (*easy_perform)(CURL* handle);
  CURLcode (*easy_getinfo)(CURL* handle, CURLINFO info, ...);
  const char* (*easy_strerror)(CURLcode code);
  void (*easy_cleanup)(CURL* handle);
};

/// libcurl, loaded on the first call: libcurl.so.4, else libcurl-gnutls.so.4.
/// nullptr when neither loads whole, with *why naming what was tried and how
/// to get it; later calls give the same answer without trying again.
const CurlLibrary* loadCurlLibrary(std::string* why);

#endif  // KV_AGENT_CURL_LIBRARY_H_
