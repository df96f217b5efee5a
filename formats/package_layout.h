#ifndef KV_FORMATS_PACKAGE_LAYOUT_H_
#define KV_FORMATS_PACKAGE_LAYOUT_H_

#include <string>

// The members of a package's archive that the bootstrap relies on, all at its
// top level. kv-pack writes them from this same definition.

/// The application's bundle, handed unread to the install agent. Required.
inline constexpr char kBundleName[] = "bundle.zip";

/// An install agent carried in the package.
inline constexpr char kAgentZipName[] = "InstallAgent.zip";

/// True for "InstallAgent_<anything>.zip", an agent carried under a versioned
/// name; only considered when there is no kAgentZipName.
inline bool isVersionedAgentName(const std::string& name) {
  constexpr char prefix[] = "InstallAgent_";
  constexpr char suffix[] = ".zip";
  constexpr size_t prefixLength = sizeof prefix - 1;
  constexpr size_t suffixLength = sizeof suffix - 1;
  return name.size() >= prefixLength + suffixLength &&
         name.compare(0, prefixLength, prefix) == 0 &&
         name.compare(name.size() - suffixLength, suffixLength, suffix) == 0;
}

#endif  // KV_FORMATS_PACKAGE_LAYOUT_H_
