// kv-pack: makes a self-extracting installer from the bootstrap program, an
// application bundle and, optionally, an install agent.

#include <getopt.h>
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
#include "tools/kv-pack/pack.h"
#include "tools/kv-pack/printable.h"
#include "tools/kv-pack/stub.h"
#include "tools/kv-pack/stub_slots.h"

namespace {

const char kHelp[] =
    "Usage: kv-pack [--arch ARCH] [--bootstrap FILE] --bundle DIR|ZIP [--agent ZIP]\n"
    "               [--agent-url URL] [--agent-key KEY] [--level N] -o OUTPUT\n"
    "       kv-pack --info PACKAGE|STUB\n"
    "\n"
    "Makes a self-extracting installer: the bootstrap program followed by a ZIP\n"
    "archive holding \"bundle.zip\" and, optionally, the install agent.\n"
    "\n"
    "  --arch ARCH        the processor the package runs on: x86-64 (the default)\n"
    "                     or aarch64; the bootstrap must be built for it\n"
    "  --bootstrap FILE   the bootstrap program to put in front: a kv-bootstrap\n"
    "                     stub, which carries a record of its version, agent base\n"
    "                     URL, signing key and platform;\n"
    "                     default: ../lib/kv-bootstrap/kv-bootstrap next to kv-pack\n"
    "                     (kv-bootstrap-aarch64 for aarch64), else stub/kv-bootstrap\n"
    "                     (stub-aarch64/) or kv-bootstrap beside it; with --agent-key\n"
    "                     the keyed stub: kv-bootstrap-keyed (-keyed-aarch64),\n"
    "                     stub-keyed/ (stub-keyed-aarch64/) or kv-bootstrap-keyed\n"
    "  --bundle DIR|ZIP   the application: a directory is zipped with Info-ZIP zip,\n"
    "                     names in byte order, symbolic links kept as links; a ZIP\n"
    "                     archive must pass \"unzip -t\" and is carried unchanged\n"
    "  --agent ZIP        an install agent archive with a top-level \"install\" script;\n"
    "                     stored as InstallAgent.zip, or under its own name when\n"
    "                     that is InstallAgent_<anything>.zip\n"
    "  --agent-url URL    the server a package without an agent downloads it from:\n"
    "                     http:// or https:// and a host, up to 255 bytes;\n"
    "                     default: the base URL in the bootstrap's record\n"
    "  --agent-key KEY    check downloaded agents against this minisign public key:\n"
    "                     a minisign.pub file, or its key line (RW...)\n"
    "  --level N          compression level 0-9 for a bundle directory\n"
    "                     (zip's default: 6)\n"
    "  -o, --output FILE  the package to write: made executable, written under a\n"
    "                     temporary name and renamed once \"unzip -t\" passes it\n"
    "  --info FILE        print what a package or a bare stub is: the stub's record\n"
    "                     with its agent URL and key, its machine and size, the\n"
    "                     libraries and the glibc it needs to start, the archive's\n"
    "                     members, the agent among them, and whether \"unzip -t\"\n"
    "                     passes it\n"
    "  -h, --help         show this text\n"
    "\n"
    "With SOURCE_DATE_EPOCH set (seconds since 1970), the same inputs give the same\n"
    "bytes: every recorded time is that time, every owner 0, and file modes in a\n"
    "bundle directory count only the owner's execute bit.\n"
    "\n"
    "Exit status: 0 when the package is written; otherwise 1, with one line on\n"
    "standard error starting with \"kv-pack: \", and no output file. With --info:\n"
    "0 when the file is a stub with its record and any archive passes \"unzip -t\";\n"
    "otherwise 1, with one such line after what could be read.\n";

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
  for (const std::string& relative : keyed ? arch.keyedStubsBesidePack : arch.stubsBesidePack) {
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

bool parseLevel(const char* text, int* level) {
  if (text[0] < '0' || text[0] > '9' || text[1] != '\0') return false;
  *level = text[0] - '0';
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  prepareChildSignals();
  enum { kArch = 256, kBootstrap, kBundle, kAgent, kAgentUrl, kAgentKey, kLevel, kInfo };
  static const struct option kOptions[] = {
      {"arch", required_argument, nullptr, kArch},
      {"bootstrap", required_argument, nullptr, kBootstrap},
      {"bundle", required_argument, nullptr, kBundle},
      {"agent", required_argument, nullptr, kAgent},
      {"agent-url", required_argument, nullptr, kAgentUrl},
      {"agent-key", required_argument, nullptr, kAgentKey},
      {"level", required_argument, nullptr, kLevel},
      {"info", required_argument, nullptr, kInfo},
      {"output", required_argument, nullptr, 'o'},
      {"help", no_argument, nullptr, 'h'},
      {nullptr, 0, nullptr, 0},
  };
  PackOptions options;
  std::string err;
  const char* infoPath = nullptr;
  bool packOptionGiven = false;
  opterr = 0;  // one line of our own instead of getopt's
  int option;
  while ((option = getopt_long(argc, argv, "o:h", kOptions, nullptr)) != -1) {
    switch (option) {
      case kArch:
        packOptionGiven = true;
        options.arch = archNamed(optarg);
        if (options.arch == nullptr)
          return fail("--arch takes " + archNames() + ", not \"" + optarg + "\"");
        break;
      case kBootstrap:
        packOptionGiven = true;
        options.bootstrap = optarg;
        break;
      case kBundle:
        packOptionGiven = true;
        options.bundle = optarg;
        break;
      case kAgent:
        packOptionGiven = true;
        options.agent = optarg;
        break;
      case kAgentUrl:
        packOptionGiven = true;
        options.agentUrl = readAgentUrlOption(optarg, &err);
        if (options.agentUrl.empty()) return fail(err);
        break;
      case kAgentKey:
        packOptionGiven = true;
        options.agentKey = readAgentKeyOption(optarg, &err);
        if (options.agentKey.empty()) return fail(err);
        break;
      case 'o':
        packOptionGiven = true;
        options.output = optarg;
        break;
      case kLevel:
        packOptionGiven = true;
        if (!parseLevel(optarg, &options.level))
          return fail(std::string("--level takes a digit from 0 to 9, not \"") + optarg + "\"");
        break;
      case kInfo:
        infoPath = optarg;
        break;
      case 'h':
        fputs(kHelp, stdout);
        return 0;
      default:
        return fail(std::string("unknown option or missing value: ") + argv[optind - 1] +
                    " (see kv-pack --help)");
    }
  }
  if (optind < argc)
    return fail(std::string("unexpected argument ") + argv[optind] + " (see kv-pack --help)");
  if (infoPath != nullptr) {
    if (packOptionGiven) return fail("--info takes no other option (see kv-pack --help)");
    catchInterrupts();
    bool described = printInfo(infoPath, stdout, &err);
    endByPendingInterrupt();
    return described ? 0 : fail(err);
  }
  if (options.bundle.empty()) return fail("no bundle given (--bundle DIR|ZIP)");
  if (options.output.empty()) return fail("no output given (-o OUTPUT)");
  if (options.bootstrap.empty()) {
    std::string tried;
    const bool keyed = !options.agentKey.empty();
    options.bootstrap = defaultBootstrap(*options.arch, keyed, &tried);
    if (options.bootstrap.empty())
      return fail(std::string("no ") + options.arch->name + (keyed ? " keyed" : "") +
                  " bootstrap at " + tried + "; name one with --bootstrap");
  }
  const char* epoch = getenv("SOURCE_DATE_EPOCH");
  if (epoch != nullptr && *epoch != '\0') {
    if (!parseSourceDateEpoch(epoch, &options.epoch, &err)) return fail(err);
    options.reproducible = true;
  }
  // Lets tests reach the ZIP64 records without writing 4 GiB.
  if (const char* threshold = getenv("KV_PACK_TEST_ZIP64_THRESHOLD"))
    options.zip64Threshold = strtoull(threshold, nullptr, 10);

  catchInterrupts();
  bool packed = packPackage(options, &err);
  endByPendingInterrupt();
  if (!packed) return fail(err);
  warnOfPlainHttp(options);
  return 0;
}
