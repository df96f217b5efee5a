// kv-pack: makes a self-extracting installer from the bootstrap program, an
// application bundle and, optionally, an install agent.

#include <strings.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "agent/agent_url.h"
#include "bootstrap/executable_path.h"
#include "bootstrap/interrupt.h"
#include "tools/kv-pack/arch.h"
#include "tools/kv-pack/info.h"
#include "tools/kv-pack/options.h"
#include "tools/kv-pack/pack.h"
#include "tools/kv-pack/printable.h"
#include "tools/kv-pack/stub.h"

namespace {

int fail(const std::string& message) {
  fprintf(stderr, "kv-pack: %s\n", printable(message).c_str());
  return 1;
}

// The first of the arch's places beside kv-pack that holds a program for it.
// A file that cannot be read as a stub is taken, so that the check of the
// bootstrap says what is wrong with it.
std::string defaultBootstrap(const Arch& arch, bool keyed, std::string* tried) {
  std::string self = executablePath();
  const std::string dir = self.substr(0, self.rfind('/') + 1);
  for (const std::string& relative : stubsBesidePack(arch, keyed)) {
    std::string candidate = dir + relative;
    struct stat status;
    StubFile stub;
    std::string unreadable;
    if (stat(candidate.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
        (!readStubFile(candidate, "", &stub, &unreadable) || stub.image.machine == arch.elfMachine))
      return candidate;
    *tried += (tried->empty() ? "" : " or ") + candidate;
  }
  return "";
}

// Allowed, since a vendor may have reasons; but on plain http anyone on the
// network path can hand users another agent. A server on the machine itself
// is out of their reach.
void warnOfPlainHttp(const PackOptions& options) {
  if (strncasecmp(options.agentUrl.c_str(), "http://", 7) != 0 || !options.agentKey.empty()) return;
  const std::string host = urlHost(options.agentUrl);
  if (host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0) return;
  fprintf(stderr,
          "kv-pack: warning: --agent-url %s is plain http: anyone on the network path can replace "
          "the agent; prefer https://, or sign agents and give --agent-key\n",
          printable(options.agentUrl).c_str());
}

// Fills in what the options leave to kv-pack: the bootstrap beside it, and
// the time SOURCE_DATE_EPOCH sets.
bool completePackOptions(PackOptions* options, std::string* err) {
  if (options->bootstrap.empty()) {
    std::string tried;
    const bool keyed = !options->agentKey.empty();
    options->bootstrap = defaultBootstrap(*options->arch, keyed, &tried);
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
  // Lets tests reach the ZIP64 records without writing 4 GiB.
  if (const char* threshold = getenv("KV_PACK_TEST_ZIP64_THRESHOLD"))
    options->zip64Threshold = strtoull(threshold, nullptr, 10);
  return true;
}

int describe(const std::string& path) {
  std::string err;
  catchInterrupts();
  const bool described = printInfo(path, stdout, &err);
  endByPendingInterrupt();
  return described ? 0 : fail(err);
}

int pack(PackOptions options) {
  std::string err;
  if (!completePackOptions(&options, &err)) return fail(err);
  catchInterrupts();
  const bool packed = packPackage(options, &err);
  endByPendingInterrupt();
  if (!packed) return fail(err);
  warnOfPlainHttp(options);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  prepareChildSignals();
  Flags flags;
  std::string err;
  if (!readFlags(argc, argv, &flags, &err)) return fail(err);
  switch (flags.action) {
    case Flags::Action::kHelp:
      fputs(helpText(), stdout);
      return 0;
    case Flags::Action::kInfo:
      return describe(flags.infoPath);
    case Flags::Action::kPack:
      break;
  }
  return pack(flags.pack);
}
