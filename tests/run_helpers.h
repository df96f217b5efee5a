#ifndef KV_TESTS_RUN_HELPERS_H_
#define KV_TESTS_RUN_HELPERS_H_

#include <string>
#include <vector>

#include "tests/test_util.h"

/// What the bootstrap itself writes last on standard error after a run that
/// failed with `code` (unzip may have explained the cause before it).
std::string failureOutput(int code);

/// True when text ends with tail.
bool endsWith(const std::string& text, const std::string& tail);

/// Runs a package as a user would: HOME inside `home`, runTmpDir() as its
/// /tmp, and (unless the caller sets one) an agent URL on a closed loopback
/// port, so that no test ever reaches beyond this machine; without the
/// variables that name certificate authorities unless the caller sets them.
ProcessResult runPackage(const std::string& package, const std::string& home,
                         const std::vector<std::string>& args = {}, Command command = {});

/// Work directories in runTmpDir() that were not there before.
std::vector<std::string> newWorkDirs(const std::vector<std::string>& before);

/// Where a path under /tmp that a package run was given lies for the test.
std::string pathOutsideRun(const std::string& pathInRun);

/// Waits until process pid waits for a flock(2) lock that another process
/// holds, as /proc/locks shows it; false when that does not happen in 30 s.
bool waitUntilWaitingForLock(int pid);

/// argv that runs `command` as on a system where the files `hidden` are not
/// in directory `dir` and the files `broken` there are empty: in a mount
/// namespace of its own (tools/private-mounts.sh), with an overlay on dir whose top layer,
/// made under `scratch`, holds a whiteout for each hidden file.
std::vector<std::string> withFilesMissing(const std::string& dir,
                                          const std::vector<std::string>& hidden,
                                          const std::vector<std::string>& broken,
                                          const std::string& scratch,
                                          const std::vector<std::string>& command);

/// The port of 127.0.0.1 whose packets are dropped, as by a firewall, in a
/// network namespace made by withPacketsDropped():
/// a connect to it waits for an answer that never comes. Every other port of
/// the namespace's loopback refuses at once.
inline constexpr int kDroppedPort = 4444;

/// argv that runs `command` in a network namespace of its own (needs root),
/// its loopback up and packets to kDroppedPort dropped (nft). The command
/// keeps the pid of the process started.
std::vector<std::string> withPacketsDropped(const std::vector<std::string>& command);

/// An agent URL on kDroppedPort: "http://127.0.0.1:4444/agent".
std::string droppedAgentUrl();

/// Runs the command, a package run whose agent URL is droppedAgentUrl() in
/// such a namespace, and expects it to fail at the 30 s connect limit with
/// the message that says nothing answered.
void expectEndAtTheConnectLimit(const Command& command);

/// Waits until process pid, in such a namespace, is connecting to
/// kDroppedPort; false when that does not happen in 30 s.
bool waitUntilConnectingToDroppedPort(int pid);

/// Offset and length of a member's data inside a package (found by reading
/// its local header); both 0 when the member is not there.
struct MemberData {
  size_t offset = 0;
  size_t length = 0;
};
MemberData findStoredMember(const std::string& package, const std::string& name);

/// The package's bytes with the room of its stub record's slot `key`
/// ("agent-base-url", "agent-key") overwritten by `room`, as a hand edit
/// would: `room` is written as it is, whatever its length.
std::string withSlotEdited(const std::string& packageBytes, const std::string& key,
                           const std::string& room);

/// The package's bytes as a package made before kv-pack recorded its
/// sizes: both size slots emptied, so that a run checks neither.
std::string withoutRecordedSizes(const std::string& packageBytes);

#endif  // KV_TESTS_RUN_HELPERS_H_
