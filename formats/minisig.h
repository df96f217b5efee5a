#ifndef KV_FORMATS_MINISIG_H_
#define KV_FORMATS_MINISIG_H_

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

/// The longest comment text (after "untrusted comment: " or "trusted
/// comment: ") a signature file may carry, in bytes.
constexpr size_t kMaxCommentBytes = 1024;

/// The longest signature file taken from a server: four lines at their limits.
constexpr size_t kMaxSignatureFileBytes = 2 * (kMaxCommentBytes + 32) + 100 + 88 + 4;

/// One signature file, as `minisign -S` writes it:
///   untrusted comment: <text>
///   base64(algorithm[2] keyId[8] signature[64])
///   trusted comment: <text>
///   base64(globalSignature[64])
/// The global signature covers signature followed by the trusted comment text.
struct MinisignSignature {
  std::array<uint8_t, 2> algorithm{};  ///< "ED": over the BLAKE2b-512 hash; "Ed": over the file
  std::array<uint8_t, 8> keyId{};
  std::array<uint8_t, 64> signature{};
  std::string trustedComment;          ///< the text after "trusted comment: "
  std::array<uint8_t, 64> globalSignature{};
};

/// Reads a signature file: exactly the four lines above, each ended by a line
/// feed (the last one may lack it), comments of at most kMaxCommentBytes
/// without NUL or carriage return, base64 lines of exact length in canonical
/// form. The algorithm is not judged here. False with *why when it does not parse.
bool parseMinisignSignature(const std::string& text, MinisignSignature* signature,
                            std::string* why);

/// A minisign public key: the second line of minisign.pub.
struct MinisignPublicKey {
  std::string line;                 ///< the 56 base64 characters
  std::array<uint8_t, 8> keyId{};
  std::array<uint8_t, 32> key{};    ///< Ed25519
};

/// Reads a public key from a whole minisign.pub (an "untrusted comment: "
/// line, then the key line) or from the key line alone, a final line feed
/// allowed either way: 56 base64 characters that decode to "Ed", the key id
/// and the Ed25519 key. False with *why when it is not one.
bool parseMinisignPublicKey(const std::string& text, MinisignPublicKey* key, std::string* why);

/// A key id as minisign prints it: 16 upper-case hex digits, last byte first.
std::string keyIdText(const std::array<uint8_t, 8>& keyId);

/// Seconds since 1970 written as 1 to 18 decimal digits, as minisign writes a
/// signing time and kv-pack a floor; nullopt for any other text.
std::optional<int64_t> parseSeconds(std::string_view text);

/// The signing time in a trusted comment, in seconds since 1970: minisign
/// starts the comment with "timestamp:<seconds>" unless told otherwise, and
/// the global signature covers it. nullopt when the comment starts otherwise.
std::optional<int64_t> signingTimeIn(const std::string& trustedComment);

/// How far after a machine's clock a signing time may lie: a clock a little
/// wrong, or a time zone taken for UTC, must not refuse a genuine agent.
inline constexpr int64_t kSigningClockAllowanceSeconds = 24 * 60 * 60;

/// A signing time as messages show it: "2026-12-08 14:32:43 UTC".
std::string utcTimeText(int64_t seconds);

/// Strict standard base64: padded to a multiple of four, no other bytes, unused
/// bits zero. False when text is not such an encoding.
bool decodeBase64(const std::string& text, std::string* bytes);

#endif  // KV_FORMATS_MINISIG_H_
