#ifndef KV_TESTS_NGINX_SERVER_H_
#define KV_TESTS_NGINX_SERVER_H_

#include <string>
#include <vector>

#include "tests/test_util.h"

/// What an NginxServer does besides serving static files.
struct NginxSetup {
  std::string certFile;      ///< with keyFile: https instead of http
  std::string keyFile;
  std::string serverConfig;  ///< more directives in the server block, such as redirects
};

/// NginxSetup::serverConfig for a server that refuses requests without a
/// User-Agent (403), as many servers and firewalls do.
inline constexpr char kRefuseRequestsWithoutUserAgent[] =
    "if ($http_user_agent = \"\") { return 403; }\n";

/// A certificate authority made for one test, and a certificate for
/// 127.0.0.1 that it signed, all as PEM files in dir. No system trusts it;
/// a run does once caFile is bound over the system's bundle
/// (kSystemCaBundle) in its own mount namespace.
struct TestCa {
  std::string caFile;
  std::string certFile;
  std::string keyFile;
};
TestCa makeTestCa(const std::string& dir);

/// Where the system's libcurl looks for the certificates it trusts.
inline constexpr char kSystemCaBundle[] = "/etc/ssl/certs/ca-certificates.crt";

/// A real nginx serving docRoot on 127.0.0.1, on a free port, with its own
/// configuration, prefix, pid file and logs; stopped when the object goes away.
/// Static files carry nginx's own entity tags (see expectedETag()).
class NginxServer {
 public:
  explicit NginxServer(const std::string& docRoot, NginxSetup setup = {});
  ~NginxServer();
  NginxServer(const NginxServer&) = delete;
  NginxServer& operator=(const NginxServer&) = delete;

  bool started() const { return pid_ > 0; }
  int port() const { return port_; }
  std::string url(const std::string& pathStartingWithSlash) const;

  /// Every request answered since start or the last clearAccessLog(), oldest
  /// first, as "METHOD URI STATUS", e.g. "HEAD /agent 200". Over http it
  /// first makes sure nginx has logged every request it has answered.
  std::vector<std::string> accessLogRequests() const;
  /// The same, joined by commas into one text: "HEAD /agent 200,GET /agent 200".
  std::string joinedAccessLog() const;
  void clearAccessLog();

  /// nginx's error log, for messages of failed tests.
  std::string errorLog() const;

  /// The entity tag nginx sends for the file as it is now, quotes included.
  static std::string expectedETag(const std::string& servedFile);

 private:
  bool start(const std::string& docRoot);
  bool isHttps() const { return !setup_.certFile.empty(); }
  std::string config(const std::string& docRoot) const;
  void syncAccessLog() const;

  ScopedTempDir prefix_;
  NginxSetup setup_;
  int port_ = 0;
  int pid_ = -1;
  mutable int syncCount_ = 0;
};

#endif  // KV_TESTS_NGINX_SERVER_H_
