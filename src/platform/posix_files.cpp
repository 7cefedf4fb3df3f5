// Files of the portable platform read through POSIX calls, served to the
// decoder from a read buffer (read_buffer.h).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>
#include <string>

#include "platform/path_text.h"
#include "platform/portable_platform.h"
#include "platform/posix_read.h"
#include "sprite/read_buffer.h"

namespace tamsorel {

namespace {

class PosixFile final : public ReadBuffer::Source {
 public:
  PosixFile(int fd, uint64_t size, std::unique_ptr<uint8_t[]> storage, uint32_t capacity)
      : fd_(fd), size_(size), storage_(std::move(storage)), buffer_(storage_.get(), capacity) {}
  ~PosixFile() { ::close(fd_); }
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  ReadBuffer& buffer() { return buffer_; }

  // pread: the buffer keeps the position, so no seek is ever needed.
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    return ReadAtOffset(fd_, size_, offset, target, count, obtained);
  }

 private:
  int fd_;
  uint64_t size_;  // at open
  std::unique_ptr<uint8_t[]> storage_;
  ReadBuffer buffer_;
};

// Closes a descriptor unless it was handed on.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    const int kept = fd;
    fd = -1;
    return kept;
  }
};

}  // namespace

bool ReadAtOffset(int fd, uint64_t sizeAtOpen, uint64_t offset, uint8_t* target, uint32_t count,
                  uint32_t* obtained) {
  uint32_t total = 0;
  while (total < count && (total == 0 || offset + total < sizeAtOpen)) {
    const ssize_t n = ::pread(fd, target + total, count - total, static_cast<off_t>(offset + total));
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

DecodePlatform::FileHandle PortableDecodePlatform::OpenFile(const char16_t* path) {
  const std::string name = PathFromUtf16(path);
  // O_NONBLOCK: opening a FIFO must not wait for a writer.  Whatever is not
  // a regular file (FIFO, device, directory) is then refused, so no read
  // can block or run forever.
  Descriptor file{-1};
  do {
    file.fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  } while (file.fd < 0 && errno == EINTR);
  if (file.fd < 0) return nullptr;
  struct stat status;
  if (::fstat(file.fd, &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;

  const auto size = static_cast<uint64_t>(status.st_size);
  const uint32_t capacity = ReadBuffer::CapacityFor(size);
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[capacity]);
  if (!storage) return nullptr;
  auto* opened = new (std::nothrow) PosixFile(file.fd, size, std::move(storage), capacity);
  if (!opened) return nullptr;
  file.release();
  ++liveFiles_;
  return opened;
}

bool PortableDecodePlatform::ReadFile(FileHandle handle, void* buffer, uint32_t count,
                                      uint32_t* obtained) {
  auto* file = static_cast<PosixFile*>(handle);
  return file->buffer().Read(*file, buffer, count, obtained);
}

ReadBuffer* PortableDecodePlatform::BufferOf(FileHandle handle) { return &static_cast<PosixFile*>(handle)->buffer(); }

void PortableDecodePlatform::SeekFile(FileHandle handle, uint32_t offset) {
  static_cast<PosixFile*>(handle)->buffer().Seek(offset);
}

void PortableDecodePlatform::CloseFile(FileHandle handle) {
  delete static_cast<PosixFile*>(handle);
  --liveFiles_;
}

}  // namespace tamsorel
