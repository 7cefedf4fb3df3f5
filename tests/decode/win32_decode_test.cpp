// The Win32 seam under Wine: sharing of the sprite file, DIB section layout,
// the palette resource of the module named Tamsorel.dll.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "common/win32_owner.h"
#include "sprite/first_frame.h"
#include "sprite/palette.h"
#include "platform/portable_platform.h"
#include "sprite/sprite_format.h"
#include "platform/win32_decode.h"
#include "sample_pictures.h"
#include "sprite_encoder.h"

namespace tamsorel {
namespace {

using test::Bytes;

HBITMAP const kUntouched = reinterpret_cast<HBITMAP>(static_cast<uintptr_t>(0x5A5A5A5A));

std::wstring TempPath(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir) + L"tamsorel-decode-" + std::to_wstring(GetCurrentProcessId()) + L"-" + name;
}

// A temporary sprite file, deleted when done.
class TempFile {
 public:
  TempFile(const wchar_t* name, const Bytes& bytes) : path_(TempPath(name)) {
    const UniqueFile h(CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_NE(h.get(), INVALID_HANDLE_VALUE);
    DWORD written = 0;
    WriteFile(h.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  }
  ~TempFile() { DeleteFileW(path_.c_str()); }
  const wchar_t* path() const { return path_.c_str(); }

 private:
  std::wstring path_;
};

// The owner of a bitmap the decoder handed out; none when it left the
// out-parameter untouched.
UniqueBitmap Owned(HBITMAP h) { return UniqueBitmap(h == kUntouched ? nullptr : h); }

struct Decoded {
  HRESULT hr = E_UNEXPECTED;
  HBITMAP bitmap = kUntouched;
  std::array<BYTE, kHeaderBufferSize> header{};
};

Decoded DecodeFile(const wchar_t* path) {
  Decoded d;
  d.hr = DecodeFirstFrameWin32(path, d.header.data(), &d.bitmap);
  return d;
}

Decoded DecodeBytes(const wchar_t* name, const Bytes& bytes) {
  TempFile file(name, bytes);
  return DecodeFile(file.path());
}

// The stand-in library carrying the palette fragment, under the file name
// Tamsorel.dll, next to the test program.
class PaletteModule {
 public:
  PaletteModule() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe);
    path.resize(path.find_last_of(L"\\/") + 1);
    path += L"" TAMSOREL_PALETTE_DLL_DIR L"\\" TAMSOREL_PALETTE_DLL;
    *module_.out() = LoadLibraryW(path.c_str());
  }
  HMODULE get() const { return module_.get(); }

 private:
  UniqueModule module_;
};

std::vector<uint16_t> Pixels16(std::size_t n) {
  std::vector<uint16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(0x1001 + i * 0x0101);
  return v;
}

TEST(Win32Palette, ResourceIs1024BytesUnderBritishEnglishAndMatchesTheBuiltInCopy) {
  PaletteModule module;
  ASSERT_NE(module.get(), nullptr);
  ASSERT_EQ(GetModuleHandleW(L"Tamsorel.dll"), module.get());
  HRSRC found = FindResourceExW(module.get(), L"PALETTE", MAKEINTRESOURCEW(202),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(SizeofResource(module.get(), found), 1024u);
  const void* bytes = LockResource(LoadResource(module.get(), found));
  ASSERT_NE(bytes, nullptr);
  EXPECT_EQ(0, std::memcmp(bytes, kBuiltInPalette, 1024));
}

TEST(Win32Palette, SprNeedsTheModuleNamedTamsorelWhileSixteenBitKindsDoNot) {
  const Bytes spr = test::EncodeSpr(5, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 243});
  const std::vector<uint16_t> px = Pixels16(4);
  ASSERT_EQ(GetModuleHandleW(L"Tamsorel.dll"), nullptr);
  {
    Decoded d = DecodeBytes(L"a.spr", spr);
    EXPECT_EQ(d.hr, E_FAIL);
    EXPECT_EQ(d.bitmap, kUntouched);
  }
  for (const Bytes& file : {test::EncodeS16(1, 2, 2, px), test::EncodeC16(1, 2, 2, px)}) {
    Decoded d = DecodeBytes(L"b.c16", file);
    const UniqueBitmap owned = Owned(d.bitmap);
    EXPECT_EQ(d.hr, S_OK);
    EXPECT_NE(d.bitmap, nullptr);
  }
  {
    PaletteModule module;
    ASSERT_NE(module.get(), nullptr);
    Decoded d = DecodeBytes(L"a.SPR", spr);
    const UniqueBitmap owned = Owned(d.bitmap);
    ASSERT_EQ(d.hr, S_OK);
    EXPECT_EQ(0, std::memcmp(d.header.data() + 40, kBuiltInPalette, 1024));
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(d.bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(ds.dsBm.bmWidthBytes, 8);
    EXPECT_EQ(ds.dsBm.bmBitsPixel, 8);
    const auto* bits = static_cast<const uint8_t*>(ds.dsBm.bmBits);
    const uint8_t expected[16] = {1, 2, 3, 4, 5, 0, 0, 0, 6, 7, 8, 9, 243, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(bits, expected, 16));
    // The bitmap's own colour table is the palette.
    const UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    HGDIOBJ old = SelectObject(dc.get(), d.bitmap);
    RGBQUAD table[256];
    EXPECT_EQ(GetDIBColorTable(dc.get(), 0, 256, table), 256u);
    SelectObject(dc.get(), old);
    EXPECT_EQ(0, std::memcmp(table, kBuiltInPalette, 1024));
  }
  Decoded after = DecodeBytes(L"a.spr", spr);  // unloaded again
  EXPECT_EQ(after.hr, E_FAIL);
}

TEST(Win32Files, FileOpenForWritingElsewhereOrMissingFails) {
  const Bytes s16 = test::EncodeS16(0, 2, 1, Pixels16(2));
  TempFile file(L"held.s16", s16);
  {
    const UniqueFile writer(CreateFileW(file.path(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(writer.get(), INVALID_HANDLE_VALUE);
    Decoded d = DecodeFile(file.path());
    EXPECT_EQ(d.hr, E_FAIL);
    EXPECT_EQ(d.bitmap, kUntouched);
  }
  {
    // Another reader that shares reading does not stand in the way.
    const UniqueFile reader(CreateFileW(file.path(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_NE(reader.get(), INVALID_HANDLE_VALUE);
    Decoded d = DecodeFile(file.path());
    const UniqueBitmap owned = Owned(d.bitmap);
    EXPECT_EQ(d.hr, S_OK);
  }
  {
    // The decoder closed its handle: the file can be opened exclusively.
    Decoded d = DecodeFile(file.path());
    const UniqueBitmap owned = Owned(d.bitmap);
    EXPECT_EQ(d.hr, S_OK);
    const UniqueFile exclusive(CreateFileW(file.path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_NE(exclusive.get(), INVALID_HANDLE_VALUE);
  }
  Decoded missing = DecodeFile(TempPath(L"missing.s16").c_str());
  EXPECT_EQ(missing.hr, E_FAIL);
  EXPECT_EQ(missing.bitmap, kUntouched);
}

TEST(Win32Bitmaps, DibSectionsAreTopDownWithAlignedRowsAndTheMasks) {
  using test::C16Run;
  struct Case {
    const wchar_t* name;
    Bytes file;
    LONG width, height, widthBytes;
    DWORD red, green;
    std::vector<uint16_t> pixels;  // whole pixel memory
  } cases[] = {
      {L"a.s16", test::EncodeS16(1, 3, 2, {1, 2, 3, 4, 5, 6}), 3, 2, 8, 0xF800, 0x07E0,
       {1, 2, 3, 0, 4, 5, 6, 0}},
      {L"b.s16", test::EncodeS16(0, 4, 1, {7, 8, 9, 10}), 4, 1, 8, 0x7C00, 0x03E0, {7, 8, 9, 10}},
      {L"c.c16", test::EncodeC16(1, 3, 2, {1, 2, 3, 4, 5, 6}, {false, true, false, false, false, true}),
       3, 2, 8, 0xF800, 0x07E0, {1, 0, 3, 0, 4, 5, 0, 0}},
      // A run beyond the bitmap is cut at the end of the DIB's memory.
      {L"d.c16", test::EncodeC16Lines(0, 2, {{C16Run{true, 10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}}}, {}}),
       2, 2, 4, 0x7C00, 0x03E0, {1, 2, 3, 4}},
      // A line offset of 2 GiB or more lies beyond the end: that line adds
      // nothing and the next line lands in row 2.
      {L"e.c16", [] {
         Bytes b = test::EncodeC16Lines(0, 2, {{C16Run{true, 2, {1, 2}}}, {C16Run{true, 2, {3, 4}}},
                                               {C16Run{true, 2, {5, 6}}}});
         test::PatchLe32(b, test::kS16LineOffsetsAt, 0x90000000u);
         return b;
       }(),
       2, 3, 4, 0x7C00, 0x03E0, {1, 2, 5, 6, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
    Decoded d = DecodeBytes(c.name, c.file);
    const UniqueBitmap owned = Owned(d.bitmap);
    ASSERT_EQ(d.hr, S_OK);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(d.bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    EXPECT_EQ(ds.dsBm.bmWidth, c.width);
    EXPECT_EQ(ds.dsBm.bmHeight, c.height);
    EXPECT_EQ(ds.dsBm.bmWidthBytes, c.widthBytes);
    EXPECT_EQ(ds.dsBm.bmBitsPixel, 16);
    EXPECT_EQ(ds.dsBmih.biWidth, c.width);
    // GDI reports the height of a section without its sign; the header the
    // section was made from says top-down, and the memory shows it (row 1
    // first).
    EXPECT_EQ(std::abs(ds.dsBmih.biHeight), c.height);
    EXPECT_EQ(static_cast<LONG>(LoadLe32(d.header.data() + 8)), -c.height);
    EXPECT_EQ(ds.dsBmih.biCompression, static_cast<DWORD>(BI_BITFIELDS));
    EXPECT_EQ(ds.dsBitfields[0], c.red);
    EXPECT_EQ(ds.dsBitfields[1], c.green);
    EXPECT_EQ(ds.dsBitfields[2], 0x001Fu);
    const auto* bits = static_cast<const uint8_t*>(ds.dsBm.bmBits);
    std::vector<uint16_t> memory(c.widthBytes * c.height / 2);
    for (std::size_t i = 0; i < memory.size(); ++i) memory[i] = LoadLe16(bits + 2 * i);
    EXPECT_EQ(memory, c.pixels);
  }
}

TEST(Win32Bitmaps, WidthZeroStoresANullHandle) {
  Bytes b = test::EncodeS16(0, 1, 2, Pixels16(2));
  test::PatchLe16(b, test::kS16EntryAt + 4, 0);
  Decoded d = DecodeBytes(L"z.s16", b);
  EXPECT_EQ(d.hr, E_FAIL);
  EXPECT_EQ(d.bitmap, nullptr);
}

// ---------------------------------------------------------------------------
// Pixel cap, GDI size read-back, buffered reads

// The Win32 seam with a record of what it asked GDI for, and a read-back of
// the pixel memory's size that can be made to fail.
class WatchedWin32Platform : public Win32DecodePlatform {
 public:
  int sectionsMade = 0;
  int bitmapsDeleted = 0;
  bool sizeUnreadable = false;

  void DeleteBitmap(BitmapHandle bitmap) override {
    ++bitmapsDeleted;
    Win32DecodePlatform::DeleteBitmap(bitmap);
  }

 protected:
  HBITMAP MakeDibSection(HDC dc, const uint8_t* header, void** bits) override {
    ++sectionsMade;
    return Win32DecodePlatform::MakeDibSection(dc, header, bits);
  }
  std::size_t PixelBytesOf(HBITMAP bitmap) override {
    return sizeUnreadable ? 0 : Win32DecodePlatform::PixelBytesOf(bitmap);
  }
};

Bytes FrameOfSize(bool spr, uint16_t width, uint16_t height) {
  // A header and entry that claim the size, the 16-bit line table, no pixels.
  Bytes b = spr ? test::EncodeSpr(1, 1, {7}) : test::EncodeS16(0, 1, 1, Pixels16(1));
  const std::size_t entry = spr ? test::kSprEntryAt : test::kS16EntryAt;
  test::PatchLe16(b, entry + 4, width);
  test::PatchLe16(b, entry + 6, height);
  if (!spr) b.resize(14 + 4 * (std::size_t{height} - 1), 0);
  return b;
}

TEST(Win32PixelCap, LargestFramesPassOneRowMoreFailsBeforeGdiIsAsked) {
  // The same 256 MiB cap as the portable platform, so both DLLs and the
  // native tool agree.  65535-pixel rows take 65536 bytes at 8 bits and
  // 131072 at 16.
  PaletteModule module;
  ASSERT_NE(module.get(), nullptr);
  struct Case {
    bool spr;
    uint16_t width, height;
    HRESULT hr;
  } cases[] = {
      {true, 0xFFFF, 4096, S_OK},   {true, 0xFFFF, 4097, E_FAIL},  {false, 0xFFFF, 2048, S_OK},
      {false, 0xFFFF, 2049, E_FAIL}, {true, 0xFFFF, 0xFFFF, E_FAIL}, {false, 0xFFFF, 0xFFFF, E_FAIL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + (c.spr ? " spr" : " s16"));
    TempFile file(c.spr ? L"cap.spr" : L"cap.s16", FrameOfSize(c.spr, c.width, c.height));
    WatchedWin32Platform platform;
    std::array<BYTE, kHeaderBufferSize> header{};
    BitmapHandle bitmap = kUntouched;
    EXPECT_EQ(DecodeFirstFrame(platform, reinterpret_cast<const char16_t*>(file.path()), header.data(), &bitmap),
              c.hr);
    if (c.hr == S_OK) {
      const UniqueBitmap owned = Owned(static_cast<HBITMAP>(bitmap));
      DIBSECTION ds{};
      ASSERT_EQ(GetObjectW(static_cast<HBITMAP>(bitmap), sizeof ds, &ds), static_cast<int>(sizeof ds));
      EXPECT_EQ(uint64_t(ds.dsBm.bmWidthBytes) * uint64_t(std::abs(ds.dsBm.bmHeight)), kMaxPixelBytes);
    } else {
      EXPECT_EQ(bitmap, nullptr);
      EXPECT_EQ(platform.sectionsMade, 0) << "refused before GDI";
    }
    EXPECT_EQ(platform.bitmapsDeleted, 0);
  }
}

TEST(Win32Bitmaps, BitmapWhoseSizeCannotBeReadBackIsDeletedAndNotHandedOut) {
  PaletteModule module;
  ASSERT_NE(module.get(), nullptr);
  for (const wchar_t* name : {L"size.spr", L"size.s16", L"size.c16"}) {
    SCOPED_TRACE(std::string(name, name + wcslen(name)));
    const bool spr = name[wcslen(name) - 1] == L'r';
    const std::vector<uint16_t> px = Pixels16(4);
    TempFile file(name, spr ? test::EncodeSpr(2, 2, {1, 2, 3, 4})
                            : (name[wcslen(name) - 3] == L'c' ? test::EncodeC16(0, 2, 2, px)
                                                               : test::EncodeS16(0, 2, 2, px)));
    WatchedWin32Platform platform;
    platform.sizeUnreadable = true;
    std::array<BYTE, kHeaderBufferSize> header{};
    BitmapHandle bitmap = kUntouched;
    EXPECT_EQ(DecodeFirstFrame(platform, reinterpret_cast<const char16_t*>(file.path()), header.data(), &bitmap),
              E_FAIL);
    EXPECT_EQ(bitmap, nullptr);
    EXPECT_EQ(platform.sectionsMade, 1);
    EXPECT_EQ(platform.bitmapsDeleted, 1);
  }
}

TEST(Win32Files, BufferedReadsGiveWhatPieceByPieceReadsGiveAndReleaseTheFile) {
  // Files whose reads cross read blocks, jump back, share lines, point past
  // the end or 2 GiB away, or stop early: the DIB section holds exactly what
  // the in-memory platform (one copy per read) produces, and the file can
  // be opened exclusively afterwards.
  PaletteModule module;
  ASSERT_NE(module.get(), nullptr);
  test::C16Options reversed;
  reversed.reverseLineOrder = true;
  struct Case {
    const wchar_t* name;
    Bytes file;
  } cases[] = {
      {L"big.spr", test::EncodeSpr(999, 400, std::vector<uint8_t>(999 * 400, 77))},
      {L"big.s16", test::EncodeS16(1, 701, 300, test::ScrambledPixels(701 * 300))},
      {L"big.c16", test::EncodeC16(0, 700, 500, test::ScrambledPixels(700 * 500), test::ScatteredHoles(700 * 500))},
      {L"reversed.c16", test::EncodeC16(1, 300, 300, test::ScrambledPixels(300 * 300), test::ScatteredHoles(300 * 300), reversed)},
      {L"shared.c16", [] {
         Bytes b = test::EncodeC16(0, 3, 4, test::ScrambledPixels(12));
         for (int k = 0; k < 3; ++k) test::PatchLe32(b, test::kS16LineOffsetsAt + 4 * k, 14 + 12);
         return b;
       }()},
      {L"far.c16", [] {
         Bytes b = test::EncodeC16(0, 3, 5, test::ScrambledPixels(15));
         const uint32_t distant[] = {0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0x00100000};
         for (int k = 0; k < 4; ++k) test::PatchLe32(b, test::kS16LineOffsetsAt + 4 * k, distant[k]);
         return b;
       }()},
      {L"cut.c16", [] {
         Bytes b = test::EncodeC16(0, 400, 400, test::ScrambledPixels(400 * 400), test::ScatteredHoles(400 * 400));
         b.resize(b.size() * 2 / 3 + 1);
         return b;
       }()},
      {L"cut.s16", [] {
         Bytes b = test::EncodeS16(0, 640, 480, test::ScrambledPixels(640 * 480));
         b.resize(b.size() - 1001);
         return b;
       }()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
    TempFile file(c.name, c.file);
    Decoded d = DecodeFile(file.path());
    const UniqueBitmap owned = Owned(d.bitmap);
    ASSERT_EQ(d.hr, S_OK);

    MemoryDecodePlatform reference;
    const std::u16string name(reinterpret_cast<const char16_t*>(c.name));
    reference.AddFile(name, c.file);
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle expected = nullptr;
    ASSERT_EQ(DecodeFirstFrame(reference, name.c_str(), header.data(), &expected), S_OK);
    const HeapBitmap* e = AsHeapBitmap(expected);
    DIBSECTION ds{};
    ASSERT_EQ(GetObjectW(d.bitmap, sizeof ds, &ds), static_cast<int>(sizeof ds));
    ASSERT_EQ(std::size_t(ds.dsBm.bmWidthBytes) * std::size_t(std::abs(ds.dsBm.bmHeight)), e->pixelBytes);
    EXPECT_EQ(0, std::memcmp(ds.dsBm.bmBits, e->pixels, e->pixelBytes));
    EXPECT_EQ(0, std::memcmp(d.header.data(), header.data(), kHeaderBufferSize));
    reference.DeleteBitmap(expected);

    const UniqueFile exclusive(CreateFileW(file.path(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_NE(exclusive.get(), INVALID_HANDLE_VALUE);
  }
}

}  // namespace
}  // namespace tamsorel
