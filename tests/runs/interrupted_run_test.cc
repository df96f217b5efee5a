// A run stopped by SIGTERM, SIGHUP, SIGINT or SIGQUIT still removes its work
// directory and then ends by that same signal.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <gtest/gtest.h>

#include "tests/runs/run_fixture.h"
#include "tests/script_server.h"
#include "tests/server_process.h"

namespace {

class InterruptedRunTest : public RunTest {
 protected:
  // Starts a run of the package in a process group of its own, its output
  // into tmp_/out and tmp_/err.
  int start(const Command& command) { return startProcess(command, tmp_ / "out", tmp_ / "err"); }

  // An agent that records its arguments, says it started, waits (`wait`,
  // shell text), says it finished.
  std::string packageWithSleepyAgent(const std::string& wait = "sleep 30") {
    std::string script = probe("agent");
    script = script.substr(0, script.rfind("exit"));
    return packCarrying(script + "touch " + (tmp_ / "started") + "\n" + wait + "\ntouch " + (tmp_ / "finished") + "\n");
  }
  std::string untilGo() const { return "while [ ! -e " + (tmp_ / "go") + " ]; do sleep 0.05; done"; }

  static bool waitFor(const std::string& path) {
    return waitUntil([&] { return fileExists(path); }, 30000);
  }

  // The agent's shell forks sleep right after "started"; a signal that came
  // in between would find a child still holding the shell's handlers.
  static bool waitForSleepInGroup(int group) {
    const std::string probe = "pgrep -g " + std::to_string(group) + " -x sleep >/dev/null";
    return waitUntil([&] { return system(probe.c_str()) == 0; }, 60000);
  }

  // The run's work directory once it holds `name`; empty when that never happens.
  std::string waitForWorkDirHolding(const std::string& name) {
    std::string found;
    waitUntil(
        [&] {
          for (const std::string& dir : workDirsInTmp())
            if (fileExists(dir + "/" + name)) found = dir;
          return !found.empty();
        },
        30000);
    return found;
  }

  void expectCleanEndBy(int signo, const ProcessResult& result) {
    EXPECT_EQ(signo, result.termSignal) << "exit code " << result.exitCode;
    EXPECT_EQ(runner().signalNote(signo), readFile(tmp_ / "err"));
    expectNoWorkDirLeft();
  }
};

// Signals sent to the process and not yet taken, from /proc/PID/status.
unsigned long long pendingSignals(int pid) {
  std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 7, "ShdPnd:") == 0) return std::stoull(line.substr(7), nullptr, 16);
  return 0;
}

}  // namespace

// Ctrl-C and Ctrl-\\ reach the whole group as well, and a service manager
// stopping the job sends SIGTERM to it; the bootstrap, which waits for the
// agent, learns of them from the agent's end.
TEST_F(InterruptedRunTest, SignalToTheWholeGroupEndsAgentAndCleansUp) {
  const std::string package = packageWithSleepyAgent();
  for (int signo : {SIGTERM, SIGINT, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    unlink((tmp_ / "started").c_str());
    int pid = start(runCommand(package));
    ASSERT_TRUE(waitFor(tmp_ / "started"));
    ASSERT_TRUE(waitForSleepInGroup(pid));
    kill(-pid, signo);
    expectCleanEndBy(signo, waitProcess(pid));
    EXPECT_FALSE(fileExists(tmp_ / "finished"));
  }
}

// nohup, or a script's background job: a signal the caller left ignored ends
// neither the run nor its agent, whoever it is sent to.
TEST_F(InterruptedRunTest, SignalTheCallerLeftIgnoredEndsNothing) {
  const std::string package = packageWithSleepyAgent(untilGo());
  const struct {
    int signo;
    const char* name;
  } signals[] = {{SIGHUP, "HUP"}, {SIGTERM, "TERM"}, {SIGINT, "INT"}, {SIGQUIT, "QUIT"}};
  for (const auto& s : signals) {
    SCOPED_TRACE(s.name);
    for (const char* flag : {"started", "go", "finished"}) unlink((tmp_ / flag).c_str());
    Command command = runCommand(package);
    command.argv.insert(command.argv.begin(), {"/usr/bin/env", std::string("--ignore-signal=") + s.name});
    int pid = start(command);
    ASSERT_TRUE(waitFor(tmp_ / "started"));
    kill(-pid, s.signo);  // pending for every process of the run before the agent goes on
    writeFile(tmp_ / "go", "");
    ProcessResult result = waitProcess(pid);
    EXPECT_EQ(0, result.exitCode) << "signal " << result.termSignal;
    EXPECT_TRUE(fileExists(tmp_ / "finished"));
    EXPECT_EQ("", readFile(tmp_ / "err"));
    expectNoWorkDirLeft();
  }
}

TEST_F(InterruptedRunTest, InterruptDuringTheDownloadCleansUp) {
  ScriptServer server;
  ASSERT_TRUE(server.started());
  server.setRoute("/agent", stalledAnswer());
  const std::string package = pack({tmp_ / "setup.run"});
  for (int signo : {SIGINT, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signo));
    server.clearRequests();
    Command command = runCommand(package);
    command.setEnv[kAgentUrlVariable] = server.url("/agent");
    int pid = start(command);
    ASSERT_TRUE(server.waitForRequest()) << "never saw the request";
    kill(-pid, signo);
    expectCleanEndBy(signo, waitProcess(pid));
  }
}

// A connect that nothing answers waits up to the connect limit; a signal, to
// the bootstrap alone or to the whole group, ends it at once.
TEST_F(InterruptedRunTest, InterruptDuringAConnectThatNothingAnswersCleansUp) {
  const std::string package = pack({tmp_ / "setup.run"});
  for (int signo : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signo));
    Command command = runCommand(package);
    command.setEnv[kAgentUrlVariable] = droppedAgentUrl();
    command.argv = withPacketsDropped(command.argv);
    int pid = start(command);
    ASSERT_TRUE(waitUntilConnectingToDroppedPort(pid)) << readFile(tmp_ / "err");
    const auto signalled = std::chrono::steady_clock::now();
    kill(signo == SIGTERM ? pid : -pid, signo);
    ProcessResult result = waitProcess(pid);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
    expectCleanEndBy(signo, result);
    EXPECT_LT(took.count(), 20) << "seconds: the signal, not the 30 s connect limit, must end it";
  }
}

// The agent looks for its work directory once the hangup has reached the
// bootstrap.
TEST_F(InterruptedRunTest, HangupToTheBootstrapAloneLetsTheAgentFinish) {
  int pid = start(runCommand(packageWithSleepyAgent(
      untilGo() + "\n[ -e \"$2\" ] && touch " + (tmp_ / "bundle-still-there"))));
  ASSERT_TRUE(waitFor(tmp_ / "started"));
  kill(pid, SIGHUP);
  ASSERT_TRUE(waitUntil([&] { return (pendingSignals(pid) & (1ull << (SIGHUP - 1))) == 0; }, 30000));
  writeFile(tmp_ / "go", "");
  ProcessResult result = waitProcess(pid);
  EXPECT_TRUE(fileExists(tmp_ / "bundle-still-there")) << "removed while the agent still runs";
  EXPECT_TRUE(fileExists(tmp_ / "finished"));
  expectCleanEndBy(SIGHUP, result);
}

// The run ends by the first signal it caught, a hangup, even when the agent
// it waits for ends by another one later. bash runs the last command without
// forking, so the agent's end by SIGINT reaches the bootstrap as such.
TEST_F(InterruptedRunTest, FirstOfTwoSignalsEndsTheRun) {
  Command command = runCommand(packCarrying("touch " + (tmp_ / "started") + "\n" + untilGo() +
                                            "\nexec env --default-signal=INT sh -c 'kill -INT $$'\n"));
  command.bindMounts = {{"/bin/bash", "/bin/sh"}};
  int pid = start(command);
  ASSERT_TRUE(waitFor(tmp_ / "started"));
  kill(pid, SIGHUP);  // caught at once: the bootstrap sleeps in its wait for the agent
  writeFile(tmp_ / "go", "");
  expectCleanEndBy(SIGHUP, waitProcess(pid));
}

// A large stored bundle keeps the payload's unpack busy long enough to be
// interrupted: SIGTERM to the bootstrap alone lets unzip finish, Ctrl-C ends
// unzip too.
TEST_F(InterruptedRunTest, TermDuringTheUnpackStartsNoAgent) {
  shellOrDie("cd " + tmp_.path() + " && head -c 200000000 /dev/zero > data && zip -q -0 bundle.zip data && rm data");
  makeAgentZip(tmp_ / "agent.zip", probe("agent"));
  ProcessResult packed = runProcess({{packBinary(), "--bootstrap", runner().bootstrap, "--bundle", tmp_ / "bundle.zip",
                                      "--agent", tmp_ / "agent.zip", "-o", tmp_ / "setup.run"},
                                     {}, {}, "", ""});
  ASSERT_EQ(0, packed.exitCode) << packed.err;
  for (int target : {1, -1}) {
    const int signo = target > 0 ? SIGTERM : SIGINT;
    SCOPED_TRACE(strsignal(signo));
    int pid = start(runCommand(tmp_ / "setup.run"));
    ASSERT_FALSE(waitForWorkDirHolding("bundle.zip").empty()) << "never saw the unpack";
    kill(target * pid, signo);
    expectCleanEndBy(signo, waitProcess(pid));
    EXPECT_FALSE(fileExists(record("agent"))) << "no agent may start after the signal";
  }
}

// Zeros deflate to nearly nothing: the package stays small, the agent's unpack takes long.
TEST_F(InterruptedRunTest, TermDuringTheAgentUnpackStartsNoAgent) {
  writeFile(tmp_ / "install", probe("agent"), 0755);
  shellOrDie("cd " + tmp_.path() + " && head -c 200000000 /dev/zero > data && zip -q agent.zip install data");
  int pid = start(runCommand(pack({tmp_ / "setup.run", {{"a.txt", "a\n"}}, tmp_ / "agent.zip"})));
  ASSERT_FALSE(waitForWorkDirHolding("data").empty()) << "never saw the agent's unpack";
  kill(pid, SIGTERM);
  expectCleanEndBy(SIGTERM, waitProcess(pid));
  EXPECT_FALSE(fileExists(record("agent"))) << "no agent may start after the signal";
}

TEST_F(InterruptedRunTest, TermEndsTheWaitForAnotherRunsCacheLock) {
  shellOrDie("mkdir -p " + cacheRoot());
  // Another run holding the lock, for as long as tmp_/held exists.
  int holder = startProcess({{"/usr/bin/flock", cacheRoot() + ".lock", "sh", "-c",
                              "touch \"$0\" && while [ -e \"$0\" ]; do sleep 0.05; done", tmp_ / "held"},
                             {}, {}, "", ""});
  ASSERT_TRUE(waitFor(tmp_ / "held"));
  int pid = start(runCommand(pack({tmp_ / "setup.run"})));
  ASSERT_TRUE(waitUntilWaitingForLock(pid)) << "the run never waited for the lock";
  const auto signalled = std::chrono::steady_clock::now();
  kill(pid, SIGTERM);
  ProcessResult result = waitProcess(pid);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - signalled;
  EXPECT_LT(took.count(), 10) << "seconds from the signal to the end of the run";
  expectCleanEndBy(SIGTERM, result);
  unlink((tmp_ / "held").c_str());
  waitProcess(holder);
}
