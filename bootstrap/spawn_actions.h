#ifndef KV_BOOTSTRAP_SPAWN_ACTIONS_H_
#define KV_BOOTSTRAP_SPAWN_ACTIONS_H_

#include <spawn.h>

/// The file actions of one posix_spawn call, destroyed on every path. Shared
/// by the bootstrap and kv-pack.
class SpawnActions {
 public:
  SpawnActions() { posix_spawn_file_actions_init(&actions_); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions_); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

#endif  // KV_BOOTSTRAP_SPAWN_ACTIONS_H_
