#include "tests/server_process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>

namespace {

const int kStopTimeoutMs = 10000;

void sleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

int startServerProcess(const std::vector<std::string>& argv, const std::string& outputFile) {
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& arg : args) pointers.push_back(&arg[0]);
  pointers.push_back(nullptr);
  int out = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (out < 0 || in < 0) {
    if (out >= 0) close(out);
    if (in >= 0) close(in);
    return -1;
  }
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) {
    setpgid(0, 0);
    // A test binary that crashes must not leave servers behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(1);
    // A test may block or catch SIGTERM for itself; the server needs the default.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    execv(pointers[0], pointers.data());
    _exit(127);
  }
  close(out);
  close(in);
  return pid;
}

bool serverProcessRunning(int pid) {
  int status = 0;
  return waitpid(pid, &status, WNOHANG) == 0;
}

void stopServerProcess(int pid) {
  if (pid <= 0 || !serverProcessRunning(pid)) return;
  kill(pid, SIGTERM);
  if (waitUntil([pid] { return !serverProcessRunning(pid); }, kStopTimeoutMs)) return;
  kill(-pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
  for (int waited = 0;; waited += 10) {
    if (condition()) return true;
    if (waited >= timeoutMs) return false;
    sleepMs(10);
  }
}

bool waitUntilServing(int pid, const std::function<bool()>& ready, int timeoutMs) {
  const bool serving = pid > 0 &&
                       waitUntil([&] { return !serverProcessRunning(pid) || ready(); }, timeoutMs) &&
                       serverProcessRunning(pid);
  if (!serving) stopServerProcess(pid);
  return serving;
}
