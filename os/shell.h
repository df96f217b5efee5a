#ifndef KV_OS_SHELL_H_
#define KV_OS_SHELL_H_

#include <cstddef>
#include <string>

#include "os/child_outcome.h"

/// Makes a text safe to put into a shell command line as exactly one word.
/// Plain paths come back unchanged, texts whose only other characters are
/// blanks or tabs get double quotes, anything else single quotes.
std::string quoteIfNeeded(const std::string& text);

/// The longest command line the shell can be handed, its terminating NUL
/// included: the kernel's limit for one exec argument string. A longer one
/// never reaches the shell.
constexpr size_t kMaxCommandLineBytes = 131072;

/// Hands the command line to the system shell, waits, and returns the raw
/// wait status: -1 when no child could be created, or the line is longer than
/// kMaxCommandLineBytes and so never started. A child ended by one of the
/// interrupt signals is remembered as a pending interrupt (see interrupt.h).
int runShellCommand(const std::string& command);

/// Where a command's standard input comes from.
enum class CommandInput { kInherited, kNone };

/// What a caller shows while a command runs (a progress line), told when to
/// show it and when to take it away; each function is given `context`.
struct CommandWatch {
  /// The command still runs and no line of its output is open.
  void (*tick)(void* context);
  /// The command's output comes, it ended, or an interrupt arrived: take away
  /// what tick showed.
  void (*hide)(void* context);
  void* context;
};

/// How often a CommandWatch is ticked while its command runs.
inline constexpr int kCommandWatchIntervalMs = 100;

/// Like runShellCommand(), but the command's standard error passes through
/// this process on its way to ours, and a line end is added when the command
/// left its last line open, so that the next message starts a line of its
/// own. With CommandInput::kNone the command reads /dev/null, so it can
/// neither ask the user nor swallow input meant for a later program. A
/// `watch` is ticked while the command runs, until an interrupt arrives; it
/// has hidden what it showed when this returns. -1 also when a step of
/// setting up its input and output fails: it is then not run.
int runShellCommandOnOwnLines(const std::string& command, CommandInput input,
                              const CommandWatch* watch = nullptr);

#endif  // KV_OS_SHELL_H_
