// The small bootstrap has no signature code: it takes no key, and so never
// has one to check an agent with.
#include "agent/signature_check.h"

#include "bootstrap/stub_record.h"

bool useAgentKey(const std::string& keyLine, std::string* why) {
  if (keyLine == kNoAgentKey) return true;
  *why = "is set, but this bootstrap cannot check signatures";
  return false;
}

const std::string& agentKeyId() {
  static const std::string kNone;
  return kNone;
}

bool verifyAgentArchive(const CurlLibrary&, CURL*, const std::string&, const std::string&,
                        const std::string&, ReportFn) {
  return true;
}
