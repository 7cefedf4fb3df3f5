// The decoder's platform on Windows.
#include "platform/win32_decode.h"

#include <cstdlib>
#include <memory>
#include <new>

#include "bitmap/bitmap_header.h"
#include "common/win32_owner.h"
#include "sprite/first_frame.h"
#include "sprite/read_buffer.h"

namespace tamsorel {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 paths pass through unchanged");

namespace {

constexpr WORD kPaletteResourceId = 202;
constexpr DWORD kPaletteResourceSize = 1024;

}  // namespace

namespace {

// An open file and the read buffer the decoder's reads are served from.
class Win32File final : public ReadBuffer::Source {
 public:
  Win32File(UniqueFile handle, std::unique_ptr<uint8_t[]> storage, uint32_t capacity)
      : handle_(std::move(handle)), storage_(std::move(storage)), buffer_(storage_.get(), capacity) {}
  Win32File(const Win32File&) = delete;
  Win32File& operator=(const Win32File&) = delete;

  ReadBuffer& buffer() { return buffer_; }

  // One ReadFile at an explicit offset.  The offset is a full 64-bit one, so
  // offsets of 2 GiB and more land beyond the end of the file and read
  // nothing.  A synchronous read at an offset past the end reports
  // ERROR_HANDLE_EOF, which is the end of the file, not a failure.
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    const BOOL ok = ::ReadFile(handle_.get(), target, count, &got, &at);
    *obtained = got;
    return ok != FALSE || GetLastError() == ERROR_HANDLE_EOF;
  }

 private:
  UniqueFile handle_;
  std::unique_ptr<uint8_t[]> storage_;
  ReadBuffer buffer_;
};

}  // namespace

DecodePlatform::FileHandle Win32DecodePlatform::OpenFile(const char16_t* path) {
  // Read-only, and shared for reading only: a file that someone is writing
  // is not read half-written.
  UniqueFile file(CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid()) return nullptr;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart < 0) return nullptr;
  const uint32_t capacity = ReadBuffer::CapacityFor(static_cast<uint64_t>(size.QuadPart));
  std::unique_ptr<uint8_t[]> storage(new (std::nothrow) uint8_t[capacity]);
  return storage ? new (std::nothrow) Win32File(std::move(file), std::move(storage), capacity) : nullptr;
}

bool Win32DecodePlatform::ReadFile(FileHandle handle, void* buffer, uint32_t count,
                                   uint32_t* obtained) {
  auto* file = static_cast<Win32File*>(handle);
  return file->buffer().Read(*file, buffer, count, obtained);
}

ReadBuffer* Win32DecodePlatform::BufferOf(FileHandle handle) { return &static_cast<Win32File*>(handle)->buffer(); }

void Win32DecodePlatform::SeekFile(FileHandle handle, uint32_t offset) {
  static_cast<Win32File*>(handle)->buffer().Seek(offset);
}

void Win32DecodePlatform::CloseFile(FileHandle handle) { delete static_cast<Win32File*>(handle); }

DecodePlatform::PaletteHandle Win32DecodePlatform::AcquirePalette(const uint8_t** bytes) {
  HMODULE module = GetModuleHandleW(L"Tamsorel.dll");
  if (!module) return nullptr;
  HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(kPaletteResourceId), L"PALETTE");
  if (!found || SizeofResource(module, found) != kPaletteResourceSize) return nullptr;
  HGLOBAL loaded = LoadResource(module, found);
  if (!loaded) return nullptr;
  const void* data = LockResource(loaded);
  if (!data) {
    FreeResource(loaded);
    return nullptr;
  }
  *bytes = static_cast<const uint8_t*>(data);
  return loaded;
}

void Win32DecodePlatform::ReleasePalette(PaletteHandle palette) {
  FreeResource(static_cast<HGLOBAL>(palette));
}

DecodePlatform::DcHandle Win32DecodePlatform::GetScreenDc() { return GetDC(nullptr); }

void Win32DecodePlatform::ReleaseScreenDc(DcHandle dc) { ReleaseDC(nullptr, static_cast<HDC>(dc)); }

DecodePlatform::CreatedBitmap Win32DecodePlatform::CreateBitmap(DcHandle dc, const uint8_t* header) {
  CreatedBitmap created;
  // The same cap as on every other platform, checked before GDI is asked:
  // a frame that claims more is refused whether or not the address space
  // could hold it.
  if (BitmapPixelBytes(ReadBitmapHeader(header)) > kMaxPixelBytes) return created;
  void* bits = nullptr;
  HBITMAP bitmap = MakeDibSection(static_cast<HDC>(dc), header, &bits);
  if (!bitmap) return created;
  created.handle = bitmap;
  created.pixels = static_cast<uint8_t*>(bits);
  // The size of the memory GDI actually gave bounds every write; when it
  // cannot be read back it stays 0 and the bitmap counts as one without
  // pixel memory.
  if (bits) created.pixelBytes = PixelBytesOf(bitmap);
  return created;
}

HBITMAP Win32DecodePlatform::MakeDibSection(HDC dc, const uint8_t* header, void** bits) {
  return CreateDIBSection(dc, reinterpret_cast<const BITMAPINFO*>(header), DIB_RGB_COLORS, bits,
                          nullptr, 0);
}

std::size_t Win32DecodePlatform::PixelBytesOf(HBITMAP bitmap) {
  DIBSECTION section;
  if (GetObjectW(bitmap, sizeof section, &section) != sizeof section) return 0;
  return static_cast<std::size_t>(section.dsBm.bmWidthBytes) *
         static_cast<std::size_t>(std::abs(section.dsBm.bmHeight));
}

void Win32DecodePlatform::DeleteBitmap(BitmapHandle bitmap) { DeleteObject(static_cast<HBITMAP>(bitmap)); }

HRESULT DecodeFirstFrameWin32(const wchar_t* path, BYTE* header, HBITMAP* bitmap) {
  Win32DecodePlatform platform;
  // The decoder writes the out-parameter only once a bitmap was attempted;
  // until then the caller's value stays as it was.
  static char untouched;
  BitmapHandle result = &untouched;
  const HRESULT hr =
      DecodeFirstFrame(platform, reinterpret_cast<const char16_t*>(path), header, &result);
  if (result != &untouched) *bitmap = static_cast<HBITMAP>(result);
  return hr;
}

}  // namespace tamsorel
