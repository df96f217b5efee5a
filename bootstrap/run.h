#ifndef KV_BOOTSTRAP_RUN_H_
#define KV_BOOTSTRAP_RUN_H_

#include "os/report.h"

/// The whole run: unpack the payload into a private work directory, obtain the
/// install agent, run it with the bundle and the user's arguments, clean up.
/// Returns 0, or -1 after the cause was reported.
int BootstrapRun(int argc, char** argv, ReportFn report);

#endif  // KV_BOOTSTRAP_RUN_H_
