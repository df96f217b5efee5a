#ifndef KV_TESTS_SQUID_PROXY_H_
#define KV_TESTS_SQUID_PROXY_H_

#include <string>
#include <vector>

#include "tests/test_util.h"

/// A real squid on 127.0.0.1, on a free port, with a configuration, logs and
/// a password file of its own, that serves only the user it was made for,
/// with the scheme it was made for: a company proxy that asks for
/// credentials. It forwards plain http and tunnels https through CONNECT.
/// Stopped when the object goes away.
class SquidProxy {
 public:
  enum Scheme { kBasic, kDigest };

  /// A CONNECT to refusedPort, when not 0, is answered 403 before any
  /// credentials are asked for, as to a port the company does not allow.
  SquidProxy(Scheme scheme, const std::string& user, const std::string& password,
             int refusedPort = 0);
  ~SquidProxy();
  SquidProxy(const SquidProxy&) = delete;
  SquidProxy& operator=(const SquidProxy&) = delete;

  bool started() const { return pid_ > 0; }
  /// "127.0.0.1:PORT".
  std::string hostAndPort() const;
  /// "http://[USERINFO@]127.0.0.1:PORT", as a proxy variable takes it.
  std::string url(const std::string& userinfo = "") const;

  /// What the proxy answered, oldest first, as "STATUS METHOD TARGET USER":
  /// "407 CONNECT 127.0.0.1:8443 -", "200 HEAD http://127.0.0.1:8080/agent ann".
  std::vector<std::string> answers() const;

  /// The proxy's logs, for messages of failed tests.
  std::string log() const;

 private:
  bool start(Scheme scheme, int refusedPort);

  ScopedTempDir dir_;
  std::string serviceName_;
  int port_ = 0;
  int pid_ = -1;
};

#endif  // KV_TESTS_SQUID_PROXY_H_
