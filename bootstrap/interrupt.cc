#include "bootstrap/interrupt.h"

#include <csignal>

namespace {

volatile sig_atomic_t gPendingSignal = 0;

void rememberSignal(int signo) {
  gPendingSignal = signo;
}

}  // namespace

void catchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = rememberSignal;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART a blocking call returns early, so a transfer notices at once;
  // system() itself goes on waiting for its child.
  action.sa_flags = 0;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

int pendingInterrupt() {
  return gPendingSignal;
}

void clearPendingInterrupt() {
  gPendingSignal = 0;
}

void endByPendingInterrupt() {
  int signo = gPendingSignal;
  if (signo == 0) return;
  signal(signo, SIG_DFL);
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signo);
  sigprocmask(SIG_UNBLOCK, &only, nullptr);
  raise(signo);
}
