#include "tests/script_server.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/server_process.h"

namespace {

const char kPython[] = "/usr/bin/python3";
const int kStartTimeoutMs = 10000;

// JSON text of bytes read back as Latin-1, so every byte value survives.
std::string jsonString(const std::string& text) {
  std::string result = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      result += '\\';
      result += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\u%04x", c);
      result += escaped;
    } else {
      result += static_cast<char>(c);
    }
  }
  return result + "\"";
}

const char* stallName(ScriptedResponse::Stall stall) {
  switch (stall) {
    case ScriptedResponse::kStallBeforeAnswer:
      return "before-answer";
    case ScriptedResponse::kStallMidBody:
      return "mid-body";
    case ScriptedResponse::kResetConnection:
      return "reset";
    case ScriptedResponse::kResetMidBody:
      return "reset-mid-body";
    case ScriptedResponse::kCloseWithoutAnswer:
      return "close";
    case ScriptedResponse::kEndlessBody:
      return "endless";
    case ScriptedResponse::kPauseMidBody:
      return "pause-mid-body";
    case ScriptedResponse::kNoStall:
      break;
  }
  return "";
}

std::string json(const ScriptedResponse& response) {
  std::string text = "{\"status\": " + std::to_string(response.status) + ", \"headers\": [";
  for (size_t i = 0; i < response.headers.size(); ++i) {
    if (i > 0) text += ", ";
    text += "[" + jsonString(response.headers[i].first) + ", " +
            jsonString(response.headers[i].second) + "]";
  }
  text += "], \"body\": " + jsonString(response.body) + ", \"stall\": \"" +
          stallName(response.stall) + "\"}";
  return text;
}

}  // namespace

ScriptServer::ScriptServer() {
  writeRoutes();
  const std::string portFile = dir_ / "port";
  int pid = startServerProcess({kPython, sourceDir() + "/tests/http_script_server.py", "--routes",
                                dir_ / "routes.json", "--log", dir_ / "requests.log", "--port-file",
                                portFile},
                               dir_ / "server.out");
  // The server binds port 0 itself and tells which port it got, so no other
  // process can take it in between.
  if (!waitUntilServing(pid, [&] { return fileExists(portFile); }, kStartTimeoutMs)) {
    ADD_FAILURE() << "the script server did not start:\n" << readFile(dir_ / "server.out");
    return;
  }
  pid_ = pid;
  port_ = std::stoi(readFile(portFile));
}

ScriptServer::~ScriptServer() { stopServerProcess(pid_); }

std::string ScriptServer::url(const std::string& pathStartingWithSlash) const {
  return "http://127.0.0.1:" + std::to_string(port_) + pathStartingWithSlash;
}

void ScriptServer::setRoute(const std::string& path, const ScriptedResponse& response) {
  routes_[path] = {response};
  writeRoutes();
}

void ScriptServer::setRoute(const std::string& method, const std::string& path,
                            const ScriptedResponse& response) {
  routes_[method + " " + path] = {response};
  writeRoutes();
}

void ScriptServer::setRoute(const std::string& path, const std::vector<ScriptedResponse>& inTurn) {
  routes_[path] = inTurn;
  writeRoutes();
}

void ScriptServer::setRoute(const std::string& method, const std::string& path,
                            const std::vector<ScriptedResponse>& inTurn) {
  routes_[method + " " + path] = inTurn;
  writeRoutes();
}

// Renamed into place, so the server never reads a half-written file.
void ScriptServer::writeRoutes() const {
  std::string text = "{";
  for (const auto& [key, responses] : routes_) {
    if (text.size() > 1) text += ",\n";
    text += jsonString(key) + ": ";
    if (responses.size() == 1) {
      text += json(responses[0]);
      continue;
    }
    for (size_t i = 0; i < responses.size(); ++i) text += (i == 0 ? "[" : ", ") + json(responses[i]);
    text += "]";
  }
  text += "}\n";
  writeFile(dir_ / "routes.json.new", text);
  if (rename((dir_ / "routes.json.new").c_str(), (dir_ / "routes.json").c_str()) != 0)
    ADD_FAILURE() << "cannot put the routes in place";
}

ScriptedResponse answer(int status, std::vector<std::pair<std::string, std::string>> headers,
                        const std::string& body, ScriptedResponse::Stall stall) {
  ScriptedResponse response;
  response.status = status;
  response.headers = std::move(headers);
  response.body = body;
  response.stall = stall;
  return response;
}

bool ScriptServer::waitForRequest(int timeoutMs) const {
  return waitUntil([this] { return !requests().empty(); }, timeoutMs);
}

std::vector<std::string> ScriptServer::requests() const {
  std::vector<std::string> result;
  std::istringstream log(readFile(dir_ / "requests.log"));
  for (std::string line; std::getline(log, line);)
    if (!line.empty()) result.push_back(line);
  return result;
}

int ScriptServer::countRequests(const std::string& method) const {
  int count = 0;
  for (const std::string& request : requests())
    if (request.compare(0, method.size() + 1, method + " ") == 0) ++count;
  return count;
}

void ScriptServer::clearRequests() {
  if (truncate((dir_ / "requests.log").c_str(), 0) != 0 && errno != ENOENT)
    ADD_FAILURE() << "cannot empty the request log";
}
