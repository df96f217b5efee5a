// Quotes arbitrary texts and reads each result back the way sh reads one word
// of a command line; the word must be exactly the text that was quoted.
//
// The reader knows only the forms a shell word may safely take here: plain
// bytes unquoted, double quotes around plain bytes, blanks and tabs, single
// quotes around anything but a single quote, and \' between quoted parts.
// Whatever else it meets (a space outside quotes, a '$' in double quotes, an
// unterminated quote...) it rejects, so a new form has to be taught to it
// rather than silently accepted.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "os/shell.h"

namespace {

// Bytes that mean nothing to sh anywhere in a word: no expansion, no
// splitting, no globbing, no redirection, no comment.
bool isPlainByte(unsigned char c) {
  if (c >= 0x80) return true;
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return c != '\0' && strchr("_-./:,+=@%", c) != nullptr;
}

bool isBlank(unsigned char c) { return c == ' ' || c == '\t'; }

bool isPlain(const std::string& text) {
  for (unsigned char c : text)
    if (!isPlainByte(c)) return false;
  return true;
}

// Reads word as one sh word into *text; false when the word holds anything
// the reader does not understand, or is no word at all.
bool readShellWord(const std::string& word, std::string* text) {
  text->clear();
  size_t i = 0;
  while (i < word.size()) {
    const unsigned char c = word[i];
    if (c == '\'') {
      const size_t close = word.find('\'', i + 1);
      if (close == std::string::npos) return false;
      text->append(word, i + 1, close - i - 1);
      i = close + 1;
    } else if (c == '"') {
      size_t j = i + 1;
      while (j < word.size() && word[j] != '"') {
        const unsigned char inner = word[j];
        if (!isPlainByte(inner) && !isBlank(inner)) return false;
        text->push_back(static_cast<char>(inner));
        ++j;
      }
      if (j == word.size()) return false;
      i = j + 1;
    } else if (c == '\\') {
      if (i + 1 >= word.size() || word[i + 1] != '\'') return false;
      text->push_back('\'');
      i += 2;
    } else if (isPlainByte(c)) {
      text->push_back(static_cast<char>(c));
      ++i;
    } else {
      return false;
    }
  }
  // An empty string on a command line is no word at all: the argument would vanish.
  return !word.empty();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // Arguments come from argv and the command line goes to the shell as a C
  // string: neither can hold a NUL byte.
  if (text.find('\0') != std::string::npos) return 0;

  const std::string word = quoteIfNeeded(text);
  FUZZ_CHECK(word.find('\0') == std::string::npos);
  std::string read;
  FUZZ_CHECK(readShellWord(word, &read));
  FUZZ_CHECK(read == text);
  if (!text.empty() && isPlain(text)) FUZZ_CHECK(word == text);
  return 0;
}
