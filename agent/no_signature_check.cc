// The small bootstrap has no signature code: it takes no key, and so never
// has one to check an agent with.
#include "agent/signature_check.h"

#include <cstring>

#include "bootstrap/stub_record.h"

bool useAgentKey(const char* keyLine, std::string* why) {
  if (strcmp(keyLine, kNoAgentKey) == 0) return true;
  *why = "is set, but this bootstrap cannot check signatures";
  return false;
}

const char* agentKeyId() { return ""; }

bool verifyAgentArchive(const CurlLibrary&, CURL*, const std::string&, const std::string&,
                        const std::string&, ReportFn) {
  return true;
}
