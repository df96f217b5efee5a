#include "os/interrupt.h"
#include "bootstrap/run.h"
#include "os/report.h"

int main(int argc, char** argv) {
  catchInterrupts();
  prepareChildSignals();
  int result = BootstrapRun(argc, argv, reportLine);
  endByPendingInterrupt();  // the work directory is gone by now
  if (result != 0) reportLine("Installation failed.", true);
  return result;
}
