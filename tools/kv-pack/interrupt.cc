#include "tools/kv-pack/interrupt.h"

#include <signal.h>

#include <cstdlib>

namespace {

volatile sig_atomic_t caughtSignal = 0;

void onSignal(int signo) { caughtSignal = signo; }

const int kCaught[] = {SIGINT, SIGTERM, SIGHUP};

}  // namespace

void catchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait for a child must notice the signal
  for (int signo : kCaught) sigaction(signo, &action, nullptr);
}

int interruptSignal() { return caughtSignal; }

void reraiseInterrupt() {
  int signo = caughtSignal;
  signal(signo, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  raise(signo);
  std::abort();  // unreachable: the default action of each caught signal ends the process
}
