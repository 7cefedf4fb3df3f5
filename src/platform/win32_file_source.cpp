// Sprite files through Win32: ReadFile at an offset given in the OVERLAPPED
// structure of a synchronous handle, so no separate seek is made.
#include <windows.h>

#include <new>

#include "common/win32_owner.h"
#include "platform/file_source.h"

namespace tamsorel {

namespace {

class Win32FileSource final : public ByteSource {
 public:
  Win32FileSource(UniqueFile file, uint64_t size) : file_(std::move(file)), size_(size) {}
  Win32FileSource(const Win32FileSource&) = delete;
  Win32FileSource& operator=(const Win32FileSource&) = delete;

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    uint32_t total = 0;
    while (total < count && (total == 0 || offset + total < size_)) {
      OVERLAPPED at = {};
      const uint64_t position = offset + total;
      at.Offset = static_cast<DWORD>(position);
      at.OffsetHigh = static_cast<DWORD>(position >> 32);
      DWORD n = 0;
      if (!::ReadFile(file_.get(), target + total, count - total, &n, &at)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        *obtained = total;
        return false;
      }
      if (n == 0) break;
      total += n;
    }
    *obtained = total;
    return true;
  }
  uint64_t Size() const override { return size_; }

 private:
  UniqueFile file_;
  uint64_t size_;
};

}  // namespace

std::unique_ptr<ByteSource> OpenFileSource(const std::u16string& path, std::string* problem) {
  UniqueFile file(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), GENERIC_READ, FILE_SHARE_READ,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    *problem = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? "no such file"
               : error == ERROR_ACCESS_DENIED                                 ? "permission denied"
                                                                              : "cannot be opened";
    return nullptr;
  }
  LARGE_INTEGER size;
  if (GetFileType(file.get()) != FILE_TYPE_DISK || !GetFileSizeEx(file.get(), &size)) {
    *problem = "not a regular file";
    return nullptr;
  }
  std::unique_ptr<ByteSource> source(
      new (std::nothrow) Win32FileSource(std::move(file), static_cast<uint64_t>(size.QuadPart)));
  if (!source) {
    *problem = "out of memory";
  }
  return source;
}

}  // namespace tamsorel
