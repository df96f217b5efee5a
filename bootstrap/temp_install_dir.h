#ifndef KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_
#define KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_

#include <string>

/// The run's private work directory, removed with everything in it when the
/// object goes away: /tmp/kvXXXXXX, or, when /tmp cannot take one and a
/// fallback parent is given, a directory of the same kind in that parent, as
/// fresh and as private. path() is empty when none could be made.
class TempInstallDir {
 public:
  explicit TempInstallDir(const std::string& fallbackParent = std::string());
  ~TempInstallDir();
  TempInstallDir(const TempInstallDir&) = delete;
  TempInstallDir& operator=(const TempInstallDir&) = delete;

  const std::string& path() const { return path_; }
  /// Where path() was made: "/tmp", or the fallback parent.
  const std::string& parent() const { return parent_; }
  /// Why none could be made, in the one line a run reports.
  std::string whyNone() const;

 private:
  std::string path_;
  std::string parent_;
  std::string fallbackParent_;
  int tmpError_ = 0;
  int fallbackError_ = 0;
};

#endif  // KV_BOOTSTRAP_TEMP_INSTALL_DIR_H_
