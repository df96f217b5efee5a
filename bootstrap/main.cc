#include "bootstrap/interrupt.h"
#include "bootstrap/report.h"
#include "bootstrap/run.h"

int main(int argc, char** argv) {
  catchInterrupts();
  prepareChildSignals();
  int result = BootstrapRun(argc, argv, reportLine);
  endByPendingInterrupt();  // the work directory is gone by now
  if (result != 0) reportLine("Installation failed.", true);
  return result;
}
