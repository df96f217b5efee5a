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

/// Like runShellCommand(), but the command's standard error passes through
/// this process on its way to ours, and a line end is added when the command
/// left its last line open, so that the next message starts a line of its
/// own. With CommandInput::kNone the command reads /dev/null, so it can
/// neither ask the user nor swallow input meant for a later program. -1 also
/// when a step of setting up its input and output fails: it is then not run.
int runShellCommandOnOwnLines(const std::string& command, CommandInput input);

#endif  // KV_OS_SHELL_H_
