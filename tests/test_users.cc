#include "tests/test_users.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <tuple>

#include "tests/test_util.h"

std::string userText(uid_t uid) {
  std::string text = "user " + std::to_string(uid);
  if (const struct passwd* entry = getpwuid(uid)) text += std::string(" (") + entry->pw_name + ")";
  return text;
}

std::string thisUserText() { return userText(geteuid()); }

namespace {

// The first id of the user's range in /etc/subuid or /etc/subgid ("name:first:count",
// or the numeric id for the name); false when it has none.
bool firstSubordinateId(const std::string& file, const std::string& name, unsigned* first) {
  std::ifstream lines(file);
  const std::string id = std::to_string(geteuid());
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string owner, start, count;
    if (!std::getline(fields, owner, ':') || !std::getline(fields, start, ':') ||
        !std::getline(fields, count))
      continue;
    if ((owner == name || owner == id) && std::stoul(count) > 0) {
      *first = static_cast<unsigned>(std::stoul(start));
      return true;
    }
  }
  return false;
}

OtherUser findOtherUser() {
  OtherUser other;
  if (geteuid() == 0) {
    other.uid = 65534;
    other.gid = 65534;
    return other;
  }
  const struct passwd* entry = getpwuid(geteuid());
  const std::string name = entry != nullptr ? entry->pw_name : std::to_string(geteuid());
  unsigned uid = 0, gid = 0;
  if (!firstSubordinateId("/etc/subuid", name, &uid) || !firstSubordinateId("/etc/subgid", name, &gid)) {
    other.missing = name + " has no subordinate uids and gids (/etc/subuid, /etc/subgid) to map one from; "
                    "usermod --add-subuids and --add-subgids give them";
    return other;
  }
  for (const char* tool : {"/usr/bin/newuidmap", "/usr/bin/newgidmap"})
    if (access(tool, X_OK) != 0) {
      other.missing = std::string(tool) + " is missing (package uidmap)";
      return other;
    }
  other.uid = uid;
  other.gid = gid;
  return other;
}

bool writeTo(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return written;
}

}  // namespace

const OtherUser& otherUser() {
  static const OtherUser other = [] {
    OtherUser found = findOtherUser();
    if (!found.missing.empty()) return found;
    // Try it once, so that a mapping that does not work is told, not failed on.
    ScopedTempDir probe;
    const std::string file = probe / "probe";
    writeFile(file, "");
    struct stat info;
    if (!giveToOtherUser(file) || lstat(file.c_str(), &info) != 0 || info.st_uid != found.uid)
      found.missing = "newuidmap and newgidmap could not map uid " + std::to_string(found.uid) +
                      " and gid " + std::to_string(found.gid);
    return found;
  }();
  return other;
}

namespace {

// lchown() to the other user or back to this one, in a user namespace where
// both are mapped, for a plain user.
bool changeOwner(const std::string& path, bool toOther) {
  const OtherUser other = findOtherUser();
  if (!other.missing.empty()) return false;
  const uid_t uid = toOther ? other.uid : geteuid();
  const gid_t gid = toOther ? other.gid : getegid();
  if (geteuid() == 0) return lchown(path.c_str(), uid, gid) == 0;
  ChildUser user(true, false);
  const pid_t pid = fork();
  if (pid == 0) _exit(user.enter() && lchown(path.c_str(), uid, gid) == 0 ? 0 : 1);
  const std::string problem = user.afterFork(pid);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return problem.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool giveToOtherUser(const std::string& path) { return changeOwner(path, true); }
bool takeBackFromOtherUser(const std::string& path) { return changeOwner(path, false); }

ChildUser::ChildUser(bool asOtherUser, bool mounts)
    : asOther_(asOtherUser), ownNamespace_(geteuid() != 0 && (asOtherUser || mounts)) {
  if (!ownNamespace_) {
    if (asOther_) other_ = findOtherUser();
    return;
  }
  // The other user, where there is one, is mapped into every namespace, so
  // that what is theirs is told as theirs, not as an unmapped id's.
  parentMaps_ = asOther_ || otherUser().missing.empty();
  if (!parentMaps_) {
    const std::string uid = std::to_string(geteuid()), gid = std::to_string(getegid());
    uidMap_ = uid + " " + uid + " 1";
    gidMap_ = gid + " " + gid + " 1";
    return;
  }
  other_ = findOtherUser();
  // Without the pipes, afterFork() and enter() fail.
  [[maybe_unused]] const bool piped = pipe2(ready_, O_CLOEXEC) == 0 && pipe2(mapped_, O_CLOEXEC) == 0;
}

ChildUser::~ChildUser() {
  for (int fd : {ready_[0], ready_[1], mapped_[0], mapped_[1]})
    if (fd >= 0) close(fd);
}

std::string ChildUser::afterFork(pid_t child) {
  if (!parentMaps_) return "";
  char byte = 0;
  close(ready_[1]);
  ready_[1] = -1;
  if (read(ready_[0], &byte, 1) != 1) return "the child made no user namespace";
  const std::string pid = std::to_string(child);
  std::string problem;
  for (const auto& [tool, own, theirs] :
       {std::make_tuple("/usr/bin/newuidmap", std::to_string(geteuid()), std::to_string(other_.uid)),
        std::make_tuple("/usr/bin/newgidmap", std::to_string(getegid()), std::to_string(other_.gid))}) {
    ProcessResult mapped = runProcess({{tool, pid, own, own, "1", theirs, theirs, "1"}, {}, {}, "", ""});
    if (mapped.exitCode != 0 && problem.empty()) problem = tool + (": " + mapped.err);
  }
  byte = problem.empty() ? '1' : '0';
  if (write(mapped_[1], &byte, 1) != 1 && problem.empty()) problem = "the child went away";
  return problem;
}

bool ChildUser::enter() {
  if (!ownNamespace_) return true;
  if (unshare(CLONE_NEWUSER) != 0) return false;
  if (!parentMaps_)
    return writeTo("/proc/self/setgroups", "deny") && writeTo("/proc/self/uid_map", uidMap_) &&
           writeTo("/proc/self/gid_map", gidMap_);
  char byte = '0';
  return write(ready_[1], &byte, 1) == 1 && read(mapped_[0], &byte, 1) == 1 && byte == '1';
}

bool ChildUser::become() const {
  if (!asOther_) return true;
  return other_.missing.empty() && setgroups(0, nullptr) == 0 &&
         setresgid(other_.gid, other_.gid, other_.gid) == 0 &&
         setresuid(other_.uid, other_.uid, other_.uid) == 0;
}
