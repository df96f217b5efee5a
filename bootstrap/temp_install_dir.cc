#include "bootstrap/temp_install_dir.h"

#include <cstdlib>

#include "os/shell.h"

TempInstallDir::TempInstallDir() {
  char name[] = "/tmp/kvXXXXXX";  // always /tmp, whatever TMPDIR says
  if (mkdtemp(name) != nullptr) path_ = name;
}

TempInstallDir::~TempInstallDir() {
  if (!path_.empty()) runShellCommand("rm -rf " + quoteIfNeeded(path_));
}
