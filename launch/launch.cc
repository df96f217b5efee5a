#include "launch/launch.h"
bool launchInstallAgent(const std::string&, const std::string&, int, char**, ReportFn) { return false; }
