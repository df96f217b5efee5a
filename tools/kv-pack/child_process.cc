#include "tools/kv-pack/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "os/child_outcome.h"
#include "os/interrupt.h"
#include "os/spawn_actions.h"
#include "tools/kv-pack/file_io.h"

extern char** environ;

namespace {

std::vector<std::string> childEnvironment(const std::vector<std::string>& setEnv) {
  std::vector<std::string> env;
  env.reserve(setEnv.size() + 64);
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string item = *entry;
    size_t equals = item.find('=');
    std::string name = item.substr(0, equals == std::string::npos ? item.size() : equals + 1);
    bool replaced = false;
    for (const std::string& wanted : setEnv)
      if (wanted.compare(0, name.size(), name) == 0) replaced = true;
    if (!replaced) env.push_back(item);
  }
  env.insert(env.end(), setEnv.begin(), setEnv.end());
  return env;
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(&text[0]);
  pointers.push_back(nullptr);
  return pointers;
}

// Drains the child's standard output and error until it closes both, and
// stops the child when we are asked to stop.
void collectOutput(pid_t pid, const UniqueFd& outRead, const UniqueFd& errRead,
                   ChildResult* result) {
  struct pollfd fds[2] = {{outRead.get(), POLLIN, 0}, {errRead.get(), POLLIN, 0}};
  std::string* sinks[2] = {&result->out, &result->err};
  bool terminated = false;
  int open = 2;
  // Held between the check and the wait, so that a signal arriving in between
  // ends the wait at once instead of after the child's next output.
  InterruptsHeld held;
  while (open > 0) {
    if (pendingInterrupt() != 0 && !terminated) {
      kill(pid, SIGTERM);
      terminated = true;
    }
    if (ppoll(fds, 2, nullptr, held.waitMask()) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[16384];
      ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(n));
      } else {
        fds[i].fd = -1;
        --open;
      }
    }
  }
}

// Where we were, to come back to once a child has been started in a
// directory of its own: the file action that would start it there,
// posix_spawn_file_actions_addchdir_np, needs glibc 2.29, and kv-pack must
// start on 2.17 like the packages. kv-pack runs one thread, so nothing else
// sees the move.
class WorkDirMove {
 public:
  WorkDirMove() = default;
  ~WorkDirMove() { back(); }
  WorkDirMove(const WorkDirMove&) = delete;
  WorkDirMove& operator=(const WorkDirMove&) = delete;

  /// False with errno set when we stay where we are.
  bool to(const std::string& dir) {
    // O_PATH: even a directory we may not read can be returned to.
    saved_ = UniqueFd(open(".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    moved_ = saved_.valid() && chdir(dir.c_str()) == 0;
    return moved_;
  }
  /// False with errno set when we could not come back.
  bool back() {
    if (moved_ && fchdir(saved_.get()) == 0) moved_ = false;
    return !moved_;
  }

 private:
  UniqueFd saved_;
  bool moved_ = false;
};

}  // namespace

std::string ChildResult::summary() const {
  for (const std::string* text : {&err, &out}) {
    size_t start = text->find_first_not_of(" \n");
    if (start == std::string::npos) continue;
    size_t end = text->find('\n', start);
    return text->substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  if (!started) return "could not be started";
  if (!exited) return std::string("ended by signal ") + strsignal(signal);
  return "exit status " + std::to_string(exitCode);
}

Child::~Child() {
  if (pid_ > 0) {
    stoppedByUs_ = true;
    kill(pid_, SIGTERM);
    wait();
  }
}

void Child::start(const ChildSpec& request) {
  int outPipe[2], errPipe[2];
  if (pipe2(outPipe, O_CLOEXEC) != 0) {
    result_.err = errnoText("pipe");
    return;
  }
  out_ = UniqueFd(outPipe[0]);
  UniqueFd outWrite(outPipe[1]);
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    result_.err = errnoText("pipe");
    return;
  }
  err_ = UniqueFd(errPipe[0]);
  UniqueFd errWrite(errPipe[1]);

  // Opened here rather than by the child, so that a failure names the file.
  const std::string input = request.stdinPath.empty() ? "/dev/null" : request.stdinPath;
  UniqueFd inRead(open(input.c_str(), O_RDONLY | O_CLOEXEC));
  if (!inRead.valid()) {
    result_.err = errnoText("cannot open " + input);
    return;
  }
  SpawnActions actions;
  if (!actions.addDup2(inRead.get(), 0) || !actions.addDup2(outWrite.get(), 1) ||
      !actions.addDup2(errWrite.get(), 2)) {
    result_.err = "cannot set up the input and output of " + request.argv[0];
    return;
  }
  WorkDirMove move;
  if (!request.workDir.empty() && !move.to(request.workDir)) {
    result_.err = errnoText("cannot start " + request.argv[0] + " in " + request.workDir);
    return;
  }

  std::vector<std::string> args = request.argv;
  std::vector<std::string> env = childEnvironment(request.setEnv);
  std::vector<char*> argPointers = pointersTo(args);
  std::vector<char*> envPointers = pointersTo(env);
  pid_t pid = 0;
  int spawnError = posix_spawnp(&pid, argPointers[0], actions.get(), nullptr, argPointers.data(),
                                envPointers.data());
  if (!move.back()) {
    result_.err = errnoText("cannot return to the working directory");
    if (spawnError == 0) {
      kill(pid, SIGTERM);
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    return;
  }
  if (spawnError != 0) {
    result_.err = request.argv[0] + ": " + strerror(spawnError);
    return;
  }
  pid_ = pid;
  result_.started = true;
}

ChildResult Child::wait() {
  if (pid_ <= 0) return result_;
  collectOutput(pid_, out_, err_, &result_);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) break;
    if (pendingInterrupt() != 0) kill(pid_, SIGTERM);
  }
  pid_ = -1;
  const ChildOutcome outcome = ChildOutcome::fromWaitStatus(status);
  if (outcome.kind == ChildOutcome::kExited) {
    result_.exited = true;
    result_.exitCode = outcome.value;
  } else if (outcome.kind == ChildOutcome::kSignaled) {
    result_.signal = outcome.value;
    // Ctrl-C, or a stop sent to zip alone, asks us to stop too; our own
    // SIGTERM to a child no longer needed does not.
    if (!stoppedByUs_) rememberChildInterrupt(result_.signal);
  }
  return result_;
}

ChildResult runChild(const ChildSpec& request) {
  Child child;
  child.start(request);
  return child.wait();
}
