// A sprite file on disk as a ByteSource: POSIX pread (posix_file_source.cpp)
// or Win32 ReadFile at an offset (win32_file_source.cpp).  The file is
// opened for reading and shared for reading only; whatever is not a regular
// file (directory, device, pipe) is refused, so no read can block or run on
// forever.
#pragma once

#include <memory>
#include <string>

#include "sprite/byte_source.h"

namespace tamsorel {

// Opens `path` (UTF-16).  Null with the reason in words in `*problem`
// ("no such file", "permission denied", "not a regular file" for
// directories, devices and pipes, ...).
std::unique_ptr<ByteSource> OpenFileSource(const std::u16string& path, std::string* problem);

}  // namespace tamsorel
