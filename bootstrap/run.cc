#include "bootstrap/run.h"

#include <cstdlib>
#include <string>

#include "agent/provision.h"
#include "bootstrap/interrupt.h"
#include "bootstrap/paths.h"
#include "bootstrap/payload.h"
#include "bootstrap/temp_install_dir.h"
#include "launch/launch.h"

namespace {

const char kUnitTestModeVariable[] = "__KV_BOOTSTRAP_INSTALLER_UNITTEST__";

// Runs every step but the clean-up; true on success. A SIGTERM or SIGHUP
// that arrived during a step stops the run before the next one starts.
bool runSteps(const std::string& payloadDir, int argc, char** argv, ReportFn report) {
  int code = extractPayload(payloadDir);
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
  TempInstallDir workDir;
  std::string payloadDir = workDir.path();
  if (payloadDir.empty() || getenv(kUnitTestModeVariable) != nullptr) payloadDir = executableDir();

  bool succeeded = runSteps(payloadDir, argc, argv, report);
  return succeeded ? 0 : -1;
}
