#include "os/interrupt.h"

namespace {

volatile sig_atomic_t gPendingSignal = 0;

const int kInterruptSignals[] = {SIGTERM, SIGHUP, SIGINT, SIGQUIT};

void rememberSignal(int signo) {
  gPendingSignal = signo;
}

void doNothing(int /*signo*/) {}

bool isCaught(int signo) {
  struct sigaction current = {};
  return sigaction(signo, nullptr, &current) == 0 && current.sa_handler == rememberSignal;
}

}  // namespace

void catchInterrupts() {
  struct sigaction action = {};
  action.sa_handler = rememberSignal;
  sigemptyset(&action.sa_mask);
  // Without SA_RESTART a blocking call returns early, so a transfer or a wait
  // notices at once; system() itself goes on waiting for its child.
  action.sa_flags = 0;
  for (int signo : kInterruptSignals) {
    struct sigaction inherited = {};
    if (sigaction(signo, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
    sigaction(signo, &action, nullptr);
  }
}

void prepareChildSignals() {
  struct sigaction action = {};
  sigemptyset(&action.sa_mask);
  action.sa_handler = doNothing;
  action.sa_flags = SA_RESTART;
  sigaction(SIGPIPE, &action, nullptr);
  action.sa_handler = SIG_DFL;
  sigaction(SIGCHLD, &action, nullptr);
}

int pendingInterrupt() {
  return gPendingSignal;
}

void rememberChildInterrupt(int signo) {
  if (gPendingSignal == 0 && isCaught(signo)) gPendingSignal = signo;
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

InterruptsHeld::InterruptsHeld() {
  sigset_t interrupts;
  sigemptyset(&interrupts);
  for (int signo : kInterruptSignals) sigaddset(&interrupts, signo);
  sigprocmask(SIG_BLOCK, &interrupts, &before_);
}

InterruptsHeld::~InterruptsHeld() {
  sigprocmask(SIG_SETMASK, &before_, nullptr);
}
