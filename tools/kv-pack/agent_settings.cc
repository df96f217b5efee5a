#include "tools/kv-pack/agent_settings.h"

#include <unistd.h>

#include <cstdio>
#include <ctime>

#include "formats/agent_url.h"
#include "formats/minisig.h"
#include "formats/stub_record.h"
#include "os/file_descriptor.h"
#include "tools/kv-pack/file_io.h"
#include "tools/kv-pack/printable.h"

namespace {

// A file of a few lines at most: minisign.pub is two.
constexpr size_t kMaxKeyFileBytes = 4096;
// The base64 line of a minisign public key.
constexpr size_t kKeyLineLength = 56;

// The key file, or its start when it is longer than kMaxKeyFileBytes; *err
// says why when it cannot be read.
std::string readKeyFile(const std::string& path, std::string* err) {
  std::string text;
  if (!readFileStart(path, kMaxKeyFileBytes + 1, &text))
    *err = errnoText("--agent-key " + path + ": cannot read it");
  return text;
}

}  // namespace

std::string readAgentUrlOption(const std::string& text, std::string* err) {
  std::string base = withoutTrailingSlashes(text);
  const char* problem = agentBaseUrlProblem(base.c_str());
  if (problem == nullptr && parseUrl(base).host.empty()) problem = "has no host";
  // The agent's file name goes at the end of the base: after a query or a
  // fragment it would never reach the server's path.
  if (problem == nullptr && base.find_first_of("?#") != std::string::npos)
    problem = "has a query or a fragment (? or #), which the agent's file name would follow";
  if (problem != nullptr) {
    *err = "--agent-url \"" + text + "\" " + problem + " (it takes http:// or https:// and a host)";
    return "";
  }
  if (base.size() >= kAgentBaseUrlSlotBytes) {
    *err = "--agent-url is " + std::to_string(base.size()) + " bytes long; the stub has room for " +
           std::to_string(kAgentBaseUrlSlotBytes - 1);
    return "";
  }
  return base;
}

std::string readAgentKeyOption(const std::string& text, std::string* err) {
  MinisignPublicKey key;
  std::string why;
  // A key line names no file: what is not there is taken as one.
  const bool isLine = access(text.c_str(), F_OK) != 0 && text.size() == kKeyLineLength;
  const std::string contents = isLine ? text : readKeyFile(text, err);
  if (!err->empty()) return "";
  if (contents.size() > kMaxKeyFileBytes)
    why = "it is far longer than a minisign.pub file";
  else if (parseMinisignPublicKey(contents, &key, &why))
    return key.line;
  *err = "--agent-key " + text + ": " + why;
  return "";
}

std::optional<int64_t> readAgentNotBeforeOption(const std::string& text, std::string* err) {
  std::optional<int64_t> seconds = parseSeconds(text);
  if (!seconds) {
    std::string contents;
    MinisignSignature signature;
    std::string why;
    if (!readFileStart(text, kMaxSignatureFileBytes + 1, &contents)) {
      *err = errnoText("--agent-not-before " + text +
                       " is neither seconds since 1970 nor a file that can be read");
      return std::nullopt;
    }
    if (!parseMinisignSignature(contents, &signature, &why)) {
      *err = "--agent-not-before " + text + ": " + why;
      return std::nullopt;
    }
    seconds = signingTimeIn(signature.trustedComment);
    if (!seconds) {
      *err = "--agent-not-before " + text +
             ": its trusted comment starts with no timestamp (minisign -t replaced it)";
      return std::nullopt;
    }
  }
  const int64_t now = time(nullptr);
  if (*seconds > now + kSigningClockAllowanceSeconds) {
    *err = "--agent-not-before " + text + " is " + utcTimeText(*seconds) +
           ", more than a day after this machine's clock (" + utcTimeText(now) +
           "): no agent signed until then would run";
    return std::nullopt;
  }
  return seconds;
}

bool checkStubTakesSettings(const StubRecord& record, const PackOptions& options,
                            std::string* err) {
  const std::string& path = options.bootstrap;
  if ((!options.agentUrl.empty() || !options.agentKeys.empty()) && !record.hasSlots()) {
    *err = "bootstrap " + path + " has no room for --agent-url or --agent-key (its record is format " +
           std::to_string(record.format) + "); use a stub of this kv-pack's release";
    return false;
  }
  if (!options.agentKeys.empty() && !record.checksSignatures()) {
    *err = "bootstrap " + path +
           " cannot check signatures, which --agent-key needs; use the keyed stub (kv-bootstrap-keyed)";
    return false;
  }
  if ((options.agentKeys.size() > 1 && record.slot(kStubAgentSecondKeyKey) == nullptr) ||
      (options.agentNotBefore && record.slot(kStubAgentNotBeforeKey) == nullptr)) {
    *err = "bootstrap " + path +
           " has no room for a second --agent-key or --agent-not-before (it was built before "
           "them); use a stub of this kv-pack's release";
    return false;
  }
  return true;
}

bool checkAgentReachable(const std::string& agentBaseUrl, std::string* err) {
  if (!isReservedInvalidHost(lowerCase(parseUrl(agentBaseUrl).host))) return true;
  *err = "the package carries no agent and would download it from " + agentBaseUrl +
         ", which never resolves; give --agent ZIP to carry one, or --agent-url URL to name your agent server";
  return false;
}

bool writeSlot(int fd, const StubSlot& slot, const std::string& value, std::string* err) {
  std::string room = value;
  room.resize(slot.bytes, '\0');
  if (writeFullyAt(fd, slot.offset, room.data(), room.size())) return true;
  *err = errnoText("cannot write the stub record's slots into the package");
  return false;
}

void warnOfPlainHttp(const PackOptions& options) {
  const UrlParts parts = parseUrl(options.agentUrl);
  if (lowerCase(parts.scheme) != "http" || !options.agentKeys.empty()) return;
  const std::string host = lowerCase(parts.host);
  if (host == "localhost" || host == "::1" || host.compare(0, 4, "127.") == 0) return;
  fprintf(stderr,
          "kv-pack: warning: --agent-url %s is plain http: anyone on the network path can replace "
          "the agent; prefer https://, or sign agents and give --agent-key\n",
          printable(options.agentUrl).c_str());
}
