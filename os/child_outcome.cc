#include "os/child_outcome.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>

#include "os/interrupt.h"

ChildOutcome ChildOutcome::fromWaitStatus(int status) {
  if (status == -1) return {kNotStarted, 0};
  if (WIFEXITED(status)) return {kExited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {kSignaled, WTERMSIG(status)};
  return {kNotStarted, 0};
}

int waitForChild(pid_t pid, OnInterrupt onInterrupt) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
    if (onInterrupt == OnInterrupt::kStopTheChild && pendingInterrupt() != 0) kill(pid, SIGTERM);
  }
  return status;
}
