#ifndef KV_BOOTSTRAP_INTERRUPT_H_
#define KV_BOOTSTRAP_INTERRUPT_H_

/// SIGTERM, SIGHUP, SIGINT and SIGQUIT are remembered instead of ending the
/// process at once, so that the run can let its child end, start nothing new
/// and clean up. A signal the caller left ignored (nohup, a background job of
/// a script) stays ignored.
void catchInterrupts();

/// Sets up the two signals whose inherited state would break the run:
/// SIGPIPE gets a handler that does nothing, so that a message written to a
/// closed standard error fails instead of ending the process, while children
/// still start with the default action (exec resets a handler but keeps an
/// ignored signal ignored); SIGCHLD gets its default action back, since an
/// ignored SIGCHLD lets the kernel reap children before anyone waits for them.
void prepareChildSignals();

/// The remembered signal, or 0 when none arrived.
int pendingInterrupt();

/// Remembers signo as if it had arrived, when this process catches it: a
/// child ended by the user's interrupt means the run was interrupted.
void rememberChildInterrupt(int signo);

/// When a signal was remembered, ends the process by that signal, exactly as
/// it would have ended without the clean-up. Returns otherwise.
void endByPendingInterrupt();

/// Forgets a remembered signal (for tests).
void clearPendingInterrupt();

#endif  // KV_BOOTSTRAP_INTERRUPT_H_
