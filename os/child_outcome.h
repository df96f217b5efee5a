#ifndef KV_OS_CHILD_OUTCOME_H_
#define KV_OS_CHILD_OUTCOME_H_

#include <sys/types.h>

/// How a child ended, decoded from a wait status in one place, for the
/// bootstrap and kv-pack alike.
struct ChildOutcome {
  enum Kind { kExited, kSignaled, kNotStarted } kind;
  int value;  ///< the exit code, or the signal number

  /// -1, what the bootstrap's runs return for a child never started, is kNotStarted.
  static ChildOutcome fromWaitStatus(int status);
  bool exitedWith(int code) const { return kind == kExited && value == code; }
};

/// What waitForChild() does when an interrupt (os/interrupt.h) ends a wait early.
enum class OnInterrupt { kKeepWaiting, kStopTheChild };

/// Waits for the child to end and returns its wait status; -1 when it cannot
/// be waited for. A wait that a signal interrupts is taken up again; with
/// kStopTheChild the child is sent SIGTERM first while an interrupt is pending.
int waitForChild(pid_t pid, OnInterrupt onInterrupt);

#endif  // KV_OS_CHILD_OUTCOME_H_
