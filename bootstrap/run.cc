#include "bootstrap/run.h"

#include <cstdlib>
#include <string>

#include "agent/agent_config.h"
#include "agent/provision.h"
#include "bootstrap/launch.h"
#include "bootstrap/own_record.h"
#include "bootstrap/payload.h"
#include "bootstrap/temp_install_dir.h"
#include "formats/stub_record.h"
#include "os/executable_path.h"
#include "os/interrupt.h"

namespace {

const char kUnitTestModeVariable[] = "__KV_BOOTSTRAP_INSTALLER_UNITTEST__";

// Runs every step but the clean-up; true on success. An interrupt that
// arrived during a step stops the run before the next one starts.
bool runSteps(const std::string& payloadDir, CommandInput unzipInput, const AgentConfig& config,
              int argc, char** argv, ReportFn report) {
  int code = extractPayload(payloadDir, unzipInput, report);
  if (pendingInterrupt()) return false;
  if (code != 0) {
    report(internalErrorMessage(code), true);
    return false;
  }

  std::string installScript = provisionInstallAgent(payloadDir, config, report);
  if (pendingInterrupt() || installScript.empty()) return false;

  if (!launchInstallAgent(installScript, payloadDir, argc, argv, report)) {
    report("Failed to start the instal agent", true);
    return false;
  }
  return true;
}

}  // namespace

int BootstrapRun(int argc, char** argv, ReportFn report) {
  // What kv-pack set for this package, read once; a damaged record stops the
  // run before anything is made.
  AgentConfig config;
  if (!settleAgentConfig({ownRecordSlot(kStubAgentBaseUrlKey), ownRecordSlot(kStubAgentKeyKey),
                          ownRecordSlot(kStubAgentSecondKeyKey), ownRecordSlot(kStubAgentNotBeforeKey),
                          getenv(kAgentUrlVariable), getenv("HOME"), getenv(kCaBundleVariable),
                          getenv(kCertFileVariable), getenv(kCertDirVariable)},
                         report, &config))
    return -1;
  TempInstallDir workDir;
  std::string payloadDir = workDir.path();
  const bool unitTestMode = getenv(kUnitTestModeVariable) != nullptr;
  if (payloadDir.empty() || unitTestMode) payloadDir = executableDir();

  // Only the unit-test mode, which unpacks beside files already there, lets
  // unzip ask the user whether to replace them.
  const CommandInput unzipInput = unitTestMode ? CommandInput::kInherited : CommandInput::kNone;
  bool succeeded = runSteps(payloadDir, unzipInput, config, argc, argv, report);
  return succeeded ? 0 : -1;
}
