#include "formats/minisig.h"

#include <cstring>
#include <ctime>
#include <vector>

namespace {

const char kUntrustedPrefix[] = "untrusted comment: ";
const char kTrustedPrefix[] = "trusted comment: ";
const size_t kSignatureLineBytes = 2 + 8 + 64;
const size_t kGlobalLineBytes = 64;
const size_t kPublicKeyLineBytes = 2 + 8 + 32;
// Far more digits than a signing time needs, and few enough for int64_t.
const size_t kMaxSecondsDigits = 18;

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Splits at line feeds; a final line feed ends the last line rather than
// starting an empty one.
std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

bool readComment(const std::string& line, const char* prefix, std::string* comment) {
  const size_t prefixLength = strlen(prefix);
  if (line.compare(0, prefixLength, prefix) != 0) return false;
  *comment = line.substr(prefixLength);
  return comment->size() <= kMaxCommentBytes && comment->find('\0') == std::string::npos &&
         comment->find('\r') == std::string::npos;
}

// A base64 line that must decode to exactly `size` bytes.
bool readBase64Line(const std::string& line, size_t size, std::string* bytes) {
  return line.size() == (size + 2) / 3 * 4 && decodeBase64(line, bytes) && bytes->size() == size;
}

template <size_t N>
void copyBytes(const std::string& from, size_t offset, std::array<uint8_t, N>* to) {
  memcpy(to->data(), from.data() + offset, N);
}

}  // namespace

bool decodeBase64(const std::string& text, std::string* bytes) {
  bytes->clear();
  if (text.size() % 4 != 0) return false;
  for (size_t at = 0; at < text.size(); at += 4) {
    const bool last = at + 4 == text.size();
    size_t padding = 0;
    if (last && text[at + 3] == '=') padding = text[at + 2] == '=' ? 2 : 1;
    uint32_t group = 0;
    for (size_t i = 0; i < 4; ++i) {
      int value = 0;
      if (i < 4 - padding) {
        value = base64Value(text[at + i]);
        if (value < 0) return false;
      }
      group = (group << 6) | static_cast<uint32_t>(value);
    }
    // The bits that padding leaves over must be zero, so that every byte
    // string has one encoding only.
    if ((padding == 1 && (group & 0xff) != 0) || (padding == 2 && (group & 0xffff) != 0))
      return false;
    bytes->push_back(static_cast<char>(group >> 16));
    if (padding < 2) bytes->push_back(static_cast<char>((group >> 8) & 0xff));
    if (padding < 1) bytes->push_back(static_cast<char>(group & 0xff));
  }
  return true;
}

bool parseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* why) {
  if (text.size() > kMaxSignatureFileBytes) {
    *why = "the signature file is longer than " + std::to_string(kMaxSignatureFileBytes) +
           " bytes";
    return false;
  }
  const std::vector<std::string> lines = splitLines(text);
  if (lines.size() != 4) {
    *why = "the signature file has " + std::to_string(lines.size()) + " lines instead of 4";
    return false;
  }
  std::string untrusted;
  if (!readComment(lines[0], kUntrustedPrefix, &untrusted)) {
    *why = "line 1 of the signature file is not an untrusted comment";
    return false;
  }
  std::string bytes;
  if (!readBase64Line(lines[1], kSignatureLineBytes, &bytes)) {
    *why = "line 2 of the signature file is not a signature";
    return false;
  }
  copyBytes(bytes, 0, &signature->algorithm);
  copyBytes(bytes, 2, &signature->keyId);
  copyBytes(bytes, 10, &signature->signature);
  if (!readComment(lines[2], kTrustedPrefix, &signature->trustedComment)) {
    *why = "line 3 of the signature file is not a trusted comment";
    return false;
  }
  if (!readBase64Line(lines[3], kGlobalLineBytes, &bytes)) {
    *why = "line 4 of the signature file is not a signature";
    return false;
  }
  copyBytes(bytes, 0, &signature->globalSignature);
  return true;
}

bool parseMinisignPublicKey(const std::string& text, MinisignPublicKey* key, std::string* why) {
  std::vector<std::string> lines = splitLines(text);
  std::string comment;
  if (lines.size() == 2 && readComment(lines[0], kUntrustedPrefix, &comment)) lines.erase(lines.begin());
  std::string bytes;
  if (lines.size() != 1 || !readBase64Line(lines[0], kPublicKeyLineBytes, &bytes)) {
    *why = "it is neither a minisign.pub file nor its key line (56 base64 characters, starting with RW)";
    return false;
  }
  // "Ed": minisign's only public key algorithm, Ed25519.
  if (bytes.compare(0, 2, "Ed") != 0) {
    *why = "its key is not an Ed25519 key (a minisign key line starts with RW)";
    return false;
  }
  key->line = lines[0];
  copyBytes(bytes, 2, &key->keyId);
  copyBytes(bytes, 10, &key->key);
  return true;
}

std::string keyIdText(const std::array<uint8_t, 8>& keyId) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = keyId.size(); i-- > 0;) {
    hex += kDigits[keyId[i] >> 4];
    hex += kDigits[keyId[i] & 0xf];
  }
  return hex;
}

std::optional<int64_t> parseSeconds(std::string_view text) {
  if (text.empty() || text.size() > kMaxSecondsDigits) return std::nullopt;
  int64_t seconds = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    seconds = seconds * 10 + (c - '0');
  }
  return seconds;
}

std::optional<int64_t> signingTimeIn(const std::string& trustedComment) {
  static const std::string kPrefix = "timestamp:";
  if (trustedComment.compare(0, kPrefix.size(), kPrefix) != 0) return std::nullopt;
  const size_t end = trustedComment.find('\t', kPrefix.size());
  return parseSeconds(std::string_view(trustedComment).substr(
      kPrefix.size(), end == std::string::npos ? std::string::npos : end - kPrefix.size()));
}

std::string utcTimeText(int64_t seconds) {
  const auto time = static_cast<time_t>(seconds);
  struct tm parts {};
  char text[64];
  if (gmtime_r(&time, &parts) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts) == 0)
    return std::to_string(seconds) + " seconds after 1970 UTC";
  return text;
}
