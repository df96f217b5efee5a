#include "tests/nginx_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <sstream>
#include <utility>

#include <gtest/gtest.h>

#include "tests/server_process.h"

namespace {

const char kNginx[] = "/usr/sbin/nginx";
const char kSyncPrefix[] = "/.kv-log-sync-";
const int kStartAttempts = 3;
const int kStartTimeoutMs = 10000;

std::string quoted(const std::string& text) {
  std::string result = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result + "\"";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);)
    if (!line.empty()) result.push_back(line);
  return result;
}

// Sends one plain HTTP/1.0 request and reads the answer to its end.
bool plainGet(int port, const std::string& target) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  struct timeval limit = {10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  struct sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<uint16_t>(port));
  bool answered = false;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) ==
        static_cast<ssize_t>(request.size())) {
      char buffer[4096];
      while (recv(fd, buffer, sizeof buffer, 0) > 0) answered = true;
    }
  }
  close(fd);
  return answered;
}

}  // namespace

TestCa makeTestCa(const std::string& dir) {
  TestCa ca{dir + "/ca.pem", dir + "/server.pem", dir + "/server.key"};
  const std::string key = "-newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
  shellOrDie("mkdir -p " + dir + " && cd " + dir +
             " && openssl req -x509 " + key + " -keyout ca.key -out ca.pem -days 2"
             " -subj /CN=kv-bootstrap-test-ca -addext basicConstraints=critical,CA:TRUE"
             " -addext keyUsage=critical,keyCertSign 2>/dev/null"
             " && openssl req " + key + " -keyout server.key -out server.csr -subj /CN=127.0.0.1"
             " 2>/dev/null"
             " && printf 'basicConstraints=CA:FALSE\nsubjectAltName=IP:127.0.0.1\n"
             "extendedKeyUsage=serverAuth\n' > server.ext"
             " && openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial"
             " -days 2 -extfile server.ext -out server.pem 2>/dev/null");
  return ca;
}

NginxServer::NginxServer(const std::string& docRoot, NginxSetup setup) : setup_(std::move(setup)) {
  for (int attempt = 0; attempt < kStartAttempts && !started(); ++attempt) {
    if (start(docRoot)) break;
    // Another process may have taken the port between our probe and nginx's bind.
    if (errorLog().find("Address already in use") == std::string::npos) break;
  }
  if (!started()) ADD_FAILURE() << "nginx did not start:\n" << errorLog();
}

NginxServer::~NginxServer() { stopServerProcess(pid_); }

bool NginxServer::start(const std::string& docRoot) {
  port_ = freeLoopbackPort();
  mkdir((prefix_ / "tmp").c_str(), 0700);
  writeFile(prefix_ / "nginx.conf", config(docRoot));
  unlink((prefix_ / "nginx.pid").c_str());
  int pid = startServerProcess({kNginx, "-p", prefix_.path() + "/", "-c", prefix_ / "nginx.conf",
                                "-e", prefix_ / "error.log"},
                               prefix_ / "nginx.out");
  if (pid < 0) return false;
  // nginx writes its pid file only once it listens.
  const std::string pidLine = std::to_string(pid) + "\n";
  if (!waitUntilServing(pid, [&] { return readFile(prefix_ / "nginx.pid") == pidLine; },
                        kStartTimeoutMs))
    return false;
  pid_ = pid;
  return true;
}

std::string NginxServer::config(const std::string& docRoot) const {
  const std::string prefix = prefix_.path() + "/";
  std::string text = "daemon off;\nworker_processes 1;\n";
  // As root nginx would hand the requests to "nobody", who cannot read the
  // tests' private directories.
  if (geteuid() == 0) text += "user root;\n";
  text += "pid " + quoted(prefix + "nginx.pid") + ";\n";
  text += "error_log " + quoted(prefix + "error.log") + " info;\n";
  text += "events { worker_connections 64; }\n";
  text += "http {\n";
  text += "  log_format requests '$request_method $request_uri $status';\n";
  text += "  access_log " + quoted(prefix + "access.log") + " requests;\n";
  for (const char* kind : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
    text += "  " + std::string(kind) + "_temp_path " + quoted(prefix + "tmp/" + kind) + ";\n";
  text += "  default_type application/octet-stream;\n";
  text += "  server {\n";
  text += "    listen 127.0.0.1:" + std::to_string(port_) + (isHttps() ? " ssl" : "") + ";\n";
  if (isHttps()) {
    text += "    ssl_certificate " + quoted(setup_.certFile) + ";\n";
    text += "    ssl_certificate_key " + quoted(setup_.keyFile) + ";\n";
  }
  text += "    root " + quoted(docRoot) + ";\n";
  text += setup_.serverConfig;
  text += "  }\n}\n";
  return text;
}

std::string NginxServer::url(const std::string& pathStartingWithSlash) const {
  return (isHttps() ? "https" : "http") + std::string("://127.0.0.1:") +
         std::to_string(port_) + pathStartingWithSlash;
}

// nginx logs a request only after its last byte went out, so a client can see
// the answer before the log line exists. One worker handles requests in turn:
// once a later request of ours is logged, every earlier one is too.
void NginxServer::syncAccessLog() const {
  if (!started() || isHttps()) return;
  const std::string target = kSyncPrefix + std::to_string(++syncCount_);
  if (!plainGet(port_, target)) {
    ADD_FAILURE() << "nginx did not answer " << target;
    return;
  }
  const std::string logged = "GET " + target + " ";
  if (!waitUntil([&] { return readFile(prefix_ / "access.log").find(logged) != std::string::npos; },
                 kStartTimeoutMs))
    ADD_FAILURE() << "nginx did not log " << target;
}

std::vector<std::string> NginxServer::accessLogRequests() const {
  syncAccessLog();
  std::vector<std::string> requests;
  const std::string syncRequest = std::string("GET ") + kSyncPrefix;
  for (const std::string& line : lines(readFile(prefix_ / "access.log")))
    if (line.compare(0, syncRequest.size(), syncRequest) != 0) requests.push_back(line);
  return requests;
}

std::string NginxServer::joinedAccessLog() const {
  std::string joined;
  for (const std::string& request : accessLogRequests())
    joined += (joined.empty() ? "" : ",") + request;
  return joined;
}

void NginxServer::clearAccessLog() {
  syncAccessLog();
  // nginx appends, so the next line lands at the start of the emptied file.
  if (truncate((prefix_ / "access.log").c_str(), 0) != 0 && errno != ENOENT)
    ADD_FAILURE() << "cannot empty nginx's access log";
}

std::string NginxServer::errorLog() const {
  return readFile(prefix_ / "error.log") + readFile(prefix_ / "nginx.out");
}

std::string NginxServer::expectedETag(const std::string& servedFile) {
  struct stat info;
  if (stat(servedFile.c_str(), &info) != 0) return std::string();
  char tag[64];
  snprintf(tag, sizeof tag, "\"%" PRIx64 "-%" PRIx64 "\"", static_cast<uint64_t>(info.st_mtime),
           static_cast<uint64_t>(info.st_size));
  return tag;
}
