#ifndef KV_OS_REPORT_H_
#define KV_OS_REPORT_H_

#include <string>

/// Where every message of a run goes: one line, on standard error when toStderr is true.
using ReportFn = void (*)(const std::string& message, bool toStderr);

/// The program's one ReportFn: writes the message and a line feed, then flushes.
void reportLine(const std::string& message, bool toStderr);

/// Failure codes of the run, shown to the user inside internalErrorMessage().
enum FailureCode : int {
  kPayloadExtractionFailed = 201,
  kAgentUnpackFailed = 221,
  kLaunchFailed = 230,
};

/// "Interal error: Failed to initialize application installer (4<code>)".
std::string internalErrorMessage(int code);

#endif  // KV_OS_REPORT_H_
