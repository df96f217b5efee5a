#ifndef KV_TOOLS_KV_PACK_CHILD_PROCESS_H_
#define KV_TOOLS_KV_PACK_CHILD_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

#include "tools/kv-pack/file_io.h"

/// A program to run directly, without a shell, so no byte of any argument is
/// ever interpreted.
struct ChildSpec {
  std::vector<std::string> argv;    ///< argv[0] is looked up on PATH
  std::vector<std::string> setEnv;  ///< "NAME=value" entries added or replaced
  std::string workDir;              ///< empty: ours
  std::string stdinPath;            ///< empty: /dev/null
};

/// How it ended and what it printed.
struct ChildResult {
  bool started = false;
  bool exited = false;  ///< else ended by a signal (or never started)
  int exitCode = -1;
  int signal = 0;
  std::string out;
  std::string err;

  bool succeeded() const { return exited && exitCode == 0; }
  /// One line for an error message: the first line it printed, or how it ended.
  std::string summary() const;
};

/// A program that runs beside our own work until it is waited for. Standard
/// output and error are captured; when we are asked to stop meanwhile, the
/// child is sent SIGTERM and still waited for. A child ended by one of the
/// interrupt signals counts as an interrupt of ours (os/interrupt.h).
class Child {
 public:
  Child() = default;
  /// A child never waited for is stopped and reaped here.
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  /// A failure to start shows in the result of wait().
  void start(const ChildSpec& request);
  ChildResult wait();

 private:
  pid_t pid_ = -1;
  bool stoppedByUs_ = false;
  UniqueFd out_, err_;
  ChildResult result_;
};

/// Starts the program and waits for its end.
ChildResult runChild(const ChildSpec& request);

#endif  // KV_TOOLS_KV_PACK_CHILD_PROCESS_H_
