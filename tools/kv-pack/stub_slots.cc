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

bool readSmallFile(const std::string& path, std::string* text, std::string* err) {
  UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) {
    *err = errnoText("--agent-key " + path + ": cannot read it");
    return false;
  }
  char buffer[kMaxKeyFileBytes + 1];
  size_t got = 0;
  for (ssize_t n; got < sizeof buffer && (n = read(fd.get(), buffer + got, sizeof buffer - got)) != 0;) {
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *err = errnoText("--agent-key " + path + ": cannot read it");
      return false;
    }
    got += static_cast<size_t>(n);
  }
  text->assign(buffer, got);
  return true;
}

}  // namespace

bool readAgentUrlOption(const std::string& text, std::string* url, std::string* err) {
  std::string base = text;
  while (!base.empty() && base.back() == '/') base.pop_back();
  const char* problem = agentBaseUrlProblem(base.c_str());
  if (problem == nullptr && urlHost(base).empty()) problem = "has no host";
  if (problem != nullptr) {
    *err = "--agent-url \"" + text + "\" " + problem + " (it takes http:// or https:// and a host)";
    return false;
  }
  if (base.size() >= kAgentBaseUrlSlotBytes) {
    *err = "--agent-url is " + std::to_string(base.size()) + " bytes long; the stub has room for " +
           std::to_string(kAgentBaseUrlSlotBytes - 1);
    return false;
  }
  *url = base;
  return true;
}

bool readAgentKeyOption(const std::string& text, std::string* keyLine, std::string* err) {
  MinisignPublicKey key;
  std::string why;
  // A key line names no file: what is not there is taken as one.
  if (access(text.c_str(), F_OK) != 0 && text.size() == kKeyLineLength) {
    if (!parseMinisignPublicKey(text, &key, &why)) {
      *err = "--agent-key " + text + ": " + why;
      return false;
    }
    *keyLine = key.line;
    return true;
  }
  std::string contents;
  if (!readSmallFile(text, &contents, err)) return false;
  if (contents.size() > kMaxKeyFileBytes || !parseMinisignPublicKey(contents, &key, &why)) {
    *err = "--agent-key " + text + ": " +
           (contents.size() > kMaxKeyFileBytes ? "it is far longer than a minisign.pub file" : why);
    return false;
  }
  *keyLine = key.line;
  return true;
}

bool checkStubTakesSettings(const StubRecord& record, const std::string& path,
                            const std::string& agentUrl, const std::string& agentKey,
                            std::string* err) {
  if ((!agentUrl.empty() || !agentKey.empty()) && !record.hasSlots()) {
    *err = "bootstrap " + path + " has no room for --agent-url or --agent-key (its record is format " +
           std::to_string(record.format) + "); use a stub of this kv-pack's release";
    return false;
  }
  if (!agentKey.empty() && !record.checksSignatures()) {
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
