#include "bootstrap/payload.h"

#include "bootstrap/paths.h"
#include "bootstrap/report.h"
#include "bootstrap/shell.h"

const char kBundleName[] = "bundle.zip";

std::string payloadExtractCommand(const std::string& package, const std::string& destDir) {
  return "unzip -qq " + quoteIfNeeded(package) + " -d " + quoteIfNeeded(destDir);
}

int extractPayload(const std::string& destDir) {
  ChildOutcome unzip =
      ChildOutcome::fromWaitStatus(runShellCommand(payloadExtractCommand(executablePath(), destDir)));
  // Exit code 1 is only a warning (such as bytes ahead of the archive); anything
  // else means the package is damaged and what came out cannot be trusted.
  if (!unzip.exitedWith(0) && !unzip.exitedWith(1)) return kPayloadExtractionFailed;
  // A package cut right after its bundle looks like the bundle itself to unzip,
  // which then unpacks the bundle's contents: the bundle must be there as a file.
  if (!pathExists(destDir + "/" + kBundleName)) return kPayloadExtractionFailed;
  return 0;
}
