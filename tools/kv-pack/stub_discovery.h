#ifndef KV_TOOLS_KV_PACK_STUB_DISCOVERY_H_
#define KV_TOOLS_KV_PACK_STUB_DISCOVERY_H_

#include <string>
#include <vector>

#include "formats/arch.h"

/// Where arch's shipped bootstrap (keyed: its keyed one) lies relative to
/// kv-pack's own directory, in the order tried: installed, then in a build
/// tree, then the build tree's host-built bootstrap, whose machine decides.
std::vector<std::string> stubsBesidePack(const Arch& arch, bool keyed);

/// The bootstrap kv-pack takes when none is named: the first of the places
/// beside packDir (kv-pack's own directory, ending in "/") that holds a
/// program for arch. A file that cannot be read as a stub is taken, so that
/// the check of the bootstrap says what is wrong with it. "" when there is
/// none, with *tried naming the places looked at ("A or B or C").
std::string findDefaultBootstrap(const Arch& arch, bool keyed, const std::string& packDir,
                                 std::string* tried);

#endif  // KV_TOOLS_KV_PACK_STUB_DISCOVERY_H_
