#ifndef KV_TOOLS_KV_PACK_INTERRUPT_H_
#define KV_TOOLS_KV_PACK_INTERRUPT_H_

/// Catches SIGINT, SIGTERM and SIGHUP so that a stopped run can still remove
/// its staging directory and temporary output (often as big as the bundle)
/// before it ends. Blocking calls then fail with EINTR instead of resuming.
void catchInterrupts();

/// The signal that asked us to stop, or 0.
int interruptSignal();

/// Ends the process by the caught signal, with its default action, so the
/// caller sees what it would have seen without the clean-up.
[[noreturn]] void reraiseInterrupt();

#endif  // KV_TOOLS_KV_PACK_INTERRUPT_H_
