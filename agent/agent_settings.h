#ifndef KV_AGENT_AGENT_SETTINGS_H_
#define KV_AGENT_AGENT_SETTINGS_H_

#include "bootstrap/report.h"

/// Reads what kv-pack set in the bootstrap's own record for this package,
/// the agent base URL and the agent key, and takes the key into use. False
/// after reporting, when either was damaged: the run must not go on.
bool loadAgentSettings(ReportFn report);

#endif  // KV_AGENT_AGENT_SETTINGS_H_
