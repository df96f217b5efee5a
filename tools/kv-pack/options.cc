// kv-pack's command line: its options, and the text that explains them.
#include "tools/kv-pack/options.h"

#include <getopt.h>

#include <map>

#include "formats/arch.h"
#include "tools/kv-pack/agent_settings.h"

namespace {

const char kHelp[] =
    "Usage: kv-pack [--arch ARCH] [--bootstrap FILE] --bundle DIR|ZIP [--agent ZIP]\n"
    "               [--agent-url URL] [--agent-key KEY [--agent-key KEY]]\n"
    "               [--agent-not-before TIME|MINISIG] [--level N] -o OUTPUT\n"
    "       kv-pack --info PACKAGE|STUB\n"
    "       kv-pack --version\n"
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
    "                     a minisign.pub file, or its key line (RW...); given twice,\n"
    "                     an agent signed with either runs (to rotate keys)\n"
    "  --agent-not-before TIME|MINISIG\n"
    "                     with --agent-key: refuse agents signed before TIME, in\n"
    "                     seconds since 1970, or before the signing time in the\n"
    "                     trusted comment of a .minisig file, even on a first run\n"
    "  --level N          compression level 0-9 for a bundle directory\n"
    "                     (zip's default: 6)\n"
    "  -o, --output FILE  the package to write: made executable, written under a\n"
    "                     temporary name and renamed once \"unzip -t\" passes it\n"
    "  --info FILE        print what a package or a bare stub is: the stub's record\n"
    "                     with its agent URL and key, its machine and size, the\n"
    "                     libraries and the glibc it needs to start, the archive's\n"
    "                     members, the agent among them, and whether \"unzip -t\"\n"
    "                     passes it\n"
    "  --version          print kv-pack's version, which is its stubs' too\n"
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

// The names --arch takes, for messages: "x86-64 or aarch64".
std::string archNames() {
  std::string names;
  for (const Arch& arch : kArches) names += (names.empty() ? "" : " or ") + std::string(arch.name);
  return names;
}

bool parseLevel(const char* text, int* level) {
  if (text[0] < '0' || text[0] > '9' || text[1] != '\0') return false;
  *level = text[0] - '0';
  return true;
}

enum {
  kArch = 256, kBootstrap, kBundle, kAgent, kAgentUrl, kAgentKey, kAgentNotBefore, kLevel, kInfo,
  kVersion
};

// A package checks agents with at most two keys: the old and the new one of a
// rotation. Every other option takes one value.
constexpr int kMaxAgentKeys = 2;

const struct option kOptions[] = {
    {"arch", required_argument, nullptr, kArch},
    {"bootstrap", required_argument, nullptr, kBootstrap},
    {"bundle", required_argument, nullptr, kBundle},
    {"agent", required_argument, nullptr, kAgent},
    {"agent-url", required_argument, nullptr, kAgentUrl},
    {"agent-key", required_argument, nullptr, kAgentKey},
    {"agent-not-before", required_argument, nullptr, kAgentNotBefore},
    {"level", required_argument, nullptr, kLevel},
    {"info", required_argument, nullptr, kInfo},
    {"output", required_argument, nullptr, 'o'},
    {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Takes one of the options that describe a package; false with *err when its
// value will not do.
bool readPackOption(int option, const char* value, PackOptions* pack, std::string* err) {
  switch (option) {
    case kArch:
      pack->arch = archNamed(value);
      if (pack->arch == nullptr) *err = "--arch takes " + archNames() + ", not \"" + value + "\"";
      return pack->arch != nullptr;
    case kBootstrap:
      pack->bootstrap = value;
      return true;
    case kBundle:
      pack->bundle = value;
      return true;
    case kAgent:
      pack->agent = value;
      return true;
    case kAgentUrl:
      pack->agentUrl = readAgentUrlOption(value, err);
      return !pack->agentUrl.empty();
    case kAgentKey: {
      const std::string key = readAgentKeyOption(value, err);
      if (!key.empty() && !pack->agentKeys.empty() && pack->agentKeys.front() == key)
        *err = std::string("--agent-key ") + value +
               " is the key given before; a rotation takes two different keys";
      if (!err->empty()) return false;
      pack->agentKeys.push_back(key);
      return true;
    }
    case kAgentNotBefore:
      pack->agentNotBefore = readAgentNotBeforeOption(value, err);
      return pack->agentNotBefore.has_value();
    case 'o':
      pack->output = value;
      return true;
    default:  // kLevel
      if (parseLevel(value, &pack->level)) return true;
      *err = std::string("--level takes a digit from 0 to 9, not \"") + value + "\"";
      return false;
  }
}

// What is left to check once every option is read.
bool checkAction(const Flags& flags, bool packOptionGiven, std::string* err) {
  if (flags.action == Flags::Action::kInfo) {
    if (packOptionGiven) *err = "--info takes no other option (see kv-pack --help)";
    return !packOptionGiven;
  }
  if (flags.pack.bundle.empty()) {
    *err = "no bundle given (--bundle DIR|ZIP)";
    return false;
  }
  if (flags.pack.output.empty()) {
    *err = "no output given (-o OUTPUT)";
    return false;
  }
  if (flags.pack.agentNotBefore && flags.pack.agentKeys.empty()) {
    *err = "--agent-not-before needs --agent-key: only signed agents have a signing time";
    return false;
  }
  return true;
}

// The option as the user writes it, for messages.
std::string optionName(int option) {
  if (option == 'o') return "-o";
  for (const struct option& known : kOptions)
    if (known.val == option) return std::string("--") + known.name;
  return "?";
}

}  // namespace

const char* helpText() { return kHelp; }

const Arch* archNamed(const std::string& name) {
  for (const Arch& arch : kArches)
    if (name == arch.name) return &arch;
  return nullptr;
}

bool readFlags(int argc, char** argv, Flags* flags, std::string* err) {
  bool packOptionGiven = false;
  std::map<int, int> given;
  optind = 0;  // getopt keeps its place in globals: start afresh
  opterr = 0;  // one line of our own instead of getopt's
  int option;
  while ((option = getopt_long(argc, argv, "o:h", kOptions, nullptr)) != -1) {
    if (option == 'h' || option == kVersion) {
      flags->action = option == 'h' ? Flags::Action::kHelp : Flags::Action::kVersion;
      return true;
    }
    // A second value would silently replace the first.
    if (option != '?' && option != ':' &&
        ++given[option] > (option == kAgentKey ? kMaxAgentKeys : 1)) {
      *err = option == kAgentKey
                 ? "--agent-key is given a third time; a package takes two keys at most, the old "
                   "and the new one of a rotation"
                 : optionName(option) + " is given twice; it takes one value (see kv-pack --help)";
      return false;
    }
    if (option == kInfo) {
      flags->action = Flags::Action::kInfo;
      flags->infoPath = optarg;
    } else if (option == '?' || option == ':') {
      *err = std::string("unknown option or missing value: ") + argv[optind - 1] +
             " (see kv-pack --help)";
      return false;
    } else {
      packOptionGiven = true;
      if (!readPackOption(option, optarg, &flags->pack, err)) return false;
    }
  }
  if (optind < argc) {
    *err = std::string("unexpected argument ") + argv[optind] + " (see kv-pack --help)";
    return false;
  }
  return checkAction(*flags, packOptionGiven, err);
}
