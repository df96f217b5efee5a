#include "bootstrap/run.h"

#include <cstdlib>
#include <string>

#include "agent/agent_config.h"
#include "agent/provision.h"
#include "bootstrap/launch.h"
#include "bootstrap/own_record.h"
#include "bootstrap/package_size.h"
#include "bootstrap/payload.h"
#include "bootstrap/temp_install_dir.h"
#include "formats/stub_record.h"
#include "os/executable_path.h"
#include "os/interrupt.h"

namespace {

const char kUnitTestModeVariable[] = "__KV_BOOTSTRAP_INSTALLER_UNITTEST__";

// Runs every step but the clean-up; true on success. An interrupt that
// arrived during a step stops the run before the next one starts.
bool runSteps(const std::string& payloadDir, const PayloadUnpack& unpack, const AgentConfig& config,
              int argc, char** argv, ReportFn report) {
  int code = extractPayload(payloadDir, unpack, report);
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

// Where the work directory goes when /tmp cannot take it: beside the package.
std::string packageDir() {
  const std::string dir = executableDir();
  return dir.empty() ? "/" : dir;
}

}  // namespace

int BootstrapRun(int argc, char** argv, ReportFn report) {
  // What kv-pack set for this package, read once; a damaged record, or a
  // file cut short or grown on its way here, stops the run before anything
  // is made.
  AgentConfig config;
  PackageSizes sizes;
  if (!settleAgentConfig({ownRecordSlot(kStubAgentBaseUrlKey), ownRecordSlot(kStubAgentKeyKey),
                          ownRecordSlot(kStubAgentSecondKeyKey), ownRecordSlot(kStubAgentNotBeforeKey),
                          getenv(kAgentUrlVariable), getenv("HOME"), getenv(kCaBundleVariable),
                          getenv(kCertFileVariable), getenv(kCertDirVariable)},
                         report, &config) ||
      !readPackageSizes(&sizes, report) || !packageIsWhole(sizes, report))
    return -1;

  // The unit-test mode unpacks beside the package itself, and leaves it there.
  const bool unitTestMode = getenv(kUnitTestModeVariable) != nullptr;
  TempInstallDir workDir(unitTestMode ? std::string() : packageDir());
  if (!unitTestMode && workDir.path().empty()) {
    report(workDir.whyNone(), true);
    return -1;
  }
  const std::string payloadDir = unitTestMode ? executableDir() : workDir.path();
  if (!roomToUnpack(payloadDir, sizes, unitTestMode ? payloadDir : workDir.parent(), report))
    return -1;

  PayloadUnpack unpack;
  // Only the unit-test mode, which unpacks beside files already there, lets
  // unzip ask the user whether to replace them; those files are no progress.
  unpack.input = unitTestMode ? CommandInput::kInherited : CommandInput::kNone;
  unpack.showProgress = !unitTestMode;
  unpack.expectedBytes = sizes.unpacked.value_or(0);
  bool succeeded = runSteps(payloadDir, unpack, config, argc, argv, report);
  return succeeded ? 0 : -1;
}
