#include "bootstrap/run.h"

#include <cstdlib>
#include <string>

#include "agent/agent_settings.h"
#include "agent/provision.h"
#include "bootstrap/executable_path.h"
#include "bootstrap/interrupt.h"
#include "bootstrap/payload.h"
#include "bootstrap/temp_install_dir.h"
#include "launch/launch.h"

namespace {

const char kUnitTestModeVariable[] = "__KV_BOOTSTRAP_INSTALLER_UNITTEST__";

// Runs every step but the clean-up; true on success. An interrupt that
// arrived during a step stops the run before the next one starts.
bool runSteps(const std::string& payloadDir, CommandInput unzipInput, int argc, char** argv,
              ReportFn report) {
  int code = extractPayload(payloadDir, unzipInput, report);
  if (pendingInterrupt()) return false;
  if (code != 0) {
    report(internalErrorMessage(code), true);
    return false;
  }

  std::string installScript = provisionInstallAgent(payloadDir, report);
  if (pendingInterrupt() || installScript.empty()) return false;

  if (!launchInstallAgent(installScript, payloadDir, argc, argv, report)) {
    report("Failed to start the instal agent", true);
    return false;
  }
  return true;
}

}  // namespace

int BootstrapRun(int argc, char** argv, ReportFn report) {
  // A package whose record was damaged would fetch and run who knows what.
  if (!loadAgentSettings(report)) return -1;
  TempInstallDir workDir;
  std::string payloadDir = workDir.path();
  const bool unitTestMode = getenv(kUnitTestModeVariable) != nullptr;
  if (payloadDir.empty() || unitTestMode) payloadDir = executableDir();

  // Only the unit-test mode, which unpacks beside files already there, lets
  // unzip ask the user whether to replace them.
  const CommandInput unzipInput = unitTestMode ? CommandInput::kInherited : CommandInput::kNone;
  bool succeeded = runSteps(payloadDir, unzipInput, argc, argv, report);
  return succeeded ? 0 : -1;
}
