#include "tools/kv-pack/pending_output.h"

#include <sys/stat.h>

#include "tools/kv-pack/file_io.h"

namespace {

std::string directoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

mode_t currentUmask() {
  mode_t mask = umask(0);
  umask(mask);
  return mask;
}

}  // namespace

bool PendingOutput::create(const std::string& finalPath, std::string* err) {
  finalPath_ = finalPath;
  if (!file_.create(finalPath)) {
    *err = errnoText("cannot create " + finalPath + " (in " + directoryOf(finalPath) + ")");
    return false;
  }
  return true;
}

bool PendingOutput::commit(std::string* err) {
  if (fchmod(file_.fd(), 0777 & ~currentUmask()) != 0) {
    *err = errnoText("cannot make " + file_.tempPath() + " executable");
    return false;
  }
  if (!file_.finishWriting()) {
    *err = errnoText("cannot write " + file_.tempPath());
    return false;
  }
  if (!file_.commit()) {
    *err = errnoText("cannot create " + finalPath_);
    return false;
  }
  return true;
}
