#ifndef KV_TESTS_SCRIPT_SERVER_H_
#define KV_TESTS_SCRIPT_SERVER_H_

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tests/test_util.h"

/// One canned answer of the ScriptServer.
struct ScriptedResponse {
  enum Stall {
    kNoStall,
    kStallBeforeAnswer,  ///< reads the request and never answers
    kStallMidBody,       ///< sends the headers and half the body, then nothing more
    kResetConnection,    ///< reads the request and resets the connection
    kResetMidBody,       ///< sends the headers and half the body, then resets it
    kCloseWithoutAnswer, ///< reads the request and closes the connection
    kEndlessBody,        ///< no Content-Length, and the body again and again
    /// Sends the headers and half the body, and the rest once the route is
    /// set again without this pause.
    kPauseMidBody,
  };

  int status = 200;
  /// Sent as written (names keep their letter case), in this order, followed by
  /// Content-Length unless named here, and "Connection: close".
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;  ///< not sent for HEAD
  Stall stall = kNoStall;
};

/// A canned answer: status, headers in order, body and stall, in one call.
ScriptedResponse answer(int status, std::vector<std::pair<std::string, std::string>> headers,
                        const std::string& body = "",
                        ScriptedResponse::Stall stall = ScriptedResponse::kNoStall);

/// A server that reads the request and never answers.
inline ScriptedResponse stalledAnswer() {
  return answer(200, {}, "", ScriptedResponse::kStallBeforeAnswer);
}

/// A scripted HTTP server on 127.0.0.1 (tests/http_script_server.py) for the
/// answers a real web server will not give on request: chosen status codes,
/// odd headers, redirect chains, stalls. Stopped when the object goes away.
class ScriptServer {
 public:
  ScriptServer();
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  bool started() const { return pid_ > 0; }
  int port() const { return port_; }
  std::string url(const std::string& pathStartingWithSlash) const;

  /// Answers every method on the path so; a route for a single method wins.
  /// Paths without a route get 404. Takes effect for the next request.
  void setRoute(const std::string& path, const ScriptedResponse& response);
  void setRoute(const std::string& method, const std::string& path,
                const ScriptedResponse& response);
  /// Answers the path's requests with the responses in turn, and every
  /// request after the last with the last.
  void setRoute(const std::string& path, const std::vector<ScriptedResponse>& inTurn);
  void setRoute(const std::string& method, const std::string& path,
                const std::vector<ScriptedResponse>& inTurn);

  /// The requests received so far, oldest first, as "METHOD TARGET STATUS",
  /// logged before each answer went out.
  std::vector<std::string> requests() const;
  int countRequests(const std::string& method) const;
  /// True once a request has come, within timeoutMs.
  bool waitForRequest(int timeoutMs = 30000) const;
  void clearRequests();

 private:
  void writeRoutes() const;

  ScopedTempDir dir_;
  std::map<std::string, std::vector<ScriptedResponse>> routes_;
  int port_ = 0;
  int pid_ = -1;
};

#endif  // KV_TESTS_SCRIPT_SERVER_H_
