#include "agent/signature_check.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <sodium.h>

#include "agent/request.h"
#include "agent/signing_time.h"
#include "agent/transfer_failure.h"
#include "formats/minisig.h"
#include "formats/stub_record.h"
#include "os/file_descriptor.h"
#include "os/interrupt.h"
#include "os/stream_handles.h"

namespace {

static_assert(sizeof(MinisignPublicKey::key) == crypto_sign_PUBLICKEYBYTES,
              "a minisign public key is an Ed25519 key");

const char kHashedAlgorithm[] = "ED";
const char kLegacyAlgorithm[] = "Ed";

// BLAKE2b-512 of the file, read in blocks: the archive may be far larger than
// the memory a bootstrap should take.
bool hashFile(const std::string& path, std::array<uint8_t, crypto_generichash_BYTES_MAX>* hash) {
  FileHandle file(fopen(path.c_str(), "rb"));
  if (!file) return false;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, hash->size());
  std::array<unsigned char, 65536> block;
  size_t got = 0;
  while ((got = fread(block.data(), 1, block.size(), file.get())) > 0)
    crypto_generichash_update(&state, block.data(), got);
  if (ferror(file.get()) != 0) return false;
  crypto_generichash_final(&state, hash->data(), hash->size());
  return true;
}

// The file mapped whole: a legacy signature covers the bytes themselves, and
// the Ed25519 check needs them in one piece.
class MappedFile {
 public:
  explicit MappedFile(const std::string& path) {
    struct stat info {};
    const UniqueFd fd = openForReading(path, &info);
    if (!fd.valid()) return;
    size_ = static_cast<size_t>(info.st_size);
    // mmap refuses an empty range; an empty file is a valid (empty) message.
    void* data = size_ == 0 ? nullptr : mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    ok_ = size_ == 0 || data != MAP_FAILED;
    if (size_ > 0 && ok_) data_ = static_cast<const unsigned char*>(data);
  }
  ~MappedFile() {
    if (data_ != nullptr) munmap(const_cast<unsigned char*>(data_), size_);
  }
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;

  bool ok() const { return ok_; }
  const unsigned char* data() const { return data_ != nullptr ? data_ : &empty_; }
  size_t size() const { return size_; }

 private:
  const unsigned char* data_ = nullptr;
  size_t size_ = 0;
  bool ok_ = false;
  unsigned char empty_ = 0;
};

bool isAlgorithm(const MinisignSignature& signature, const char* name) {
  return memcmp(signature.algorithm.data(), name, signature.algorithm.size()) == 0;
}

bool fileSignatureMatches(const MinisignSignature& signature, const std::string& archivePath,
                          const MinisignPublicKey& key, std::string* why) {
  if (isAlgorithm(signature, kHashedAlgorithm)) {
    std::array<uint8_t, crypto_generichash_BYTES_MAX> hash{};
    if (!hashFile(archivePath, &hash)) {
      *why = "cannot read the downloaded file";
      return false;
    }
    return crypto_sign_verify_detached(signature.signature.data(), hash.data(), hash.size(),
                                       key.key.data()) == 0;
  }
  MappedFile file(archivePath);
  if (!file.ok()) {
    *why = "cannot read the downloaded file";
    return false;
  }
  return crypto_sign_verify_detached(signature.signature.data(), file.data(), file.size(),
                                     key.key.data()) == 0;
}

struct SignatureDownload {
  std::string text;
  bool tooLong = false;
};

// A try that failed leaves nothing for the next one.
void restartSignature(void* download) { *static_cast<SignatureDownload*>(download) = SignatureDownload(); }

size_t appendSignature(char* data, size_t size, size_t count, void* download) {
  auto* into = static_cast<SignatureDownload*>(download);
  const size_t length = size * count;
  if (into->text.size() + length > kMaxSignatureFileBytes) {
    into->tooLong = true;
    return 0;  // ends the transfer
  }
  into->text.append(data, length);
  return length;
}

// The key among keys that made the signature; nullptr when none did.
const MinisignPublicKey* signersKey(const MinisignSignature& signature,
                                    const std::vector<MinisignPublicKey>& keys) {
  for (const MinisignPublicKey& key : keys)
    if (key.keyId == signature.keyId) return &key;
  return nullptr;
}

// True when signature is one of the keys', over the file at archivePath and
// its own trusted comment.
bool signatureMatches(const MinisignSignature& signature, const std::string& archivePath,
                      const std::vector<MinisignPublicKey>& keys, std::string* why) {
  if (sodium_init() < 0) {
    *why = "the cryptography library cannot start";
    return false;
  }
  if (!isAlgorithm(signature, kHashedAlgorithm) && !isAlgorithm(signature, kLegacyAlgorithm)) {
    *why = "the signature's algorithm is unknown";
    return false;
  }
  const MinisignPublicKey* key = signersKey(signature, keys);
  if (key == nullptr) {
    *why = "it is signed with key " + keyIdText(signature.keyId) + ", not with key ";
    for (const MinisignPublicKey& each : keys) {
      if (&each != &keys.front()) *why += " or ";
      *why += keyIdText(each.keyId);
    }
    return false;
  }
  std::string signedComment(signature.signature.begin(), signature.signature.end());
  signedComment += signature.trustedComment;
  if (crypto_sign_verify_detached(signature.globalSignature.data(),
                                  reinterpret_cast<const unsigned char*>(signedComment.data()),
                                  signedComment.size(), key->key.data()) != 0) {
    *why = "the trusted comment does not match its signature";
    return false;
  }
  why->clear();
  if (!fileSignatureMatches(signature, archivePath, *key, why)) {
    if (why->empty()) *why = "the signature does not match the file";
    return false;
  }
  return true;
}

}  // namespace

bool readAgentKeySlot(const char* keyLine, std::vector<MinisignPublicKey>* keys, std::string* why) {
  if (strcmp(keyLine, kNoAgentKey) == 0) return true;
  MinisignPublicKey key;
  if (!parseMinisignPublicKey(keyLine, &key, why)) {
    *why = "is not a minisign public key: " + *why;
    return false;
  }
  keys->push_back(key);
  return true;
}

bool readAgentNotBeforeSlot(const char* slot, std::optional<int64_t>* notBefore) {
  const char* floor = slotValue(slot, kAgentNotBeforeSlotBytes);
  if (floor != nullptr && strcmp(floor, kNoAgentNotBefore) == 0) return true;
  *notBefore = floor != nullptr ? parseSeconds(floor) : std::nullopt;
  return notBefore->has_value();
}

bool signedForAgentUrl(const std::string& trustedComment, const std::string& agentUrl,
                       std::string* why) {
  const char* asked = agentUrl.c_str();
  for (const char* c = asked; *c != '\0'; ++c)
    if (*c == '/') asked = c + 1;
  // The comment's fields are separated by tabs; it holds no NUL.
  const char* field = trustedComment.c_str();
  while (strncmp(field, "file:", 5) != 0) {
    while (*field != '\0' && *field != '\t') ++field;
    if (*field++ == '\0') return true;
  }
  const char* name = field + 5;
  size_t length = 0;
  while (name[length] != '\0' && name[length] != '\t') ++length;
  if (strncmp(name, asked, length) == 0 && asked[length] == '\0') return true;
  why->assign("the signature names the file ").append(name, length).append(", not ").append(asked);
  return false;
}

bool checkAgentSignature(const std::string& signatureText, const std::string& archivePath,
                         const std::vector<MinisignPublicKey>& keys, MinisignSignature* signature,
                         std::string* why) {
  return parseMinisignSignature(signatureText, signature, why) &&
         signatureMatches(*signature, archivePath, keys, why);
}

bool verifyAgentArchive(const CurlLibrary& lib, CURL* curl, const AgentConfig& config,
                        const std::string& archivePath, ReportFn report) {
  if (config.keys.empty()) return true;
  const std::string& url = config.agentUrl;
  const std::string sigUrl = url + ".minisig";
  SignatureDownload download;
  CURLcode code = lib.easy_setopt(curl, CURLOPT_URL, sigUrl.c_str());
  if (code == CURLE_OK)
    code = lib.easy_setopt(curl, CURLOPT_WRITEFUNCTION,
                           static_cast<curl_write_callback>(appendSignature));
  if (code == CURLE_OK) code = lib.easy_setopt(curl, CURLOPT_WRITEDATA, static_cast<void*>(&download));
  long status = 0;
  if (code == CURLE_OK) {
    ResponseHeaders headers;
    const RequestEnd end = performRequest(lib, curl, &headers, restartSignature, &download);
    code = end.code;
    status = end.status;
  }

  std::string why;
  if (pendingInterrupt() != 0) return false;
  // An error page may be longer than any signature: its status tells more.
  if (status >= 400 && (code == CURLE_OK || code == CURLE_WRITE_ERROR)) {
    why = "no signature at " + sigUrl + " (HTTP code: " + std::to_string(status) + ")";
  } else if (download.tooLong) {
    why = "the signature file is longer than " + std::to_string(kMaxSignatureFileBytes) + " bytes";
  } else if (code != CURLE_OK) {
    why = "cannot download " + sigUrl + ": " + transferFailureReason(lib, curl, sigUrl, code);
  } else {
    MinisignSignature signature;
    if (checkAgentSignature(download.text, archivePath, config.keys, &signature, &why) &&
        signedForAgentUrl(signature.trustedComment, url, &why) &&
        acceptSigningTime(config, signingTimeIn(signature.trustedComment), time(nullptr), &why))
      return true;
  }
  report("Failed to verify the TVE Installer downloaded from " + url + ": " + why, true);
  return false;
}

bool cachedAgentMeetsFloor(const AgentConfig& config) {
  if (!config.notBefore) return true;
  const std::optional<int64_t> verified = rememberedSigningTime(config.cacheRoot);
  return verified && *verified >= *config.notBefore;
}
