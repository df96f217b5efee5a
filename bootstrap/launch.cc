#include "bootstrap/launch.h"

#include <exception>

#include "bootstrap/payload.h"
#include "os/shell.h"

std::string joinArguments(int argc, char** argv) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    // Quoted, so that every argument reaches the agent as exactly the one word the user gave.
    joined += quoteIfNeeded(argv[i]);
    joined += ' ';
  }
  return joined;
}

// Same parameter order as launchInstallAgent(), which every caller knows.
// NOLINTNEXTLINE(bugprone-easily-swappable-parameters)
std::string launchCommand(const std::string& installScriptPath, const std::string& payloadDir,
                          int argc, char** argv) {
  std::string command = " -installbundle " + quoteIfNeeded(payloadDir + "/" + kBundleName);
  if (argc > 1) command += " " + joinArguments(argc, argv);
  return "sh " + quoteIfNeeded(installScriptPath) + command;
}

bool launchInstallAgent(const std::string& installScriptPath, const std::string& payloadDir,
                        int argc, char** argv, ReportFn report) {
  std::string command = launchCommand(installScriptPath, payloadDir, argc, argv);
  try {
    // The agent's own exit status is its business: having started it is
    // success. Only "no child at all", or a line too long to reach the
    // shell, is a failure to start.
    if (ChildOutcome::fromWaitStatus(runShellCommand(command)).kind == ChildOutcome::kNotStarted) {
      report(internalErrorMessage(kLaunchFailed), true);
      return false;
    }
  } catch (const std::exception&) {
    report(internalErrorMessage(kLaunchFailed), true);
    return false;
  }
  return true;
}
