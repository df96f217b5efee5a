#ifndef KV_BOOTSTRAP_PAYLOAD_H_
#define KV_BOOTSTRAP_PAYLOAD_H_

#include <cstdint>
#include <string>

#include "formats/package_layout.h"
#include "os/report.h"
#include "os/shell.h"

/// The command that unpacks the archive appended to `package` into destDir.
std::string payloadExtractCommand(const std::string& package, const std::string& destDir);

/// The name to give unzip for the package file: its path, or the process's
/// /proc entry when the file name holds a character unzip takes for a wildcard.
std::string packageNameForUnzip(const std::string& package, int pid);

/// How the payload is unpacked.
struct PayloadUnpack {
  /// unzip's input: the unit-test mode lets it ask on the terminal.
  CommandInput input = CommandInput::kNone;
  /// Progress is shown on a terminal: the destination is fresh, so all that
  /// is in it is what unzip wrote.
  bool showProgress = true;
  uint64_t expectedBytes = 0;  ///< what unzip will write, as recorded; 0: not known
};

/// Unpacks the archive appended to the running executable into destDir.
/// Returns 0, or kPayloadExtractionFailed when unzip failed or no bundle came
/// out, after reporting a cause the user can mend (unzip not installed).
int extractPayload(const std::string& destDir, const PayloadUnpack& how, ReportFn report);

#endif  // KV_BOOTSTRAP_PAYLOAD_H_
