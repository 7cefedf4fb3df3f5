#include "thumbnailer/input_location.h"

#include <cctype>

namespace tamsorel::thumbnailer {

namespace {

bool IsAsciiAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
  std::size_t i = 0;
  for (; i < a.size() && b[i]; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return i == a.size() && !b[i];
}

// Length of the scheme at the start of `text` ("file" in "file:..."), or 0
// when it does not start with one followed by ':'.
std::size_t SchemeLength(const std::string& text) {
  if (text.empty() || !IsAsciiAlpha(text[0])) return 0;
  std::size_t i = 1;
  while (i < text.size() && (IsAsciiAlpha(text[i]) || std::isdigit(static_cast<unsigned char>(text[i])) ||
                             text[i] == '+' || text[i] == '-' || text[i] == '.'))
    ++i;
  return i < text.size() && text[i] == ':' ? i : 0;
}

}  // namespace

bool LocalPathFromArgument(const std::string& argument, std::string* path, std::string* error) {
  const std::size_t schemeLength = SchemeLength(argument);
  const std::string scheme = argument.substr(0, schemeLength);
  const bool isFile = schemeLength > 0 && EqualsIgnoringCase(scheme, "file");
  const bool hierarchical = schemeLength > 0 && argument.compare(schemeLength + 1, 2, "//") == 0;
  if (!isFile && !hierarchical) {
    *path = argument;
    return true;
  }
  if (!isFile) {
    *error = "only local files (file:// URIs) can be read, not " + scheme + ": URIs";
    return false;
  }

  std::size_t at = schemeLength + 1;
  if (hierarchical) {
    const std::size_t hostEnd = argument.find('/', at + 2);
    const std::string host =
        argument.substr(at + 2, hostEnd == std::string::npos ? std::string::npos : hostEnd - at - 2);
    if (!host.empty() && !EqualsIgnoringCase(host, "localhost")) {
      *error = "the URI names the host \"" + host + "\"; only local files can be read";
      return false;
    }
    if (hostEnd == std::string::npos) {
      *error = "the URI has no path";
      return false;
    }
    at = hostEnd;
  }
  if (at >= argument.size() || argument[at] != '/') {
    *error = "the URI has no absolute path";
    return false;
  }

  std::string decoded;
  for (std::size_t i = at; i < argument.size(); ++i) {
    const char c = argument[i];
    if (c == '?' || c == '#') {
      *error = "the URI has a query or fragment; a file URI names a file only";
      return false;
    }
    if (c != '%') {
      decoded += c;
      continue;
    }
    const int high = i + 2 < argument.size() ? HexValue(argument[i + 1]) : -1;
    const int low = high >= 0 ? HexValue(argument[i + 2]) : -1;
    if (low < 0) {
      *error = "the URI has a malformed percent-escape at \"" + argument.substr(i, 3) + "\"";
      return false;
    }
    if (high == 0 && low == 0) {
      *error = "the URI contains an escaped NUL byte (%00)";
      return false;
    }
    decoded += static_cast<char>(high * 16 + low);
    i += 2;
  }
  *path = decoded;
  return true;
}

}  // namespace tamsorel::thumbnailer
