#include "formats/minisig.h"

#include <gtest/gtest.h>

#include "tests/test_util.h"

namespace {

// A signature file as minisign writes it, made afresh with the test key.
std::string realSignature() {
  ScopedTempDir tmp;
  writeFile(tmp / "file", "the signed bytes\n");
  shellOrDie("minisign -S -s " KV_TEST_KEY_DIR "/agent.key -m " + (tmp / "file") +
             " -t 'version 7' >/dev/null");
  return readFile(tmp / "file.minisig");
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  return result;
}

std::string join(const std::vector<std::string>& parts) {
  std::string text;
  for (const std::string& part : parts) text += part + "\n";
  return text;
}

}  // namespace

TEST(MinisigTest, EveryTruncationFailsButTheLastLineFeed) {
  const std::string text = realSignature();
  MinisignSignature signature;
  std::string why;
  for (size_t length = 0; length < text.size() - 1; ++length)
    EXPECT_FALSE(parseMinisignSignature(text.substr(0, length), &signature, &why)) << length;
  EXPECT_TRUE(parseMinisignSignature(text.substr(0, text.size() - 1), &signature, &why)) << why;
}

TEST(MinisigTest, RejectsAnythingButTheExactForm) {
  const std::vector<std::string> good = lines(realSignature());
  ASSERT_EQ(4u, good.size());
  auto with = [&](size_t index, const std::string& line) {
    std::vector<std::string> changed = good;
    changed[index] = line;
    return join(changed);
  };
  // The last digit before "==" carries 2 bits of the last byte and 4 that must be zero.
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string nonCanonical = good[3];
  char& lastDigit = nonCanonical[nonCanonical.size() - 3];
  lastDigit = alphabet[alphabet.find(lastDigit) | 1];
  struct {
    std::string text;
    bool ok;
    std::string why;
  } cases[] = {
      {join(good), true, ""},
      {join(good) + "\n", false, "the signature file has 5 lines instead of 4"},
      {with(0, "untrusted comment:"), false, "line 1 of the signature file is not an untrusted comment"},
      {with(0, "untrusted comment: " + std::string(kMaxCommentBytes, 'x')), true, ""},
      {with(0, "untrusted comment: " + std::string(kMaxCommentBytes + 1, 'x')), false,
       "line 1 of the signature file is not an untrusted comment"},
      {with(1, good[1] + "\r"), false, "line 2 of the signature file is not a signature"},
      {with(1, good[1].substr(0, 96)), false, "line 2 of the signature file is not a signature"},
      {with(1, "=" + good[1].substr(1)), false, "line 2 of the signature file is not a signature"},
      {with(2, "trusted_comment: version 7"), false, "line 3 of the signature file is not a trusted comment"},
      {with(2, "trusted comment: version 7\r"), false, "line 3 of the signature file is not a trusted comment"},
      {with(2, std::string("trusted comment: a\0b", 20)), false,
       "line 3 of the signature file is not a trusted comment"},
      {with(3, good[3] + "=="), false, "line 4 of the signature file is not a signature"},
      {with(3, nonCanonical), false, "line 4 of the signature file is not a signature"},
      {std::string(kMaxSignatureFileBytes + 1, '\n'), false, "the signature file is longer than"},
  };
  for (const auto& c : cases) {
    MinisignSignature signature;
    std::string why;
    EXPECT_EQ(c.ok, parseMinisignSignature(c.text, &signature, &why)) << c.text;
    EXPECT_EQ(0u, why.find(c.why)) << why << "\n" << c.text;
  }
}
