#ifndef KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_
#define KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_

#include <string>

/// A private work directory under /tmp, removed with everything in it when
/// the object goes away. path() is empty when none could be created.
class TempInstallDir {
 public:
  TempInstallDir();
  ~TempInstallDir();
  TempInstallDir(const TempInstallDir&) = delete;
  TempInstallDir& operator=(const TempInstallDir&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

#endif  // KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_
