#include "tools/kv-pack/commands.h"

#include <cstdio>
#include <cstdlib>

#include "os/executable_path.h"
#include "os/interrupt.h"
#include "tools/kv-pack/agent_settings.h"
#include "tools/kv-pack/info.h"
#include "tools/kv-pack/printable.h"
#include "tools/kv-pack/stub_discovery.h"

namespace {

// Fills in what the options leave to kv-pack: the bootstrap beside it, and
// the time SOURCE_DATE_EPOCH sets.
bool completePackOptions(PackOptions* options, std::string* err) {
  if (options->bootstrap.empty()) {
    std::string tried;
    const bool keyed = !options->agentKeys.empty();
    const std::string self = executablePath();
    options->bootstrap = findDefaultBootstrap(*options->arch, keyed,
                                              self.substr(0, self.rfind('/') + 1), &tried);
    if (options->bootstrap.empty()) {
      *err = std::string("no ") + options->arch->name + (keyed ? " keyed" : "") + " bootstrap at " +
             tried + "; name one with --bootstrap";
      return false;
    }
  }
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0') {
    if (!parseSourceDateEpoch(epoch, &options->epoch, err)) return false;
    options->reproducible = true;
  }
  return true;
}

}  // namespace

int reportFailure(const std::string& message) {
  fprintf(stderr, "kv-pack: %s\n", printable(message).c_str());
  return 1;
}

int describePackage(const std::string& path) {
  std::string err;
  catchInterrupts();
  const bool described = printInfo(path, stdout, &err);
  endByPendingInterrupt();
  return described ? 0 : reportFailure(err);
}

int makePackage(PackOptions options) {
  std::string err;
  if (!completePackOptions(&options, &err)) return reportFailure(err);
  catchInterrupts();
  const bool packed = packPackage(options, &err);
  endByPendingInterrupt();
  if (!packed) return reportFailure(err);
  warnOfPlainHttp(options);
  return 0;
}
