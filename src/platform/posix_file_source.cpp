// Sprite files through POSIX calls: pread at absolute offsets, so the
// reader's buffer keeps the position and no seek is ever made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "platform/path_text.h"
#include "platform/posix_read.h"
#include "platform/file_source.h"

namespace tamsorel {

namespace {

class PosixFileSource final : public ByteSource {
 public:
  PosixFileSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFileSource() override { ::close(fd_); }
  PosixFileSource(const PosixFileSource&) = delete;
  PosixFileSource& operator=(const PosixFileSource&) = delete;

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    return ReadAtOffset(fd_, size_, offset, target, count, obtained);
  }
  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::u16string& path, std::string* problem) {
  const std::string name = PathFromUtf16(path.c_str());
  int fd;
  // O_NONBLOCK: opening a FIFO must not wait for a writer; it is refused below.
  do {
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    *problem = errno == ENOENT ? "no such file" : errno == EACCES ? "permission denied" : "cannot be opened";
    return nullptr;
  }
  struct stat status;
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    ::close(fd);
    *problem = "not a regular file";
    return nullptr;
  }
  std::unique_ptr<ByteSource> source(new (std::nothrow) PosixFileSource(fd, static_cast<uint64_t>(status.st_size)));
  if (!source) {
    ::close(fd);
    *problem = "out of memory";
  }
  return source;
}

}  // namespace tamsorel
