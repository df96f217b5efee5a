// kv-pack: makes a self-extracting installer from the bootstrap program, an
// application bundle and, optionally, an install agent.

#include <cstdio>

#include "build_config.h"
#include "os/interrupt.h"
#include "tools/kv-pack/commands.h"
#include "tools/kv-pack/options.h"

int main(int argc, char** argv) {
  prepareChildSignals();
  Flags flags;
  std::string err;
  if (!readFlags(argc, argv, &flags, &err)) return reportFailure(err);
  switch (flags.action) {
    case Flags::Action::kHelp:
      fputs(helpText(), stdout);
      return 0;
    case Flags::Action::kVersion:
      printf("kv-pack %s\n", KV_VERSION);
      return 0;
    case Flags::Action::kInfo:
      return describePackage(flags.infoPath);
    case Flags::Action::kPack:
      break;
  }
  return makePackage(flags.pack);
}
