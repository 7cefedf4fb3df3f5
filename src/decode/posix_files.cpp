// Files of the portable platform read through POSIX calls.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <string>

#include "decode/path_text.h"
#include "decode/portable_platform.h"

namespace tamsorel {

namespace {

struct PosixFile {
  int fd;
};

}  // namespace

DecodePlatform::FileHandle PortableDecodePlatform::OpenFile(const char16_t* path) {
  const std::string name = PathFromUtf16(path);
  int fd;
  do {
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return nullptr;
  auto* file = new (std::nothrow) PosixFile{fd};
  if (!file) {
    ::close(fd);
    return nullptr;
  }
  ++liveFiles_;
  return file;
}

bool PortableDecodePlatform::ReadFile(FileHandle handle, void* buffer, uint32_t count,
                                      uint32_t* obtained) {
  const int fd = static_cast<PosixFile*>(handle)->fd;
  auto* target = static_cast<uint8_t*>(buffer);
  uint32_t total = 0;
  while (total < count) {
    const ssize_t n = ::read(fd, target + total, count - total);
    if (n < 0) {
      if (errno == EINTR) continue;
      *obtained = total;
      return false;
    }
    if (n == 0) break;
    total += static_cast<uint32_t>(n);
  }
  *obtained = total;
  return true;
}

void PortableDecodePlatform::SeekFile(FileHandle handle, uint32_t offset) {
  ::lseek(static_cast<PosixFile*>(handle)->fd, static_cast<off_t>(offset), SEEK_SET);
}

void PortableDecodePlatform::CloseFile(FileHandle handle) {
  auto* file = static_cast<PosixFile*>(handle);
  ::close(file->fd);
  delete file;
  --liveFiles_;
}

}  // namespace tamsorel
