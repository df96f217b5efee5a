#include "agent/curl_library.h"

#include <dlfcn.h>

#include "os/interrupt.h"

namespace {

// Debian and Ubuntu build the same API against OpenSSL and against GnuTLS,
// and a desktop may carry only the second; other distributions ship one
// unversioned libcurl.so.4.
const char* const kLibraryNames[] = {"libcurl.so.4", "libcurl-gnutls.so.4"};

template <typename Function>
bool resolve(void* library, const char* name, Function* function) {
  void* address = dlsym(library, name);
  // POSIX guarantees that a dlsym result converts to a function pointer.
  *function = reinterpret_cast<Function>(address);
  return address != nullptr;
}

bool resolveAll(void* library, CurlLibrary* curl) {
  return resolve(library, "curl_easy_init", &curl->easy_init) &&
         resolve(library, "curl_easy_setopt", &curl->easy_setopt) &&
         resolve(library, "curl_easy_perform", &curl->easy_perform) &&
         resolve(library, "curl_easy_getinfo", &curl->easy_getinfo) &&
         resolve(library, "curl_easy_strerror", &curl->easy_strerror) &&
         resolve(library, "curl_easy_cleanup", &curl->easy_cleanup);
}

// The loader names the file it could not find first: the library itself when
// it is not installed, else a library it needs.
bool isNotFound(const char* name, const std::string& loaderError) {
  const std::string notFound = std::string(name) + ": cannot open shared object file";
  return loaderError.compare(0, notFound.size(), notFound) == 0;
}

bool load(CurlLibrary* curl, std::string* why) {
  why->clear();
  for (const char* name : kLibraryNames) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library != nullptr) {
      // Kept open for the rest of the process: handles made from it may live that long.
      if (resolveAll(library, curl)) return true;
      if (why->empty()) *why = std::string(name) + " is installed but cannot be used: " + dlerror();
      dlclose(library);
      continue;
    }
    const std::string loaderError = dlerror();
    if (why->empty() && !isNotFound(name, loaderError))
      *why = std::string(name) + " is installed but cannot be loaded: " + loaderError;
  }
  if (why->empty())
    *why =
        "libcurl is not installed (tried libcurl.so.4 and libcurl-gnutls.so.4); install your "
        "distribution's libcurl package";
  return false;
}

// libcurl calls it many times a second while a transfer runs, with the
// ProgressLine that showTransferProgress() set (or nullptr) and a total of 0
// while the size is not known.
int stopOnInterrupt(void* progress, curl_off_t dltotal, curl_off_t dlnow,
                    curl_off_t /*ultotal*/, curl_off_t /*ulnow*/) {
  if (pendingInterrupt() != 0) return 1;
  if (progress != nullptr && dlnow >= 0 && dltotal >= 0)
    static_cast<ProgressLine*>(progress)->update(static_cast<uint64_t>(dlnow),
                                                 static_cast<uint64_t>(dltotal));
  return 0;
}

int stopOnInterruptBefore7_32(void* progress, double dltotal, double dlnow,
                              double /*ultotal*/, double /*ulnow*/) {
  return stopOnInterrupt(progress, static_cast<curl_off_t>(dltotal),
                         static_cast<curl_off_t>(dlnow), 0, 0);
}

}  // namespace

const CurlLibrary* loadCurlLibrary(std::string* why) {
  enum State { kNotTried, kLoaded, kFailed };
  static State state = kNotTried;
  static CurlLibrary curl;
  static std::string failure;
  if (state == kNotTried) state = load(&curl, &failure) ? kLoaded : kFailed;
  if (state == kLoaded) return &curl;
  *why = failure;
  return nullptr;
}

CURLcode stopTransfersOnInterrupt(const CurlLibrary& lib, CURL* curl) {
  // CURLOPT_XFERINFOFUNCTION came with libcurl 7.32.0; older ones know only
  // the callback with doubles, and answer the newer option as unknown.
  CURLcode code = lib.easy_setopt(curl, CURLOPT_XFERINFOFUNCTION,
                                  static_cast<curl_xferinfo_callback>(stopOnInterrupt));
  if (code == CURLE_UNKNOWN_OPTION)
    code = lib.easy_setopt(curl, CURLOPT_PROGRESSFUNCTION,
                           static_cast<curl_progress_callback>(stopOnInterruptBefore7_32));
  // Only once a callback is in place: without one, libcurl draws its own
  // progress meter on standard error.
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  return code;
}

CURLcode showTransferProgress(const CurlLibrary& lib, CURL* curl, ProgressLine* line) {
  // The same option for both callbacks: CURLOPT_XFERINFODATA is
  // CURLOPT_PROGRESSDATA under its later name.
  void* data = line != nullptr && line->shown() ? line : nullptr;
  return lib.easy_setopt(curl, CURLOPT_XFERINFODATA, data);
}
