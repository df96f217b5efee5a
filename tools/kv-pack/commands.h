#ifndef KV_TOOLS_KV_PACK_COMMANDS_H_
#define KV_TOOLS_KV_PACK_COMMANDS_H_

#include <string>

#include "tools/kv-pack/pack.h"

// What kv-pack does, each returning its exit status.

/// Writes "kv-pack: " and the message as one line on standard error; 1.
int reportFailure(const std::string& message);

/// Prints what a package or a stub is (--info).
int describePackage(const std::string& path);

/// Makes the package the options describe, taking the bootstrap beside
/// kv-pack when none is named and the time SOURCE_DATE_EPOCH sets.
int makePackage(PackOptions options);

#endif  // KV_TOOLS_KV_PACK_COMMANDS_H_
