#include "bootstrap/child_outcome.h"

#include <sys/wait.h>

ChildOutcome ChildOutcome::fromWaitStatus(int status) {
  if (status == -1) return {kNotStarted, 0};
  if (WIFEXITED(status)) return {kExited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {kSignaled, WTERMSIG(status)};
  return {kNotStarted, 0};
}
