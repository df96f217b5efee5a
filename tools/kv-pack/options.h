#ifndef KV_TOOLS_KV_PACK_OPTIONS_H_
#define KV_TOOLS_KV_PACK_OPTIONS_H_

#include <string>

#include "tools/kv-pack/pack.h"

/// What kv-pack's command line asks for.
struct Flags {
  enum class Action { kPack, kInfo, kHelp, kVersion } action = Action::kPack;
  PackOptions pack;      ///< for kPack: what the options say; the bootstrap may still be unnamed
  std::string infoPath;  ///< for kInfo
};

/// Reads the command line into *flags: --help or --version as soon as it is
/// met, --info alone, or the options of a package with a bundle and an
/// output, each at most once. False with *err saying what is wrong, in one
/// line, at the first option that is.
bool readFlags(int argc, char** argv, Flags* flags, std::string* err);

/// The architecture --arch names; nullptr for any other name.
const Arch* archNamed(const std::string& name);

/// The text --help prints.
const char* helpText();

#endif  // KV_TOOLS_KV_PACK_OPTIONS_H_
