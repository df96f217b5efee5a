#ifndef KV_BOOTSTRAP_INTERRUPT_H_
#define KV_BOOTSTRAP_INTERRUPT_H_

/// SIGTERM and SIGHUP are remembered instead of ending the process at once,
/// so that the run can let its child end, start nothing new and clean up.
void catchInterrupts();

/// The remembered signal, or 0 when none arrived.
int pendingInterrupt();

/// When a signal was remembered, ends the process by that signal, exactly as
/// it would have ended without the clean-up. Returns otherwise.
void endByPendingInterrupt();

/// Forgets a remembered signal (for tests).
void clearPendingInterrupt();

#endif  // KV_BOOTSTRAP_INTERRUPT_H_
