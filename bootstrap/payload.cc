#include "bootstrap/payload.h"

#include <unistd.h>

#include "os/executable_path.h"
#include "os/paths.h"
#include "os/report.h"
#include "os/shell.h"

std::string payloadExtractCommand(const std::string& package, const std::string& destDir) {
  return "unzip -qq " + quoteIfNeeded(package) + " -d " + quoteIfNeeded(destDir);
}

std::string packageNameForUnzip(const std::string& package, int pid) {
  // unzip matches wildcards in an archive's file name against the directory
  // and opens whatever matches: setup[1].run would open a setup1.run beside it.
  // The process's own /proc entry names the very same file without them.
  std::string fileName = package.substr(package.find_last_of('/') + 1);
  if (fileName.find_first_of("*?[") == std::string::npos) return package;
  return "/proc/" + std::to_string(pid) + "/exe";
}

int extractPayload(const std::string& destDir, CommandInput input, ReportFn report) {
  const std::string package = packageNameForUnzip(executablePath(), getpid());
  ChildOutcome unzip = ChildOutcome::fromWaitStatus(
      runShellCommandOnOwnLines(payloadExtractCommand(package, destDir), input));
  // The shell's "not found" alone does not tell a user what to install.
  if (unzip.exitedWith(127))
    report("This installer needs the unzip command: install your distribution's \"unzip\" package "
           "and run it again.",
           true);
  // Exit code 1 is only a warning (such as bytes ahead of the archive); anything
  // else means the package is damaged and what came out cannot be trusted.
  if (!unzip.exitedWith(0) && !unzip.exitedWith(1)) return kPayloadExtractionFailed;
  // A package cut right after its bundle looks like the bundle itself to unzip,
  // which then unpacks the bundle's contents: the bundle must be there as a file.
  if (!pathExists(destDir + "/" + kBundleName)) return kPayloadExtractionFailed;
  return 0;
}
