#include "agent/agent_settings.h"

#include <string>

#include "agent/agent_url.h"
#include "agent/signature_check.h"
#include "bootstrap/stub_record.h"

namespace {

// One message for every damage: the bootstrap goes in front of every
// package, so its failure texts are put together, not written out each.
bool refuse(const char* what, const char* why, ReportFn report) {
  std::string message = "This installer is damaged: its ";
  message += what;
  message += why;
  message += ". Download it again, or ask its vendor for a new copy.";
  report(message, true);
  return false;
}

}  // namespace

bool loadAgentSettings(ReportFn report) {
  const char* url = slotValue(ownAgentBaseUrlSlot(), kAgentBaseUrlSlotBytes);
  const char* problem = url == nullptr ? "has no end" : agentBaseUrlProblem(url);
  if (problem != nullptr) return refuse("agent URL ", problem, report);
  const char* key = slotValue(ownAgentKeySlot(), kAgentKeySlotBytes);
  if (key == nullptr) return refuse("agent key ", "has no end", report);
  std::string why;
  if (!useAgentKey(key, &why)) return refuse("agent key ", why.c_str(), report);
  return true;
}
