#ifndef KV_OS_INTERRUPT_H_
#define KV_OS_INTERRUPT_H_

#include <csignal>

// Signal handling for every program of the project: the bootstrap and kv-pack.

/// SIGTERM, SIGHUP, SIGINT and SIGQUIT are remembered instead of ending the
/// process at once, so that the program can let its child end, start nothing
/// new and clean up. A signal the caller left ignored (nohup, a background job
/// of a script) stays ignored. Blocking calls are not restarted after one.
void catchInterrupts();

/// Sets up the two signals whose inherited state would break waiting for
/// children and writing messages: SIGPIPE gets a handler that does nothing,
/// so that a message written to a closed pipe fails instead of ending the
/// process, while children still start with the default action (exec resets
/// a handler but keeps an ignored signal ignored); SIGCHLD gets its default
/// action back, since an ignored SIGCHLD lets the kernel reap children before
/// anyone waits for them.
void prepareChildSignals();

/// The remembered signal, or 0 when none arrived.
int pendingInterrupt();

/// A child ended by signo: when this process catches signo, the child's end
/// counts as that interrupt, since a signal may reach the child alone, and
/// system() ignores SIGINT and SIGQUIT while it waits. A signal remembered
/// before stays the one the process ends by.
void rememberChildInterrupt(int signo);

/// When a signal was remembered, ends the process by that signal, exactly as
/// it would have ended without the clean-up. Returns otherwise.
void endByPendingInterrupt();

/// Forgets a remembered signal (for tests).
void clearPendingInterrupt();

/// Blocks the interrupt signals for one scope. A wait loop checks
/// pendingInterrupt() and then sleeps in ppoll() with waitMask(), which lets
/// them in only while it sleeps: a signal that arrives between the check and
/// the wait is not missed, it ends the wait at once.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

  /// The signal mask from before this scope, for ppoll().
  const sigset_t* waitMask() const { return &before_; }

 private:
  sigset_t before_;
};

#endif  // KV_OS_INTERRUPT_H_
