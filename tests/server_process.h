#ifndef KV_TESTS_SERVER_PROCESS_H_
#define KV_TESTS_SERVER_PROCESS_H_

#include <functional>
#include <string>
#include <vector>

/// Starts a server program (argv[0] an absolute path) in a process group of
/// its own, with standard output and error going to outputFile. Should the
/// test process die first, the server gets SIGTERM. Returns its pid, or -1.
int startServerProcess(const std::vector<std::string>& argv, const std::string& outputFile);

/// True while the server runs; reaps it once it has ended.
bool serverProcessRunning(int pid);

/// Ends the server with SIGTERM and waits for it; kills its whole process
/// group when that takes more than a few seconds.
void stopServerProcess(int pid);

/// Checks the condition every 10 ms for up to timeoutMs; true once it holds.
bool waitUntil(const std::function<bool()>& condition, int timeoutMs);

/// Waits up to timeoutMs for the server started as pid to say it is ready;
/// false, with the server stopped, when it ends first or is not ready in time.
bool waitUntilServing(int pid, const std::function<bool()>& ready, int timeoutMs);

#endif  // KV_TESTS_SERVER_PROCESS_H_
