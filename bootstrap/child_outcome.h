#ifndef KV_BOOTSTRAP_CHILD_OUTCOME_H_
#define KV_BOOTSTRAP_CHILD_OUTCOME_H_

/// How a child ended, decoded from a wait status in one place, for the
/// bootstrap and kv-pack alike.
struct ChildOutcome {
  enum Kind { kExited, kSignaled, kNotStarted } kind;
  int value;  ///< the exit code, or the signal number

  /// -1, what the bootstrap's runs return for a child never started, is kNotStarted.
  static ChildOutcome fromWaitStatus(int status);
  bool exitedWith(int code) const { return kind == kExited && value == code; }
};

#endif  // KV_BOOTSTRAP_CHILD_OUTCOME_H_
