#ifndef KV_TOOLS_KV_PACK_PRINTABLE_H_
#define KV_TOOLS_KV_PACK_PRINTABLE_H_

#include <string>

/// The text with line breaks and other control bytes written as "\n", "\r"
/// and "\xNN", so that a path or a name read from a file prints as one line
/// and sends no control sequence to the terminal.
std::string printable(const std::string& text);

#endif  // KV_TOOLS_KV_PACK_PRINTABLE_H_
