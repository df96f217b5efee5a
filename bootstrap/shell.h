#ifndef KV_BOOTSTRAP_SHELL_H_
#define KV_BOOTSTRAP_SHELL_H_

#include <string>

/// Makes a text safe to put into a shell command line as exactly one word.
/// Plain paths come back unchanged, texts whose only other characters are
/// blanks or tabs get double quotes, anything else single quotes.
std::string quoteIfNeeded(const std::string& text);

/// Hands the command line to the system shell, waits, and returns the raw
/// wait status (-1 when no child could be created).
int runShellCommand(const std::string& command);

/// How a child ended, decoded from a wait status in one place.
struct ChildOutcome {
  enum Kind { kExited, kSignaled, kNotStarted } kind;
  int value;  ///< the exit code, or the signal number

  static ChildOutcome fromWaitStatus(int status);
  bool exitedWith(int code) const { return kind == kExited && value == code; }
};

#endif  // KV_BOOTSTRAP_SHELL_H_
