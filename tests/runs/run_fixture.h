#ifndef KV_TESTS_RUNS_RUN_FIXTURE_H_
#define KV_TESTS_RUNS_RUN_FIXTURE_H_

// Whole runs of real packages, written once as scenarios and run by every
// runner that applies: the host build, the shipped stub, the aarch64 stub
// under qemu-aarch64-static, the shipped stub in a Debian 11 root. CTest
// chooses the runner through $KV_TEST_RUNNER (tests/CMakeLists.txt); a
// scenario asks the fixture for its packages and commands, and the runner's
// bootstrap, machine and command prefix come with them. A new scenario
// (TEST_F on RunTest, or on a class derived from it that calls RunTest::SetUp
// and TearDown when it overrides them) runs under the host build; the filters
// in tests/CMakeLists.txt name what each other runner runs.

#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "agent/agent_config.h"
#include "tests/nginx_server.h"
#include "tests/run_helpers.h"
#include "tests/test_util.h"

/// What a scenario's packages are made with and run under.
struct Runner {
  std::string name;            ///< "host", "shipped", "aarch64" or "debian11"
  std::string bootstrap;       ///< packed into packages without a key
  std::string keyedBootstrap;  ///< packed into packages with a key
  std::string arch;            ///< kv-pack's --arch; empty: its default
  std::string platform;        ///< the platform its bootstrap fetches agents for
  /// What a package runs under, ahead of its path: empty, "qemu-aarch64-static
  /// -L ROOT", or a chroot into the Debian 11 root that sees /tmp and /var/tmp.
  std::vector<std::string> prefix;
  /// The root the bootstrap's libraries come from; empty: the host's.
  std::string libraryRoot;

  /// The directory the run loads the library soname (libcurl.so.4, ...) from.
  std::string libraryDir(const std::string& soname) const;
  /// What the runner itself writes on standard error when the bootstrap ends
  /// by signo: qemu tells of a signal that dumps core.
  std::string signalNote(int signo) const;
};

/// The runner of this test process: $KV_TEST_RUNNER, or the host build.
const Runner& runner();

/// One scenario's world: a directory of its own (tmp_), nginx serving www()
/// to the runner's bootstrap alone (it refuses any other User-Agent), a HOME,
/// and package runs that see runTmpDir() as /tmp. At its end no run may have
/// left a work directory there.
class RunTest : public testing::Test {
 protected:
  /// serverConfig: more nginx directives for the server block (redirects).
  explicit RunTest(const std::string& serverConfig = "");
  void SetUp() override;
  void TearDown() override;

  /// The directory nginx serves.
  std::string www() const { return tmp_ / "www"; }
  /// tmp_/homeName_, made on first use.
  std::string home() const;
  /// nginx's URL of www()/name: where runs fetch their agent by default.
  std::string agentUrl(const std::string& name = "agent") const;
  /// The agent cache of a run from url (default agentUrl()) under home(),
  /// checked with the key keyId when one is given, for the runner's platform.
  std::string cacheRoot(const std::string& url = "", const std::string& keyId = "") const;
  /// The requests nginx answered since the last clearAccessLog().
  std::vector<std::string> requests() const { return nginx_.accessLogRequests(); }

  /// Serves an agent archive at www()/name (directories made) whose install
  /// script is `script`, stored, so that scripts of one length make archives
  /// of one size; with `signIt`, signed now with the test key under its
  /// served name, beside it (name.minisig), else without a signature. Its
  /// file gets the time `modified` (nginx's tag follows from it and the
  /// size), or by default a later one than the agent served before. Returns
  /// its path.
  std::string serveAgent(const std::string& name, const std::string& script, bool signIt = false,
                         time_t modified = 0);

  /// An install script that records its arguments into record(name) and
  /// exits with exitCode; what it recorded is readRecordedArgs(record(name)).
  std::string probe(const std::string& name, int exitCode = 0) const;
  std::string record(const std::string& name) const { return tmp_ / ("argv." + name); }

  /// makePackage() with the runner's bootstrap (its keyed one when the recipe
  /// has a key) for the runner's machine, unless the recipe names them.
  /// Returns the package's path.
  std::string pack(PackageSpec recipe) const;
  /// A package at tmp_/name carrying an agent whose install script is `script`.
  std::string packCarrying(const std::string& script, const std::string& name = "setup.run") const;

  /// A run of package with args as a user would start it, under the
  /// runner's prefix: HOME=home(), the agent URL agentUrl() (ownAgentUrl()
  /// takes it away), runTmpDir() as /tmp, in tmp_. Change it, wrap its argv,
  /// then runProcess() or startProcess() it.
  Command runCommand(const std::string& package, const std::vector<std::string>& args = {}) const;
  /// runProcess(runCommand(package, args)).
  ProcessResult run(const std::string& package, const std::vector<std::string>& args = {}) const;
  /// The command, run with the agent URL its package carries.
  static Command ownAgentUrl(Command command);

  /// No run since SetUp() left a work directory in runTmpDir().
  void expectNoWorkDirLeft() const;

  ScopedTempDir tmp_;
  std::string homeName_ = "home";
  NginxServer nginx_;

 private:
  std::vector<std::string> workDirsBefore_;
  time_t lastServed_ = 1500000000;
};

#endif  // KV_TESTS_RUNS_RUN_FIXTURE_H_
