// Conversions between the UTF-16 paths the decoder takes and the byte paths
// of POSIX systems.  Bytes that are not valid UTF-8 travel as the lone low
// surrogates U+DC80..U+DCFF and come back unchanged, so every file name
// survives the round trip.
#pragma once

#include <string>

namespace tamsorel {

std::u16string PathToUtf16(const std::string& bytes);
std::string PathFromUtf16(const char16_t* path);

}  // namespace tamsorel
