// Sprite bytes from an IStream: Seek to the offset, then Read until the
// count is there, the stream ends or it fails.
#include <windows.h>
#include <objidl.h>

#include <cstdint>
#include <new>

#include "common/win32_owner.h"
#include "platform/stream_source.h"

namespace tamsorel {

namespace {

class StreamSource final : public ByteSource {
 public:
  // Holds a reference of its own to `stream`.
  StreamSource(IStream* stream, uint64_t size) : size_(size) { stream_.share(stream); }
  StreamSource(const StreamSource&) = delete;
  StreamSource& operator=(const StreamSource&) = delete;

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    *obtained = 0;
    if (offset >= size_ || count == 0) return true;
    if (count > size_ - offset) count = static_cast<uint32_t>(size_ - offset);
    LARGE_INTEGER to;
    to.QuadPart = static_cast<LONGLONG>(offset);
    if (offset > static_cast<uint64_t>(INT64_MAX) || FAILED(stream_->Seek(to, STREAM_SEEK_SET, nullptr))) return false;
    uint32_t total = 0;
    while (total < count) {
      ULONG n = 0;
      const HRESULT hr = stream_->Read(target + total, count - total, &n);
      // A stream that reports more than it was asked for has written past
      // the target or lies; either way nothing it gave can be trusted.
      if (FAILED(hr) || n > count - total) {
        *obtained = FAILED(hr) ? total : 0;
        return false;
      }
      if (n == 0) break;  // the stream ends before the size it stated
      total += n;
    }
    *obtained = total;
    return true;
  }
  uint64_t Size() const override { return size_; }

 private:
  ComRef<IStream> stream_;
  uint64_t size_;
};

// The stream's size as Stat states it, or where a seek to the end lands;
// with `name`, also the name Stat gives (empty when it gives none).
bool StatedSize(IStream* stream, uint64_t* size, std::u16string* name) {
  STATSTG stat = {};
  if (SUCCEEDED(stream->Stat(&stat, name != nullptr ? STATFLAG_DEFAULT : STATFLAG_NONAME))) {
    const UniqueTaskMemory<wchar_t> held(stat.pwcsName);
    if (name != nullptr && held.valid()) *name = reinterpret_cast<const char16_t*>(held.get());
    *size = stat.cbSize.QuadPart;
    return true;
  }
  LARGE_INTEGER none = {};
  ULARGE_INTEGER end = {};
  if (FAILED(stream->Seek(none, STREAM_SEEK_END, &end))) return false;
  *size = end.QuadPart;
  return true;
}

}  // namespace

std::unique_ptr<ByteSource> OpenStreamSource(IStream* stream, std::string* problem) {
  return OpenStreamSource(stream, nullptr, problem);
}

std::unique_ptr<ByteSource> OpenStreamSource(IStream* stream, std::u16string* name, std::string* problem) {
  if (name != nullptr) name->clear();
  if (stream == nullptr) {
    *problem = "no stream";
    return nullptr;
  }
  uint64_t size = 0;
  if (!StatedSize(stream, &size, name)) {
    *problem = "size unknown";
    return nullptr;
  }
  std::unique_ptr<ByteSource> source(new (std::nothrow) StreamSource(stream, size));
  if (!source) {
    *problem = "out of memory";
  }
  return source;
}

std::u16string StreamName(IStream* stream) {
  STATSTG stat = {};
  if (stream == nullptr || FAILED(stream->Stat(&stat, STATFLAG_DEFAULT))) return std::u16string();
  const UniqueTaskMemory<wchar_t> held(stat.pwcsName);
  if (!held.valid()) return std::u16string();
  return std::u16string(reinterpret_cast<const char16_t*>(held.get()));
}

}  // namespace tamsorel
