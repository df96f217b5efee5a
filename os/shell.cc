#include "os/shell.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include "os/clock.h"
#include "os/file_descriptor.h"
#include "os/interrupt.h"
#include "os/spawn_actions.h"

extern char** environ;

namespace {

bool isPlainByte(unsigned char c) {
  if (c >= 0x80) return true;  // UTF-8 and other high bytes mean nothing to sh
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '_': case '-': case '.': case '/': case ':': case ',': case '+': case '=': case '@':
    case '%':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string quoteIfNeeded(const std::string& text) {
  if (text.empty()) return "''";
  bool plain = true;
  bool onlyBlanksBesides = true;
  for (unsigned char c : text) {
    if (isPlainByte(c)) continue;
    plain = false;
    if (c != ' ' && c != '\t') onlyBlanksBesides = false;
  }
  if (plain) return text;
  if (onlyBlanksBesides) return '"' + text + '"';

  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted += c;
  }
  quoted += '\'';
  return quoted;
}

namespace {

// Shells stop when a child was interrupted, so that their caller sees it; so
// does the run. system() ignores SIGINT and SIGQUIT while its child runs, so
// the child's end is the only sign of them.
int noteInterruptedChild(int status) {
  ChildOutcome outcome = ChildOutcome::fromWaitStatus(status);
  if (outcome.kind == ChildOutcome::kSignaled) rememberChildInterrupt(outcome.value);
  return status;
}

// A copy of a command's standard error to ours. A closed standard error does
// not stop the copy: the command must not block on a full pipe.
struct Relay {
  bool lineOpen = false;  ///< the last byte was not a line end
  bool stderrOpen = true;
};

// Copies what one read of fd gives; false once the writer has closed it.
bool relayBlock(int fd, Relay* relay) {
  char buffer[4096];
  ssize_t got = read(fd, buffer, sizeof buffer);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) return false;
  relay->lineOpen = buffer[got - 1] != '\n';
  if (relay->stderrOpen)
    relay->stderrOpen = writeFully(STDERR_FILENO, buffer, static_cast<size_t>(got));
  return true;
}

// Copies everything from fd to our standard error until the writer closes it;
// true when the last byte was not a line end.
bool relayToStderr(int fd) {
  Relay relay;
  while (relayBlock(fd, &relay)) {
  }
  return relay.lineOpen;
}

// The same, ticking the watch between the command's lines. It sleeps in
// ppoll() with the interrupts let in only there, so that one arriving
// between the check and the sleep still ends the watching at once.
bool relayWatched(int fd, const CommandWatch& watch) {
  const InterruptsHeld held;
  Relay relay;
  bool watching = true;
  int64_t tickMs = monotonicMs() + kCommandWatchIntervalMs;
  for (;;) {
    if (watching && pendingInterrupt() != 0) {
      watching = false;
      watch.hide(watch.context);
    }
    const int64_t waitMs = tickMs > monotonicMs() ? tickMs - monotonicMs() : 0;
    struct timespec wait = {static_cast<time_t>(waitMs / 1000), static_cast<long>(waitMs % 1000) * 1000000};
    struct pollfd input = {fd, POLLIN, 0};
    const int ready = ppoll(&input, 1, watching ? &wait : nullptr, held.waitMask());
    if (ready == 0) {
      // An open line may be a question the command asks: it stays as it is.
      if (!relay.lineOpen) watch.tick(watch.context);
      tickMs = monotonicMs() + kCommandWatchIntervalMs;
      continue;
    }
    if (ready < 0 && errno == EINTR) continue;
    watch.hide(watch.context);
    if (!relayBlock(fd, &relay)) break;
  }
  watch.hide(watch.context);
  return relay.lineOpen;
}

// A longer line never reaches the shell, and system() then returns what looks
// like the shell's own exit status 127.
bool reachesTheShell(const std::string& command) {
  return command.size() + 1 <= kMaxCommandLineBytes;
}

}  // namespace

int runShellCommand(const std::string& command) {
  if (!reachesTheShell(command)) return -1;
  return noteInterruptedChild(system(command.c_str()));
}

int runShellCommandOnOwnLines(const std::string& command, CommandInput input,
                              const CommandWatch* watch) {
  if (!reachesTheShell(command)) return -1;
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const UniqueFd readEnd(pipeFds[0]);
  UniqueFd writeEnd(pipeFds[1]);
  pid_t pid = 0;
  int spawnError = -1;
  {
    SpawnActions actions;
    if (actions.addDup2(writeEnd.get(), STDERR_FILENO) &&
        (input != CommandInput::kNone || actions.addOpenForReading(STDIN_FILENO, "/dev/null"))) {
      std::string shellName = "sh";
      std::string option = "-c";
      std::string line = command;  // posix_spawn takes writable strings
      char* argv[] = {&shellName[0], &option[0], &line[0], nullptr};
      spawnError = posix_spawn(&pid, "/bin/sh", actions.get(), nullptr, argv, environ);
    }
  }
  writeEnd = UniqueFd();  // the child's copy alone keeps the pipe open
  if (spawnError != 0) return -1;
  const bool lineOpen =
      watch != nullptr ? relayWatched(readEnd.get(), *watch) : relayToStderr(readEnd.get());
  const int status = waitForChild(pid, OnInterrupt::kKeepWaiting);
  if (lineOpen) {
    ssize_t ignored = write(STDERR_FILENO, "\n", 1);
    static_cast<void>(ignored);
  }
  return noteInterruptedChild(status);
}
