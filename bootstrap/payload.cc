#include "bootstrap/payload.h"

#include <unistd.h>

#include "os/executable_path.h"
#include "os/paths.h"
#include "os/progress_line.h"
#include "os/report.h"
#include "os/shell.h"

namespace {

// How much unzip has written into its fresh directory so far, against what
// kv-pack recorded.
struct UnpackProgress {
  ProgressLine line;
  const std::string& dir;
  uint64_t total;

  static void tick(void* context) {
    auto* progress = static_cast<UnpackProgress*>(context);
    if (progress->line.due()) progress->line.update(bytesInTree(progress->dir), progress->total);
  }
  static void hide(void* context) { static_cast<UnpackProgress*>(context)->line.clear(); }
};

}  // namespace

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

int extractPayload(const std::string& destDir, const PayloadUnpack& how, ReportFn report) {
  const std::string package = packageNameForUnzip(executablePath(), getpid());
  UnpackProgress progress{ProgressLine("Unpacking the installer"), destDir, how.expectedBytes};
  const CommandWatch watch{UnpackProgress::tick, UnpackProgress::hide, &progress};
  const bool watched = how.showProgress && progress.line.shown();
  ChildOutcome unzip = ChildOutcome::fromWaitStatus(runShellCommandOnOwnLines(
      payloadExtractCommand(package, destDir), how.input, watched ? &watch : nullptr));
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
