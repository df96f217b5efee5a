#ifndef KV_TESTS_TEST_UTIL_H_
#define KV_TESTS_TEST_UTIL_H_

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "formats/arch.h"

/// A fresh directory for one test, removed with its contents at the end even
/// when an assertion fails.
class ScopedTempDir {
 public:
  /// Made in parent: by default outside the /tmp that package runs see
  /// (runTmpDir()), or that a test mounts something over, so they still reach it.
  explicit ScopedTempDir(const std::string& parent = "/var/tmp");
  ~ScopedTempDir();
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

/// The directory a test's nginx serves, tmp/www, made on first use: the
/// server starts in a fixture's constructor, before any test body runs.
std::string www(const ScopedTempDir& tmp);

/// Sets (or, given nullopt, unsets) an environment variable for one scope and
/// restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::optional<std::string>& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  void set(const std::optional<std::string>& value);
  std::string name_;
  std::optional<std::string> old_;
};

/// How a child process ended and what it printed.
struct ProcessResult {
  int exitCode = -1;    ///< -1 when it was ended by a signal
  int termSignal = 0;   ///< the signal that ended it, else 0
  std::string out;
  std::string err;
};

/// A program to run: argv, environment changes, working directory.
struct Command {
  std::vector<std::string> argv;
  std::map<std::string, std::string> setEnv;
  std::vector<std::string> unsetEnv;
  std::string workDir;  ///< empty: the test's own
  std::string stdinText;
  /// Non-empty: the child sees this directory as /tmp, in a mount namespace
  /// of its own (for a plain user, in a user namespace of its own, where it
  /// keeps its ids: tests/test_users.h); it keeps its pid, so it can be
  /// signalled. Initialized here, so that brace-initialized commands may
  /// leave it out.
  std::string privateTmp{};
  /// Each file or directory `first` is bound over `second`, after privateTmp,
  /// in the child's own mount namespace: a test CA over the system's
  /// certificate bundle, another shell over /bin/sh.
  std::vector<std::pair<std::string, std::string>> bindMounts{};
  /// Runs the command as otherUser() (tests/test_users.h), after the mounts.
  bool asOtherUser{false};
};

/// Starts the command and returns its pid; stdout and stderr go to the files
/// given (or are discarded when empty). For tests that signal a running child.
int startProcess(const Command& command, const std::string& outFile = "",
                 const std::string& errFile = "");
/// Waits for a child started by startProcess().
ProcessResult waitProcess(int pid);

/// Runs the command to its end and captures its output.
ProcessResult runProcess(const Command& command);

/// Runs a shell command line (for test set-up); fails the test when it fails.
std::string shellOrDie(const std::string& commandLine);

void writeFile(const std::string& path, const std::string& contents, int mode = 0644);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
/// Entries of a directory, sorted; empty when it cannot be read.
std::vector<std::string> listDir(const std::string& path);
/// The directory that the package runs of this test process see as /tmp:
/// ctest runs every test in a process of its own, so the work directories a
/// test finds there are its own runs' alone, whatever runs beside it. Made
/// on first use, removed at exit.
const std::string& runTmpDir();
/// The program's work directories currently in runTmpDir().
std::vector<std::string> workDirsInTmp();

/// Where the built programs and the sources are. bootstrapBinary() is the
/// one under test: $KV_TEST_BOOTSTRAP when set, else the test build's.
std::string bootstrapBinary();
/// The bootstrap that vendors ship (built for every glibc from 2.17 on when
/// the build makes one; else the test build's).
std::string shippedBootstrap();
std::string packBinary();
std::string sourceDir();
std::string binaryDir();

/// A free TCP port on 127.0.0.1.
int freeLoopbackPort();

/// A TCP port on 127.0.0.1 that refuses every connection while the object
/// lives: bound but never listening, so that no server started beside the
/// test can take it in the meantime.
class ClosedLoopbackPort {
 public:
  ClosedLoopbackPort();
  ~ClosedLoopbackPort();
  ClosedLoopbackPort(const ClosedLoopbackPort&) = delete;
  ClosedLoopbackPort& operator=(const ClosedLoopbackPort&) = delete;
  int port() const { return port_; }
  std::string url(const std::string& pathStartingWithSlash) const;

 private:
  int fd_ = -1;
  int port_ = 0;
};

/// A TCP port on 127.0.0.1 where a connect gets no answer, as behind a
/// firewall that drops packets: it listens, but its queue of connections
/// waiting to be accepted is full, so the kernel drops every further SYN.
/// Needs neither root nor a network namespace.
class UnansweredLoopbackPort {
 public:
  UnansweredLoopbackPort();
  ~UnansweredLoopbackPort();
  UnansweredLoopbackPort(const UnansweredLoopbackPort&) = delete;
  UnansweredLoopbackPort& operator=(const UnansweredLoopbackPort&) = delete;
  /// "127.0.0.1:PORT".
  std::string hostAndPort() const;

 private:
  int listener_ = -1;
  int queued_ = -1;
  int port_ = 0;
};

/// Writes an install agent archive at zipPath whose "install" script is the
/// given shell text (run by sh).
void makeAgentZip(const std::string& zipPath, const std::string& installScript);

/// An install script that records its arguments, each ended by a NUL byte,
/// into the file recordPath, then exits with exitCode.
std::string probeAgentScript(const std::string& recordPath, int exitCode = 0);
/// The arguments a probe agent recorded.
std::vector<std::string> readRecordedArgs(const std::string& recordPath);

/// The start of an argv that runs the program after it with no descriptor
/// open but 0, 1 and 2 (whatever this process inherited) and at most `limit`
/// descriptors in all.
std::vector<std::string> withDescriptorLimit(int limit);

/// Parameters of makePackage().
struct PackageSpec {
  std::string output;                   ///< the package file to write
  std::map<std::string, std::string> bundleFiles = {{"app/hello.txt", "hello\n"}};
  std::string agentZip{};               ///< optional agent archive to carry
  std::string bootstrap{};              ///< empty: the built kv-bootstrap
  std::string arch{};                   ///< kv-pack's --arch; empty: its default
  /// kv-pack's --agent-url; empty: a closed loopback port when the package
  /// carries no agent (kv-pack refuses the build's placeholder), else none.
  std::string agentUrl{};
  std::string agentKey{};               ///< kv-pack's --agent-key; empty: none
};

/// Builds a real package with kv-pack; fails the test when kv-pack fails.
void makePackage(const PackageSpec& recipe);

/// The agent's file name that a bootstrap for platform appends to its base
/// URL: "/pi_install_agent_pi_<release>_<platform>".
std::string agentFileFor(const std::string& platform = kPlatformTag);

/// The agent cache of a run with HOME=home for the build's own agent URL:
/// "<home>/.korvex/installagent/<release>/<platform>/".
std::string agentCacheBaseFor(const std::string& home, const std::string& platform = kPlatformTag);

/// The agent cache of a run with HOME=home that downloads from agentUrl (not
/// the build's own URL): agentCacheBaseFor(), the URL's own directory, and
/// "signed-<keyId>/" when agents are checked with a key. Ends in "/".
std::string agentCacheRootFor(const std::string& home, const std::string& agentUrl,
                              const std::string& keyId = "",
                              const std::string& platform = kPlatformTag);

/// The id of the test key pair in KV_TEST_KEY_DIR, as kv-pack prints it.
std::string testKeyId();
/// The key line (56 base64 characters) of the test key pair's agent.pub.
std::string testKeyLine();

#endif  // KV_TESTS_TEST_UTIL_H_
