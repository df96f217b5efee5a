#include "bootstrap/temp_install_dir.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "os/shell.h"

TempInstallDir::TempInstallDir(const std::string& fallbackParent) {
  char name[] = "/tmp/kvXXXXXX";  // always /tmp, whatever TMPDIR says
  if (mkdtemp(name) != nullptr) {
    path_ = name;
    parent_ = "/tmp";
    return;
  }
  tmpError_ = errno;
  if (fallbackParent.empty()) return;
  fallbackParent_ = fallbackParent;
  // A directory of its own, never the parent itself: whatever lies there, an
  // earlier run's leftovers or anyone's files, is neither read nor run.
  std::string beside = fallbackParent;
  if (beside.back() != '/') beside += '/';
  beside += "kvXXXXXX";
  if (mkdtemp(&beside[0]) != nullptr) {
    path_ = beside;
    parent_ = fallbackParent;
  } else {
    fallbackError_ = errno;
  }
}

TempInstallDir::~TempInstallDir() {
  if (!path_.empty()) runShellCommand("rm -rf " + quoteIfNeeded(path_));
}

std::string TempInstallDir::whyNone() const {
  std::string message = "Cannot create a work directory in /tmp (";
  message += strerror(tmpError_);
  message += ") or beside the installer in ";
  message += fallbackParent_;
  message += " (";
  message += strerror(fallbackError_);
  message += "). Make room in /tmp, or run the installer from a directory you can write to.";
  return message;
}
