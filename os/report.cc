#include "os/report.h"

#include <cstdio>

void reportLine(const std::string& message, bool toStderr) {
  FILE* stream = toStderr ? stderr : stdout;
  fwrite(message.data(), 1, message.size(), stream);
  fputc('\n', stream);
  fflush(stream);
}

std::string internalErrorMessage(int code) {
  // The leading 4 is a number of its own, written ahead of the code.
  return "Interal error: Failed to initialize application installer (" + std::to_string(4) +
         std::to_string(code) + ")";
}
