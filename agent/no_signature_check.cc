// The small bootstrap has no signature code: it takes no key, and so never
// has one to check an agent with.
#include "agent/signature_check.h"

#include <cstring>

#include "formats/stub_record.h"

bool readAgentKeySlot(const char* keyLine, std::vector<MinisignPublicKey>*, std::string* why) {
  if (strcmp(keyLine, kNoAgentKey) == 0) return true;
  *why = "is set, but this bootstrap cannot check signatures";
  return false;
}

bool readAgentNotBeforeSlot(const char*, std::optional<int64_t>*) { return true; }

bool verifyAgentArchive(const CurlLibrary&, CURL*, const AgentConfig&, const std::string&, ReportFn) {
  return true;
}

bool cachedAgentMeetsFloor(const AgentConfig&) { return true; }
