// Checks, while the bootstrap is built, the agent URL and key the build puts
// in its record, as kv-pack checks what a vendor gives it for a package.
//
// usage: kv-check-build-settings --agent-url URL [--agent-key KEY]

#include <cstdio>
#include <cstring>
#include <string>

#include "formats/minisig.h"
#include "tools/kv-pack/agent_settings.h"

int main(int argc, char** argv) {
  std::string err;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--agent-url") == 0 && readAgentUrlOption(argv[i + 1], &err).empty()) {
      fprintf(stderr, "KV_AGENT_BASE_URL: %s\n", err.c_str());
      return 1;
    }
    if (strcmp(argv[i], "--agent-key") != 0) continue;
    MinisignPublicKey key;
    if (readAgentKeyOption(argv[i + 1], &err).empty() ||
        !parseMinisignPublicKey(argv[i + 1], &key, &err)) {
      fprintf(stderr, "KV_AGENT_PUBLIC_KEY: %s\n", err.c_str());
      return 1;
    }
    printf("Downloaded install agents must be signed with minisign key %s\n",
           keyIdText(key.keyId).c_str());
  }
  return 0;
}
