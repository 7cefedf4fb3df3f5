// Small sprite files written by the tests themselves, and the .bmp file a
// decoded first frame must give, worked out independently of the decoder.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "common/win32_owner.h"

namespace fixtures {

using Bytes = std::vector<uint8_t>;

inline void PutLe16(Bytes& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value));
  out.push_back(static_cast<uint8_t>(value >> 8));
}

inline void PutLe32(Bytes& out, uint32_t value) {
  PutLe16(out, value & 0xFFFF);
  PutLe16(out, value >> 16);
}

// SPR: frame count 1, one entry, `width` x `height` palette indexes.
inline Bytes MakeSpr(uint16_t width, uint16_t height, const Bytes& pixels) {
  Bytes out;
  PutLe16(out, 1);
  PutLe32(out, 10);
  PutLe16(out, width);
  PutLe16(out, height);
  out.insert(out.end(), pixels.begin(), pixels.end());
  return out;
}

constexpr uint32_t kRgb565 = 1;
constexpr uint32_t kCompressed = 2;

// S16: flags, frame count 1, one entry, unused line offsets, packed rows.
inline Bytes MakeS16(uint32_t flags, uint16_t width, uint16_t height, const std::vector<uint16_t>& pixels) {
  Bytes out;
  PutLe32(out, flags & ~kCompressed);
  PutLe16(out, 1);
  const uint32_t offset = 14 + 4u * (height - 1u);
  PutLe32(out, offset);
  PutLe16(out, width);
  PutLe16(out, height);
  for (uint32_t i = 1; i < height; ++i) PutLe32(out, 0);
  for (uint16_t p : pixels) PutLe16(out, p);
  return out;
}

// C16 with one colour run covering each whole line.
inline Bytes MakeC16(uint32_t flags, uint16_t width, uint16_t height, const std::vector<uint16_t>& pixels) {
  Bytes out;
  PutLe32(out, flags | kCompressed);
  PutLe16(out, 1);
  const uint32_t firstLine = 14 + 4u * (height - 1u);
  const uint32_t lineBytes = 2 + 2u * width + 2;
  PutLe32(out, firstLine);
  PutLe16(out, width);
  PutLe16(out, height);
  for (uint32_t line = 1; line < height; ++line) PutLe32(out, firstLine + line * lineBytes);
  for (uint32_t line = 0; line < height; ++line) {
    PutLe16(out, (static_cast<uint32_t>(width) << 1) | 1);
    for (uint32_t x = 0; x < width; ++x) PutLe16(out, pixels[line * width + x]);
    PutLe16(out, 0);
  }
  return out;
}

// The .bmp file of a top-down bitmap: file header, 40-byte info header,
// `colours` (1024 palette bytes or 12 mask bytes), rows padded to 4 bytes.
inline Bytes ExpectedBmp(int32_t width, int32_t height, uint16_t bitCount, const Bytes& colours,
                         const Bytes& packedRows) {
  const uint32_t rowBytes = static_cast<uint32_t>(width) * bitCount / 8;
  const uint32_t stride = (rowBytes + 3) & ~3u;
  const uint32_t offBits = 14 + 40 + static_cast<uint32_t>(colours.size());
  Bytes out;
  out.push_back('B');
  out.push_back('M');
  PutLe32(out, offBits + stride * static_cast<uint32_t>(height));
  PutLe32(out, 0);
  PutLe32(out, offBits);
  PutLe32(out, 40);
  PutLe32(out, static_cast<uint32_t>(width));
  PutLe32(out, static_cast<uint32_t>(-height));
  PutLe16(out, 1);
  PutLe16(out, bitCount);
  PutLe32(out, bitCount == 16 ? 3 : 0);  // BI_BITFIELDS : BI_RGB
  for (int i = 0; i < 5; ++i) PutLe32(out, 0);
  out.insert(out.end(), colours.begin(), colours.end());
  for (int32_t row = 0; row < height; ++row) {
    const auto begin = packedRows.begin() + static_cast<std::ptrdiff_t>(row * rowBytes);
    out.insert(out.end(), begin, begin + rowBytes);
    for (uint32_t pad = rowBytes; pad < stride; ++pad) out.push_back(0);
  }
  return out;
}

inline Bytes MaskBytes(uint32_t flags) {
  Bytes out;
  if (flags & kRgb565) {
    PutLe32(out, 0xF800);
    PutLe32(out, 0x07E0);
  } else {
    PutLe32(out, 0x7C00);
    PutLe32(out, 0x03E0);
  }
  PutLe32(out, 0x001F);
  return out;
}

inline Bytes PixelBytes16(const std::vector<uint16_t>& pixels) {
  Bytes out;
  for (uint16_t p : pixels) PutLe16(out, p);
  return out;
}

// ---------------------------------------------------------------------------
// Files

inline bool WriteFileBytes(const std::wstring& path, const Bytes& bytes) {
  const tamsorel::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  return ok && written == bytes.size();
}

inline bool ReadFileBytes(const std::wstring& path, Bytes* bytes) {
  const tamsorel::UniqueFile file(
      CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file.valid()) return false;
  LARGE_INTEGER size = {};
  GetFileSizeEx(file.get(), &size);
  bytes->assign(static_cast<size_t>(size.QuadPart), 0);
  DWORD got = 0;
  const BOOL ok =
      bytes->empty() || ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &got, nullptr);
  return ok && got == bytes->size();
}

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A fresh folder under the temporary directory, removed with its files.
class TempDir {
 public:
  TempDir() {
    WCHAR base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    path_ = std::wstring(base) + L"tamsorel-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(InterlockedIncrement(&counter));
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~TempDir() {
    WIN32_FIND_DATAW found;
    {
      const tamsorel::UniqueFind search(FindFirstFileW((path_ + L"\\*").c_str(), &found));
      if (search.valid()) {
        do {
          const std::wstring name = found.cFileName;
          if (name != L"." && name != L"..") DeleteFileW((path_ + L"\\" + name).c_str());
        } while (FindNextFileW(search.get(), &found));
      }
    }
    RemoveDirectoryW(path_.c_str());
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

  std::wstring Write(const std::wstring& name, const Bytes& bytes) const {
    const std::wstring path = File(name);
    return WriteFileBytes(path, bytes) ? path : std::wstring();
  }

 private:
  std::wstring path_;
};

// The folder of the running test program, where Tamsorel.dll and
// thumbhost.exe are built.
inline std::wstring ProgramDir() {
  WCHAR path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring dir(path, length);
  return dir.substr(0, dir.find_last_of(L"\\/"));
}

}  // namespace fixtures
