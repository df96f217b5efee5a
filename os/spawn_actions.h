#ifndef KV_OS_SPAWN_ACTIONS_H_
#define KV_OS_SPAWN_ACTIONS_H_

#include <fcntl.h>
#include <spawn.h>

/// The file actions of one posix_spawn call, destroyed on every path. Every
/// action is checked as it is recorded: when one could not be, the spawn must
/// not happen, or the child would run with the wrong input or output. Shared
/// by the bootstrap and kv-pack.
class SpawnActions {
 public:
  SpawnActions() : initialized_(posix_spawn_file_actions_init(&actions_) == 0) {}
  ~SpawnActions() {
    if (initialized_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;

  /// The child opens path read-only as fd.
  [[nodiscard]] bool addOpenForReading(int fd, const char* path) {
    return initialized_ && posix_spawn_file_actions_addopen(&actions_, fd, path, O_RDONLY, 0) == 0;
  }
  /// The child's newFd is a copy of fd.
  [[nodiscard]] bool addDup2(int fd, int newFd) {
    return initialized_ && posix_spawn_file_actions_adddup2(&actions_, fd, newFd) == 0;
  }

  const posix_spawn_file_actions_t* get() const { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
  bool initialized_;
};

#endif  // KV_OS_SPAWN_ACTIONS_H_
