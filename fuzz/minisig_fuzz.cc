// Feeds parseMinisignSignature arbitrary signature files. Whatever it accepts
// must be the one canonical text of what it read: written out again, field by
// field, with an encoder of this file's own, it gives back the input.

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/minisig.h"
#include "fuzz/fuzz_check.h"

namespace {

std::string encodeBase64(const uint8_t* bytes, size_t size) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string text;
  for (size_t at = 0; at < size; at += 3) {
    const size_t left = size - at;
    uint32_t group = static_cast<uint32_t>(bytes[at]) << 16;
    if (left > 1) group |= static_cast<uint32_t>(bytes[at + 1]) << 8;
    if (left > 2) group |= bytes[at + 2];
    text += kAlphabet[(group >> 18) & 63];
    text += kAlphabet[(group >> 12) & 63];
    text += left > 1 ? kAlphabet[(group >> 6) & 63] : '=';
    text += left > 2 ? kAlphabet[group & 63] : '=';
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // decodeBase64 alone: every text it accepts is the one encoding of what it gave.
  std::string bytes;
  if (decodeBase64(text, &bytes))
    FUZZ_CHECK(encodeBase64(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()) == text);

  MinisignSignature signature;
  std::string why;
  const bool parsed = parseMinisignSignature(text, &signature, &why);
  FUZZ_CHECK(parsed == why.empty());
  if (!parsed) return 0;

  FUZZ_CHECK(text.size() <= kMaxSignatureFileBytes);
  FUZZ_CHECK(signature.trustedComment.size() <= kMaxCommentBytes);
  std::string line2(signature.algorithm.begin(), signature.algorithm.end());
  line2.append(signature.keyId.begin(), signature.keyId.end());
  line2.append(signature.signature.begin(), signature.signature.end());
  const size_t untrustedEnd = text.find('\n');
  FUZZ_CHECK(untrustedEnd != std::string::npos);
  std::string rebuilt = text.substr(0, untrustedEnd + 1);
  rebuilt += encodeBase64(reinterpret_cast<const uint8_t*>(line2.data()), line2.size()) + "\n";
  rebuilt += "trusted comment: " + signature.trustedComment + "\n";
  rebuilt += encodeBase64(signature.globalSignature.data(), signature.globalSignature.size());
  if (text.back() == '\n') rebuilt += "\n";
  FUZZ_CHECK(rebuilt == text);
  return 0;
}
