#include "tests/squid_proxy.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "tests/server_process.h"

namespace {

const char kSquid[] = "/usr/sbin/squid";
const char kHelpers[] = "/usr/lib/squid/";
const char kListening[] = "Accepting HTTP Socket connections";
const int kStartAttempts = 3;
const int kStartTimeoutMs = 30000;

// squid started by root drops to this user, which must write the logs.
const char kUnprivilegedUser[] = "nobody";

}  // namespace

SquidProxy::SquidProxy(Scheme scheme, const std::string& user, const std::string& password,
                       int refusedPort) {
  // squid names its shared memory segments after the service: each proxy its own.
  static int made = 0;
  serviceName_ = "kvsquid" + std::to_string(getpid()) + "n" + std::to_string(++made);
  if (scheme == kBasic) {
    shellOrDie("printf '%s:%s\\n' '" + user + "' \"$(openssl passwd -apr1 '" + password + "')\" > " +
               (dir_ / "passwords"));
  } else {
    writeFile(dir_ / "passwords", user + ":" + password + "\n");
  }
  chmod((dir_ / "passwords").c_str(), 0644);
  if (geteuid() == 0) {
    const struct passwd* unprivileged = getpwnam(kUnprivilegedUser);
    if (unprivileged == nullptr ||
        chown(dir_.path().c_str(), unprivileged->pw_uid, unprivileged->pw_gid) != 0) {
      ADD_FAILURE() << "cannot give the proxy's directory to " << kUnprivilegedUser;
      return;
    }
  }
  for (int attempt = 0; attempt < kStartAttempts && !started(); ++attempt) {
    if (start(scheme, refusedPort)) break;
    // Another process may have taken the port between our probe and squid's bind.
    if (log().find("Address already in use") == std::string::npos) break;
  }
  if (!started()) ADD_FAILURE() << "squid did not start:\n" << log();
}

SquidProxy::~SquidProxy() {
  stopServerProcess(pid_);
  shellOrDie("rm -f /dev/shm/" + serviceName_ + "-*");
}

bool SquidProxy::start(Scheme scheme, int refusedPort) {
  port_ = freeLoopbackPort();
  unlink((dir_ / "cache.log").c_str());
  const std::string schemeName = scheme == kBasic ? "basic" : "digest";
  const std::string helper = scheme == kBasic ? "basic_ncsa_auth" : "digest_file_auth";
  std::string config = "http_port 127.0.0.1:" + std::to_string(port_) + "\n";
  if (geteuid() == 0) config += std::string("cache_effective_user ") + kUnprivilegedUser + "\n";
  // No cache, no pinger, no wait at shutdown; every request and CONNECT is
  // allowed once authenticated, to any port.
  config += "pid_filename " + (dir_ / "squid.pid") + "\ncache_log " + (dir_ / "cache.log") +
            "\nlogformat kv %>Hs %rm %ru %un\naccess_log stdio:" + (dir_ / "access.log") +
            " logformat=kv\n"
            "cache deny all\ncache_mem 1 MB\ncoredump_dir " + dir_.path() +
            "\nvisible_hostname kv-test-proxy\npinger_enable off\nshutdown_lifetime 0 seconds\n"
            "auth_param " + schemeName + " program " + kHelpers + helper + " " + (dir_ / "passwords") +
            "\nauth_param " + schemeName + " realm kv-test\n"
            "auth_param " + schemeName + " children 1 startup=1 idle=1\n"
            "acl CONNECT method CONNECT\nacl refused port " + std::to_string(refusedPort) +
            "\nhttp_access deny CONNECT refused\n"
            "acl authenticated proxy_auth REQUIRED\nhttp_access allow authenticated\n"
            "http_access deny all\n";
  writeFile(dir_ / "squid.conf", config);
  // -N: in the foreground, where the test can stop it.
  const int pid = startServerProcess({kSquid, "-N", "-n", serviceName_, "-f", dir_ / "squid.conf"},
                                     dir_ / "squid.out");
  if (pid < 0) return false;
  if (!waitUntilServing(pid, [&] { return readFile(dir_ / "cache.log").find(kListening) != std::string::npos; },
                        kStartTimeoutMs))
    return false;
  pid_ = pid;
  return true;
}

std::string SquidProxy::hostAndPort() const { return "127.0.0.1:" + std::to_string(port_); }

std::string SquidProxy::url(const std::string& userinfo) const {
  return "http://" + (userinfo.empty() ? "" : userinfo + "@") + hostAndPort();
}

std::vector<std::string> SquidProxy::answers() const {
  std::vector<std::string> found;
  std::istringstream lines(readFile(dir_ / "access.log"));
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) found.push_back(line);
  return found;
}

std::string SquidProxy::log() const {
  return readFile(dir_ / "cache.log") + readFile(dir_ / "squid.out");
}
