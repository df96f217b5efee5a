#include "tests/proxy_server.h"

#include <unistd.h>

#include <sstream>

#include <gtest/gtest.h>

#include "tests/server_process.h"

namespace {

const char kTinyproxy[] = "/usr/bin/tinyproxy";
const char kRequestMark[] = "Request (file descriptor ";
const char kListening[] = "Accepting connections";
const int kStartAttempts = 3;
const int kStartTimeoutMs = 10000;

}  // namespace

ProxyServer::ProxyServer() {
  for (int attempt = 0; attempt < kStartAttempts && !started(); ++attempt) {
    if (start()) break;
    // Another process may have taken the port between our probe and the proxy's bind.
    if (log().find("Address already in use") == std::string::npos) break;
  }
  if (!started()) ADD_FAILURE() << "tinyproxy did not start:\n" << log();
}

ProxyServer::~ProxyServer() { stopServerProcess(pid_); }

bool ProxyServer::start() {
  port_ = freeLoopbackPort();
  unlink((dir_ / "proxy.log").c_str());
  // No ConnectPort line: CONNECT may reach any port, the test servers' too.
  writeFile(dir_ / "proxy.conf", "Port " + std::to_string(port_) +
                                     "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 60\n"
                                     "MaxClients 32\nLogLevel Info\nLogFile \"" +
                                     (dir_ / "proxy.log") + "\"\n");
  // -d: in the foreground, where the test can stop it.
  const int pid = startServerProcess({kTinyproxy, "-d", "-c", dir_ / "proxy.conf"}, dir_ / "proxy.out");
  if (pid < 0) return false;
  if (!waitUntilServing(pid, [&] { return log().find(kListening) != std::string::npos; },
                        kStartTimeoutMs))
    return false;
  pid_ = pid;
  return true;
}

std::string ProxyServer::url() const { return "http://127.0.0.1:" + std::to_string(port_); }

std::vector<std::string> ProxyServer::requests() const {
  std::vector<std::string> found;
  std::istringstream lines(readFile(dir_ / "proxy.log"));
  for (std::string line; std::getline(lines, line);) {
    const size_t mark = line.find(kRequestMark);
    const size_t start = mark == std::string::npos ? mark : line.find("): ", mark);
    if (start != std::string::npos) found.push_back(line.substr(start + 3));
  }
  return found;
}

std::string ProxyServer::log() const {
  return readFile(dir_ / "proxy.log") + readFile(dir_ / "proxy.out");
}
