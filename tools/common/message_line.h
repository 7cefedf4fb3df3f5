// One message, one line: the tools' failure messages name files and URIs
// that may hold control characters (a newline from "%0A", an escape
// sequence), which would otherwise split the message into lines that read
// like other messages, or drive the terminal.  Header only: shared by the
// Linux and Windows builds of the tools.
#pragma once

#include <string>

namespace tamsorel {

// `text` with each control character (below 0x20, and 0x7F) written as
// \xNN; everything else, UTF-8 included, as it is.
inline std::string OneLine(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string shown;
  shown.reserve(text.size());
  for (const char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      shown += "\\x";
      shown += kHex[u >> 4];
      shown += kHex[u & 0xF];
    } else {
      shown += c;
    }
  }
  return shown;
}

}  // namespace tamsorel
