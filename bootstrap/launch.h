#ifndef KV_BOOTSTRAP_LAUNCH_H_
#define KV_BOOTSTRAP_LAUNCH_H_

#include <string>

#include "os/report.h"

/// The user's arguments (argv[1] onwards), each quoted as one shell word and
/// followed by one blank; empty when there are none.
std::string joinArguments(int argc, char** argv);

/// The command line that starts the install agent's script with the bundle.
std::string launchCommand(const std::string& installScriptPath, const std::string& payloadDir,
                          int argc, char** argv);

/// Runs the install agent and waits for it. True once the shell ran the
/// command, whatever the agent did; false, after reporting, when the command
/// line is too long for the kernel, no shell could be started, or that step threw.
bool launchInstallAgent(const std::string& installScriptPath, const std::string& payloadDir,
                        int argc, char** argv, ReportFn report);

#endif  // KV_BOOTSTRAP_LAUNCH_H_
