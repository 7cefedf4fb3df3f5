// The decoder's platform on Windows.
#include "decode/win32_decode.h"

#include <cstdlib>

#include "decode/bitmap_header.h"
#include "decode/decoder.h"

namespace tamsorel {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 paths pass through unchanged");

namespace {

constexpr WORD kPaletteResourceId = 202;
constexpr DWORD kPaletteResourceSize = 1024;

}  // namespace

DecodePlatform::FileHandle Win32DecodePlatform::OpenFile(const char16_t* path) {
  // Read-only, and shared for reading only: a file that someone is writing
  // is not read half-written.
  HANDLE file = CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ, FILE_SHARE_READ,
                            nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  return file == INVALID_HANDLE_VALUE ? nullptr : file;
}

bool Win32DecodePlatform::ReadFile(FileHandle file, void* buffer, uint32_t count,
                                   uint32_t* obtained) {
  DWORD got = 0;
  const BOOL ok = ::ReadFile(static_cast<HANDLE>(file), buffer, count, &got, nullptr);
  *obtained = got;
  return ok != FALSE;
}

void Win32DecodePlatform::SeekFile(FileHandle file, uint32_t offset) {
  // A high part of 0 makes the low part an unsigned offset, so offsets of
  // 2 GiB and more land beyond the end of the file instead of failing and
  // leaving the position where it was.
  LONG high = 0;
  SetFilePointer(static_cast<HANDLE>(file), static_cast<LONG>(offset), &high, FILE_BEGIN);
}

void Win32DecodePlatform::CloseFile(FileHandle file) { CloseHandle(static_cast<HANDLE>(file)); }

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
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(static_cast<HDC>(dc), reinterpret_cast<const BITMAPINFO*>(header),
                                    DIB_RGB_COLORS, &bits, nullptr, 0);
  created.handle = bitmap;
  created.pixels = static_cast<uint8_t*>(bits);
  if (bitmap && bits) {
    // The size of the memory GDI actually gave, which bounds every write.
    DIBSECTION section;
    if (GetObjectW(bitmap, sizeof section, &section) == sizeof section) {
      created.pixelBytes = static_cast<std::size_t>(section.dsBm.bmWidthBytes) *
                           static_cast<std::size_t>(std::abs(section.dsBm.bmHeight));
    }
  }
  return created;
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
