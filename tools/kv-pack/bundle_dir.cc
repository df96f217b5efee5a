#include "tools/kv-pack/bundle_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "os/stream_handles.h"
#include "tools/kv-pack/child_process.h"
#include "tools/kv-pack/file_io.h"

namespace {

bool walk(const std::string& root, const std::string& relative, std::vector<std::string>* paths,
          std::string* err) {
  std::string dirPath = relative.empty() ? root : root + "/" + relative;
  DirHandle dir(opendir(dirPath.c_str()));
  if (dir == nullptr) {
    *err = errnoText("cannot read " + dirPath);
    return false;
  }
  while (struct dirent* entry = readdir(dir.get())) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string child = relative;
    if (!child.empty()) child += '/';
    child += name;
    std::string full = root;
    full.append("/").append(child);
    // zip reads its name list line by line and drops a carriage return at a line's end.
    if (name.find_first_of("\n\r") != std::string::npos) {
      *err = "cannot put a file name holding a line break into the bundle: " + full;
      return false;
    }
    struct stat status;
    if (lstat(full.c_str(), &status) != 0) {
      *err = errnoText("cannot read " + full);
      return false;
    }
    if (S_ISDIR(status.st_mode)) {
      // Listed as zip names it, so that sorting orders the names as stored.
      paths->push_back(child + "/");
      if (!walk(root, child, paths, err)) return false;
    } else if (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)) {
      paths->push_back(child);
    } else {
      *err = full + " is not a regular file, directory or symbolic link";
      return false;
    }
  }
  return true;
}

// A copy of the tree whose every time is the epoch and whose modes do not
// depend on the umask of whoever checked the sources out, so that zip, which
// records both, writes the same bytes from any checkout.
bool stageReproducibleCopy(const std::string& dir, const std::vector<std::string>& paths,
                           time_t epoch, const std::string& copy, std::string* err) {
  if (mkdir(copy.c_str(), 0700) != 0) {
    *err = errnoText("cannot create " + copy);
    return false;
  }
  ChildResult copied = runChild({{"cp", "-R", "-P", "--", dir + "/.", copy}, {}, "", ""});
  if (!copied.succeeded()) {
    *err = "cannot copy the bundle directory: " + copied.summary();
    return false;
  }
  const struct timespec times[2] = {{epoch, 0}, {epoch, 0}};
  for (const std::string& relative : paths) {
    std::string path = copy;
    path.append("/").append(relative);
    struct stat status;
    if (lstat(path.c_str(), &status) != 0) {
      *err = errnoText("cannot read " + path);
      return false;
    }
    mode_t mode = S_ISDIR(status.st_mode) || (status.st_mode & S_IXUSR) != 0 ? 0755 : 0644;
    if ((!S_ISLNK(status.st_mode) && chmod(path.c_str(), mode) != 0) ||
        utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
      *err = errnoText("cannot set the mode and time of " + path);
      return false;
    }
  }
  return true;
}

bool writeNameList(const std::vector<std::string>& paths, const std::string& listPath,
                   std::string* err) {
  std::string text;
  for (const std::string& path : paths) text += path + "\n";
  UniqueFd fd(open(listPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd.valid() || !writeFully(fd.get(), text.data(), text.size())) {
    *err = errnoText("cannot write " + listPath);
    return false;
  }
  return true;
}

}  // namespace

bool listBundleTree(const std::string& dir, std::vector<std::string>* paths, std::string* err) {
  paths->clear();
  if (!walk(dir, "", paths, err)) return false;
  std::sort(paths->begin(), paths->end());
  return true;
}

bool zipBundleDirectory(const std::string& dir, const BundleZipOptions& options,
                        const StagingDir& staging, const std::string& zipPath, std::string* err) {
  std::vector<std::string> paths;
  if (!listBundleTree(dir, &paths, err)) return false;
  if (paths.empty()) {
    *err = "bundle directory " + dir + " is empty";
    return false;
  }
  std::string root = dir;
  if (options.reproducible) {
    root = staging / "bundle";
    if (!stageReproducibleCopy(dir, paths, options.epoch, root, err)) return false;
  }
  std::string listPath = staging / "names";
  if (!writeNameList(paths, listPath, err)) return false;

  // -y keeps symbolic links as links; -nw takes every name literally, "*" and "[" included.
  std::vector<std::string> argv = {"zip", "-q", "-y", "-nw"};
  // -X leaves out the exact times and the owner (the "UT" and "ux" fields); owners
  // differ between machines, and access times between runs.
  if (options.reproducible) argv.push_back("-X");
  if (options.level >= 0) argv.push_back("-" + std::to_string(options.level));
  argv.push_back(zipPath);
  argv.push_back("-@");
  // The DOS times zip writes follow the time zone; UTC makes them the same everywhere.
  ChildResult zipped = runChild({argv, {"TZ=UTC"}, root, listPath});
  if (!zipped.succeeded() || !zipped.err.empty() || !zipped.out.empty()) {
    *err = "zip failed on bundle directory " + dir + ": " + zipped.summary();
    return false;
  }
  return true;
}
