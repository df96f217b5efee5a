#include "agent/agent_settings.h"

#include <string>

#include "agent/agent_url.h"
#include "agent/signature_check.h"
#include "bootstrap/stub_record.h"

namespace {

bool refuse(const std::string& what, const std::string& why, ReportFn report) {
  report("This installer is damaged: its " + what + " " + why +
             ". Download it again, or ask its vendor for a new copy.",
         true);
  return false;
}

}  // namespace

bool loadAgentSettings(ReportFn report) {
  std::string url, key, why;
  if (!slotValue(ownAgentBaseUrlSlot(), &url)) return refuse("agent URL", "has no end", report);
  if (!checkAgentBaseUrl(url, &why)) return refuse("agent URL", why, report);
  if (!slotValue(ownAgentKeySlot(), &key)) return refuse("agent key", "has no end", report);
  if (!useAgentKey(key, &why)) return refuse("agent key", why, report);
  return true;
}
