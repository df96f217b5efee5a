#include "tools/kv-pack/stub_slots.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "agent/agent_url.h"
#include "agent/minisig.h"
#include "bootstrap/stub_record.h"
#include "tools/kv-pack/file_io.h"

namespace {

// A file of a few lines at most: minisign.pub is two.
constexpr size_t kMaxKeyFileBytes = 4096;
// The base64 line of a minisign public key.
constexpr size_t kKeyLineLength = 56;

// The key file, or its start when it is longer than kMaxKeyFileBytes; *err
// says why when it cannot be read.
std::string readKeyFile(const std::string& path, std::string* err) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  std::string text;
  char buffer[kMaxKeyFileBytes + 1];
  ssize_t n = 0;
  while (fd.valid() && text.size() <= kMaxKeyFileBytes && (n = read(fd.get(), buffer, sizeof buffer)) != 0) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  if (!fd.valid() || n < 0) {
    *err = errnoText("--agent-key " + path + ": cannot read it");
    return "";
  }
  return text;
}

}  // namespace

std::string readAgentUrlOption(const std::string& text, std::string* err) {
  std::string base = text;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const char* problem = agentBaseUrlProblem(base.c_str());
  if (problem == nullptr && urlHost(base).empty()) problem = "has no host";
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

bool checkStubTakesSettings(const StubRecord& record, const PackOptions& options,
                            std::string* err) {
  const std::string& path = options.bootstrap;
  if ((!options.agentUrl.empty() || !options.agentKey.empty()) && !record.hasSlots()) {
    *err = "bootstrap " + path + " has no room for --agent-url or --agent-key (its record is format " +
           std::to_string(record.format) + "); use a stub of this kv-pack's release";
    return false;
  }
  if (!options.agentKey.empty() && !record.checksSignatures()) {
    *err = "bootstrap " + path +
           " cannot check signatures, which --agent-key needs; use the keyed stub (kv-bootstrap-keyed)";
    return false;
  }
  return true;
}

bool checkAgentReachable(const std::string& agentBaseUrl, std::string* err) {
  if (!isReservedInvalidHost(urlHost(agentBaseUrl))) return true;
  *err = "the package carries no agent and would download it from " + agentBaseUrl +
         ", which never resolves; give --agent ZIP to carry one, or --agent-url URL to name your agent server";
  return false;
}

bool writeSlot(int fd, const StubSlot& slot, const std::string& value, std::string* err) {
  std::string room = value;
  room.resize(slot.bytes, '\0');
  const auto offset = static_cast<off_t>(slot.offset);
  size_t done = 0;
  while (done < room.size()) {
    const ssize_t n = pwrite(fd, room.data() + done, room.size() - done, offset + static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *err = errnoText("cannot write the agent settings into the package");
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}
