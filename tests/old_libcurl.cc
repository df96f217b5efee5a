// A stand-in for libcurl 7.29.0, the oldest libcurl a package meets (RHEL 7):
// built as libcurl.so.4 and put first on the library path, it forwards every
// call to the system's libcurl, answers CURLE_UNKNOWN_OPTION for every option
// that came later, as 7.29.0 itself does, and reports version 7.29.0.
//
// Options are numbered in the order libcurl gained them: 7.29.0's last was
// number 217 (CURLOPT_MAIL_AUTH); CURLOPT_SASL_IR, 218, came with 7.31.0. The
// one later name for an older number, CURLOPT_XFERINFODATA, is
// CURLOPT_PROGRESSDATA itself. Infos likewise: 7.29.0's last was number 42
// (CURLINFO_LOCAL_PORT).
//
// Certificates fail as 7.29.0 told them: one for another host as
// CURLE_PEER_FAILED_VERIFICATION, then number 51, and one no trusted
// authority signed as CURLE_SSL_CACERT, number 60, each with its text of then.
//
// With $KV_OLD_LIBCURL_LOG set, every refused option is appended to that file
// as "refused option N", so a test can see that this library was the one in use.
#define CURL_DISABLE_TYPECHECK
#include <curl/curl.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifndef KV_SYSTEM_LIBCURL
#error "KV_SYSTEM_LIBCURL names the system's libcurl file that the calls go to"
#endif

namespace {

constexpr int kLastOption = 217;
constexpr int kLastInfo = 42;
constexpr int kHostNotInCertificate = 51;
constexpr int kUnknownAuthority = 60;

struct SystemLibcurl {
  decltype(&curl_easy_init) init;
  decltype(&curl_easy_setopt) setopt;
  decltype(&curl_easy_perform) perform;
  decltype(&curl_easy_getinfo) getinfo;
  decltype(&curl_easy_strerror) strerror;
  decltype(&curl_easy_cleanup) cleanup;
  decltype(&curl_version_info) versionInfo;
};

template <typename Function>
void resolve(void* library, const char* name, Function* function) {
  *function = reinterpret_cast<Function>(dlsym(library, name));
  if (*function == nullptr) {
    fprintf(stderr, "old libcurl: %s has no %s\n", KV_SYSTEM_LIBCURL, name);
    abort();
  }
}

const SystemLibcurl& system() {
  static const SystemLibcurl loaded = [] {
    void* library = dlopen(KV_SYSTEM_LIBCURL, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
      fprintf(stderr, "old libcurl: %s\n", dlerror());
      abort();
    }
    SystemLibcurl found{};
    resolve(library, "curl_easy_init", &found.init);
    resolve(library, "curl_easy_setopt", &found.setopt);
    resolve(library, "curl_easy_perform", &found.perform);
    resolve(library, "curl_easy_getinfo", &found.getinfo);
    resolve(library, "curl_easy_strerror", &found.strerror);
    resolve(library, "curl_easy_cleanup", &found.cleanup);
    resolve(library, "curl_version_info", &found.versionInfo);
    return found;
  }();
  return loaded;
}

void logRefusal(int option) {
  const char* log = getenv("KV_OLD_LIBCURL_LOG");
  if (log == nullptr) return;
  if (FILE* file = fopen(log, "a")) {
    fprintf(file, "refused option %d\n", option);
    fclose(file);
  }
}

}  // namespace

extern "C" {

CURL* curl_easy_init(void) { return system().init(); }

// The one argument's type follows from the option's number range.
CURLcode curl_easy_setopt(CURL* handle, CURLoption option, ...) {
  if (option % 10000 > kLastOption) {
    logRefusal(option);
    return CURLE_UNKNOWN_OPTION;
  }
  va_list arguments;
  va_start(arguments, option);
  CURLcode code;
  if (option < CURLOPTTYPE_OBJECTPOINT) {
    code = system().setopt(handle, option, va_arg(arguments, long));
  } else if (option < CURLOPTTYPE_FUNCTIONPOINT) {
    code = system().setopt(handle, option, va_arg(arguments, void*));
  } else if (option < CURLOPTTYPE_OFF_T) {
    code = system().setopt(handle, option, va_arg(arguments, void (*)()));
  } else {
    code = system().setopt(handle, option, va_arg(arguments, curl_off_t));
  }
  va_end(arguments);
  return code;
}

CURLcode curl_easy_perform(CURL* handle) {
  const CURLcode code = system().perform(handle);
  // A chain that verified but failed all the same was not the host's.
  long verified = -1;
  if (code == kUnknownAuthority &&
      system().getinfo(handle, CURLINFO_SSL_VERIFYRESULT, &verified) == CURLE_OK && verified == 0)
    return static_cast<CURLcode>(kHostNotInCertificate);
  return code;
}

CURLcode curl_easy_getinfo(CURL* handle, CURLINFO info, ...) {
  // 7.29.0 answers an info it does not know so.
  if ((info & CURLINFO_MASK) > kLastInfo) return CURLE_BAD_FUNCTION_ARGUMENT;
  va_list arguments;
  va_start(arguments, info);
  CURLcode code = system().getinfo(handle, info, va_arg(arguments, void*));
  va_end(arguments);
  return code;
}

const char* curl_easy_strerror(CURLcode code) {
  if (code == kHostNotInCertificate) return "SSL peer certificate or SSH remote key was not OK";
  if (code == kUnknownAuthority) return "Peer certificate cannot be authenticated with given CA certificates";
  return system().strerror(code);
}

void curl_easy_cleanup(CURL* handle) { system().cleanup(handle); }

curl_version_info_data* curl_version_info(CURLversion stamp) {
  static curl_version_info_data data = *system().versionInfo(stamp);
  data.version = "7.29.0";
  data.version_num = 0x071d00;
  return &data;
}

char* curl_version(void) {
  static char text[] = "libcurl/7.29.0";
  return text;
}

}  // extern "C"
