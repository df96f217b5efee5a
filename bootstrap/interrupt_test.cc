// A run stopped by SIGTERM, SIGHUP, SIGINT or SIGQUIT still removes its work
// directory and then ends by that same signal.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "agent/agent_paths.h"
#include "tests/run_helpers.h"
#include "tests/script_server.h"
#include "tests/test_util.h"

namespace {

class InterruptedRunTest : public testing::Test {
 protected:
  void SetUp() override { workDirsBefore_ = workDirsInTmp(); }

  // Starts the package in a process group of its own, with ignoredSignal
  // (a name such as "HUP") ignored when one is given, and in a network
  // namespace that drops the packets to kDroppedPort when packetsDropped.
  int start(const std::string& package, std::string agentUrl = "", const std::string& ignoredSignal = "",
            bool packetsDropped = false) {
    if (agentUrl.empty()) agentUrl = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/agent";
    Command command;
    command.argv = {package};
    if (!ignoredSignal.empty())
      command.argv = {"/usr/bin/env", "--ignore-signal=" + ignoredSignal, package};
    if (packetsDropped) command.argv = withPacketsDropped(command.argv);
    command.setEnv = {{"HOME", tmp_.path()}, {"KV_INTERNAL_INSTALL_AGENT_URL", agentUrl}};
    command.workDir = tmp_.path();  // where a SIGQUIT may leave a core file
    command.privateTmp = runTmpDir();
    return startProcess(command, tmp_ / "out", tmp_ / "err");
  }

  // An agent that records its arguments, says it started, waits, says it finished.
  std::string packageWithSleepyAgent(int seconds) {
    std::string script = probeAgentScript(tmp_ / "argv") + "";
    script = script.substr(0, script.rfind("exit"));
    script += "touch " + (tmp_ / "started") + "\nsleep " + std::to_string(seconds) + "\ntouch " +
              (tmp_ / "finished") + "\n";
    makeAgentZip(tmp_ / "agent.zip", script);
    makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
    return tmp_ / "setup.run";
  }

  static bool waitFor(const std::string& path) {
    for (int i = 0; i < 3000 && !fileExists(path); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return fileExists(path);
  }

  // The agent's shell forks sleep right after "started"; a signal that came
  // in between would find a child still holding the shell's handlers.
  static bool waitForSleepInGroup(int group) {
    const std::string probe = "pgrep -g " + std::to_string(group) + " -x sleep >/dev/null";
    for (int i = 0; i < 3000; ++i) {
      if (system(probe.c_str()) == 0) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The run's work directory once it holds `name`; empty when that never happens.
  std::string waitForWorkDirHolding(const std::string& name) {
    for (int i = 0; i < 3000; ++i) {
      for (const std::string& dir : newWorkDirs(workDirsBefore_))
        if (fileExists(dir + "/" + name)) return dir;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return "";
  }

  void expectCleanEndBy(int signo, const ProcessResult& result) {
    EXPECT_EQ(signo, result.termSignal) << "exit code " << result.exitCode;
    EXPECT_EQ("", readFile(tmp_ / "err"));
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
  }

  ScopedTempDir tmp_;
  std::vector<std::string> workDirsBefore_;
};

}  // namespace

// Ctrl-C and Ctrl-\\ reach the whole group as well; the bootstrap, which
// waits for the agent, learns of them from the agent's end.
TEST_F(InterruptedRunTest, SignalToTheWholeGroupEndsAgentAndCleansUp) {
  std::string package = packageWithSleepyAgent(30);
  for (int signo : {SIGTERM, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    unlink((tmp_ / "started").c_str());
    int pid = start(package);
    ASSERT_TRUE(waitFor(tmp_ / "started"));
    ASSERT_TRUE(waitForSleepInGroup(pid));
    kill(-pid, signo);
    ProcessResult result = waitProcess(pid);
    expectCleanEndBy(signo, result);
    EXPECT_FALSE(fileExists(tmp_ / "finished"));
  }
}

// nohup, or a script's background job: a signal the caller left ignored ends
// neither the run nor its agent, whoever it is sent to.
TEST_F(InterruptedRunTest, SignalTheCallerLeftIgnoredEndsNothing) {
  makeAgentZip(tmp_ / "agent.zip", "touch " + (tmp_ / "started") + "\nwhile [ ! -e " + (tmp_ / "go") +
                                       " ]; do sleep 0.05; done\ntouch " + (tmp_ / "finished") + "\n");
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
  const struct {
    int signo;
    const char* name;
  } signals[] = {{SIGHUP, "HUP"}, {SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGQUIT, "QUIT"}};
  for (const auto& s : signals) {
    SCOPED_TRACE(s.name);
    for (const char* flag : {"started", "go", "finished"}) unlink((tmp_ / flag).c_str());
    int pid = start(tmp_ / "setup.run", "", s.name);
    ASSERT_TRUE(waitFor(tmp_ / "started"));
    kill(-pid, s.signo);  // pending for every process of the run before the agent goes on
    writeFile(tmp_ / "go", "");
    ProcessResult result = waitProcess(pid);
    EXPECT_EQ(0, result.exitCode) << "signal " << result.termSignal;
    EXPECT_TRUE(fileExists(tmp_ / "finished"));
    EXPECT_EQ("", readFile(tmp_ / "err"));
    EXPECT_EQ(std::vector<std::string>{}, newWorkDirs(workDirsBefore_));
  }
}

TEST_F(InterruptedRunTest, InterruptDuringTheDownloadCleansUp) {
  ScriptServer server;
  ASSERT_TRUE(server.started());
  server.setRoute("/agent", stalledAnswer());
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, "", ""});
  for (int signo : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    server.clearRequests();
    int pid = start(tmp_ / "setup.run", server.url("/agent"));
    ASSERT_TRUE(server.waitForRequest()) << "never saw the request";
    kill(-pid, signo);
    expectCleanEndBy(signo, waitProcess(pid));
  }
}

// A connect that nothing answers waits up to the connect limit; a signal, to
// the bootstrap alone or to the whole group, ends it at once.
TEST_F(InterruptedRunTest, InterruptDuringAConnectThatNothingAnswersCleansUp) {
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, "", ""});
  const std::string url = droppedAgentUrl();
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signo));
    int pid = start(tmp_ / "setup.run", url, "", true);
    ASSERT_TRUE(waitUntilConnectingToDroppedPort(pid)) << readFile(tmp_ / "err");
    const auto signalled = std::chrono::steady_clock::now();
    kill(signo == SIGTERM ? pid : -pid, signo);
    ProcessResult result = waitProcess(pid);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
    expectCleanEndBy(signo, result);
    EXPECT_LT(took.count(), 20) << "seconds: the signal, not the 30 s connect limit, must end it";
  }
}

TEST_F(InterruptedRunTest, HangupToTheBootstrapAloneLetsTheAgentFinish) {
  int pid = start(packageWithSleepyAgent(2));
  ASSERT_TRUE(waitFor(tmp_ / "started"));
  std::vector<std::string> argv = readRecordedArgs(tmp_ / "argv");
  ASSERT_EQ(2u, argv.size());
  std::string workDir = pathOutsideRun(argv[1].substr(0, argv[1].rfind('/')));

  kill(pid, SIGHUP);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fileExists(workDir)) << "removed while the agent still runs";
  ProcessResult result = waitProcess(pid);
  EXPECT_TRUE(fileExists(tmp_ / "finished"));
  expectCleanEndBy(SIGHUP, result);
}

// The run ends by the first signal it caught, a hangup, even when the agent
// it waits for ends by another one later. bash runs the last command without
// forking, so the agent's end by SIGINT reaches the bootstrap as such.
TEST_F(InterruptedRunTest, FirstOfTwoSignalsEndsTheRun) {
  makeAgentZip(tmp_ / "agent.zip", "touch " + (tmp_ / "started") + "\nwhile [ ! -e " + (tmp_ / "go") +
                                       " ]; do sleep 0.05; done\nexec env --default-signal=INT sh -c "
                                       "'kill -INT $$'\n");
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip", ""});
  Command command;
  command.argv = {tmp_ / "setup.run"};
  command.setEnv = {{"HOME", tmp_.path()}};
  command.privateTmp = runTmpDir();
  command.bindMounts = {{"/bin/bash", "/bin/sh"}};
  int pid = startProcess(command, tmp_ / "out", tmp_ / "err");
  ASSERT_TRUE(waitFor(tmp_ / "started"));
  kill(pid, SIGHUP);  // caught at once: the bootstrap sleeps in its wait for the agent
  writeFile(tmp_ / "go", "");
  expectCleanEndBy(SIGHUP, waitProcess(pid));
}

TEST_F(InterruptedRunTest, TermDuringTheUnpackStartsNoAgent) {
  // A large stored bundle keeps unzip busy long enough to be interrupted.
  shellOrDie("mkdir " + (tmp_ / "big") + " && head -c 200000000 /dev/zero > " + (tmp_ / "big/data") +
             " && cd " + (tmp_ / "big") + " && zip -q -0 ../bundle.zip data && rm data");
  makeAgentZip(tmp_ / "agent.zip", probeAgentScript(tmp_ / "argv"));
  ProcessResult pack = runProcess({{packBinary(), "--bootstrap", bootstrapBinary(), "--bundle",
                                    tmp_ / "bundle.zip", "--agent", tmp_ / "agent.zip", "-o",
                                    tmp_ / "setup.run"},
                                   {}, {}, "", ""});
  ASSERT_EQ(0, pack.exitCode) << pack.err;
  unlink((tmp_ / "bundle.zip").c_str());

  // SIGTERM to the bootstrap alone lets unzip finish; Ctrl-C ends unzip too.
  for (int target : {1, -1}) {
    const int signo = target > 0 ? SIGTERM : SIGINT;
    SCOPED_TRACE(strsignal(signo));
    int pid = start(tmp_ / "setup.run");
    ASSERT_FALSE(waitForWorkDirHolding("bundle.zip").empty()) << "never saw the unpack";
    kill(target * pid, signo);
    ProcessResult result = waitProcess(pid);
    expectCleanEndBy(signo, result);
    EXPECT_FALSE(fileExists(tmp_ / "argv")) << "no agent may start after the signal";
  }
}

TEST_F(InterruptedRunTest, TermDuringTheAgentUnpackStartsNoAgent) {
  // Zeros deflate to nearly nothing: the package stays small, the agent's unpack takes long.
  ScopedTempDir stage;
  writeFile(stage / "install", probeAgentScript(tmp_ / "argv"), 0755);
  shellOrDie("cd " + stage.path() + " && head -c 200000000 /dev/zero > data && zip -q " +
             (tmp_ / "InstallAgent.zip") + " install data");
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "InstallAgent.zip", ""});

  int pid = start(tmp_ / "setup.run");
  ASSERT_FALSE(waitForWorkDirHolding("data").empty()) << "never saw the agent's unpack";
  kill(pid, SIGTERM);
  ProcessResult result = waitProcess(pid);
  expectCleanEndBy(SIGTERM, result);
  EXPECT_FALSE(fileExists(tmp_ / "argv")) << "no agent may start after the signal";
}

TEST_F(InterruptedRunTest, TermEndsTheWaitForAnotherRunsCacheLock) {
  const std::string agentUrl = "http://127.0.0.1:" + std::to_string(freeLoopbackPort()) + "/agent";
  const std::string cacheRoot = agentCacheRootFor(tmp_.path(), agentUrl);
  shellOrDie("mkdir -p " + cacheRoot);
  // Another run holding the lock, for longer than the bound below.
  int holder = startProcess({{"/usr/bin/flock", cacheRoot + ".lock", "sh", "-c",
                              "touch " + (tmp_ / "held") + " && sleep 20"},
                             {}, {}, "", ""});
  ASSERT_TRUE(waitFor(tmp_ / "held"));
  makePackage({tmp_ / "setup.run", {{"a.txt", "a\n"}}, "", ""});

  int pid = start(tmp_ / "setup.run", agentUrl);
  ASSERT_TRUE(waitUntilWaitingForLock(pid)) << "the run never waited for the lock";
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  ProcessResult result = waitProcess(pid);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
  EXPECT_LT(took.count(), 10) << "seconds from the signal to the end of the run";
  expectCleanEndBy(SIGTERM, result);
  kill(-holder, SIGTERM);
  waitProcess(holder);
}
