#include "bootstrap/shell.h"

#include <cstdlib>
#include <sys/wait.h>

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

int runShellCommand(const std::string& command) {
  return system(command.c_str());
}

ChildOutcome ChildOutcome::fromWaitStatus(int status) {
  if (status == -1) return {kNotStarted, 0};
  if (WIFEXITED(status)) return {kExited, WEXITSTATUS(status)};
  if (WIFSIGNALED(status)) return {kSignaled, WTERMSIG(status)};
  return {kNotStarted, 0};
}
