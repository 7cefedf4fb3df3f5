#include "platform/path_text.h"

#include <cstdint>

namespace tamsorel {

namespace {

void AppendUtf8(std::string& out, uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at s[i] and its code point, or 0.
std::size_t DecodeUtf8(const std::string& s, std::size_t i, uint32_t* code) {
  const auto b = [&](std::size_t k) { return static_cast<uint8_t>(s[k]); };
  const uint8_t lead = b(i);
  std::size_t length;
  uint32_t c, minimum;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, c = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, c = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, c = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (i + length > s.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b(i + k) & 0x3F);
  }
  if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
  *code = c;
  return length;
}

}  // namespace

std::u16string PathToUtf16(const std::string& bytes) {
  std::u16string out;
  for (std::size_t i = 0; i < bytes.size();) {
    uint32_t c = 0;
    const std::size_t length = DecodeUtf8(bytes, i, &c);
    if (length == 0) {
      out += static_cast<char16_t>(0xDC00 | static_cast<uint8_t>(bytes[i]));
      ++i;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 | (c >> 10));
      out += static_cast<char16_t>(0xDC00 | (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += length;
  }
  return out;
}

std::string PathFromUtf16(const char16_t* path) {
  std::size_t units = 0;
  while (path[units] != u'\0') ++units;
  std::string out;
  out.reserve(units);  // exact for ASCII paths; longer ones grow as needed
  for (std::size_t i = 0; path[i] != u'\0'; ++i) {
    const uint32_t c = path[i];
    if (c >= 0xD800 && c <= 0xDBFF && path[i + 1] >= 0xDC00 && path[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((c - 0xD800) << 10) + (path[i + 1] - 0xDC00));
      ++i;
    } else if (c >= 0xDC80 && c <= 0xDCFF) {
      out += static_cast<char>(c & 0xFF);  // a byte that was not UTF-8
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      AppendUtf8(out, 0xFFFD);
    } else {
      AppendUtf8(out, c);
    }
  }
  return out;
}

}  // namespace tamsorel
