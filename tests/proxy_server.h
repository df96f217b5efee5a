#ifndef KV_TESTS_PROXY_SERVER_H_
#define KV_TESTS_PROXY_SERVER_H_

#include <string>
#include <vector>

#include "tests/test_util.h"

/// The environment variables that choose a proxy for libcurl, and those that
/// look as if they would: a run that tests one of them unsets the others.
inline const std::vector<std::string> kProxyVariables = {
    "http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY",
    "all_proxy",  "ALL_PROXY",  "no_proxy",    "NO_PROXY"};

/// A real forward proxy (tinyproxy) on 127.0.0.1, on a free port, with a
/// configuration and log of its own; stopped when the object goes away. It
/// forwards plain http requests and tunnels https through CONNECT.
class ProxyServer {
 public:
  ProxyServer();
  ~ProxyServer();
  ProxyServer(const ProxyServer&) = delete;
  ProxyServer& operator=(const ProxyServer&) = delete;

  bool started() const { return pid_ > 0; }
  /// "http://127.0.0.1:PORT", as a proxy variable takes it.
  std::string url() const;

  /// The request lines the proxy was asked to serve, oldest first, as it
  /// logged them: "GET http://127.0.0.1:8080/agent HTTP/1.1" or
  /// "CONNECT 127.0.0.1:8443 HTTP/1.1". It logs each before it forwards it.
  std::vector<std::string> requests() const;

  /// The proxy's whole log, for messages of failed tests.
  std::string log() const;

 private:
  bool start();

  ScopedTempDir dir_;
  int port_ = 0;
  int pid_ = -1;
};

#endif  // KV_TESTS_PROXY_SERVER_H_
