#include "agent/curl_library.h"

#include <dlfcn.h>

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

bool load(CurlLibrary* curl) {
  for (const char* name : kLibraryNames) {
    void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) continue;
    // Kept open for the rest of the process: handles made from it may live that long.
    if (resolveAll(library, curl)) return true;
    dlclose(library);
  }
  return false;
}

}  // namespace

const CurlLibrary* loadCurlLibrary(std::string* why) {
  enum State { kNotTried, kLoaded, kMissing };
  static State state = kNotTried;
  static CurlLibrary curl;
  if (state == kNotTried) state = load(&curl) ? kLoaded : kMissing;
  if (state == kLoaded) return &curl;
  *why =
      "libcurl is not installed (tried libcurl.so.4 and libcurl-gnutls.so.4); install your "
      "distribution's libcurl package";
  return nullptr;
}
