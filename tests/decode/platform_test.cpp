// The portable platform: files from the file system, UTF-16 paths, heap
// bitmaps, the compiled-in palette and the .bmp writer.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "bitmap/bitmap_header.h"
#include "bitmap/bmp_file.h"
#include "sprite/first_frame.h"
#include "sprite/palette.h"
#include "platform/path_text.h"
#include "platform/portable_platform.h"
#include "sprite/sprite_format.h"
#include "sample_pictures.h"
#include "sprite_encoder.h"

namespace tamsorel {
namespace {

using test::Bytes;

class TempDir {
 public:
  TempDir() {
    char name[] = "/tmp/tamsorel-decode-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string Write(const std::string& name, const Bytes& bytes) const {
    const std::string full = path_ + "/" + name;
    std::ofstream(full, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
    return full;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(Palette, HoldsTheBuiltInColoursAsRgbQuads) {
  const auto entry = [](int i) { return kBuiltInPalette + 4 * i; };
  for (int i = 0; i < 256; ++i) {
    EXPECT_EQ(entry(i)[3], 0) << i;
    for (int k = 0; k < 3; ++k) EXPECT_EQ(entry(i)[k] % 4, 0) << i;
  }
  const auto is = [&](int i, uint8_t r, uint8_t g, uint8_t b) {
    return entry(i)[0] == b && entry(i)[1] == g && entry(i)[2] == r;
  };
  EXPECT_TRUE(is(0, 0, 0, 0));
  for (int i : {1, 10, 242, 246, 255}) EXPECT_TRUE(is(i, 252, 252, 252)) << i;
  for (int i : {243, 244, 245}) EXPECT_TRUE(is(i, 0, 0, 0)) << i;
  EXPECT_TRUE(is(11, 0x10, 0x08, 0x08));   // stored 08 08 10 00
  EXPECT_TRUE(is(12, 0x14, 0x18, 0x28));
  EXPECT_TRUE(is(101, 0x8C, 0x18, 0x10));
  EXPECT_TRUE(is(184, 0xFC, 0xF0, 0x0C));
  EXPECT_TRUE(is(241, 0xF4, 0xF4, 0xEC));
}

TEST(PathText, RoundTripsEveryFileName) {
  const std::string names[] = {"plain.c16", "caf\xC3\xA9.spr", "\xF0\x9F\x98\x80.s16",
                               "bad\xFF\xFE.spr", "half\xE2\x82.c16", "\xC0\xAF.s16"};
  for (const std::string& name : names) EXPECT_EQ(PathFromUtf16(PathToUtf16(name).c_str()), name);
  EXPECT_EQ(PathToUtf16("caf\xC3\xA9"), u"caf\u00E9");
  EXPECT_EQ(PathToUtf16("\xF0\x9F\x98\x80"), u"\U0001F600");
  EXPECT_EQ(PathToUtf16("x\xFF"), std::u16string(u"x\xDCFF"));
}

TEST(PortablePlatform, DecodesFilesFromDiskAndReleasesThem) {
  TempDir dir;
  const std::vector<uint16_t> px = {1, 2, 3, 4, 5, 6};
  struct Case {
    std::string name;
    Bytes file;
    HRESULT hr;
  } cases[] = {
      {"pic.c16", test::EncodeC16(0, 3, 2, px), S_OK},
      {"pic.s16", test::EncodeS16(1, 3, 2, px), S_OK},
      {"PIC.SPR", test::EncodeSpr(3, 2, {1, 2, 3, 4, 5, 6}), S_OK},
      {"\xE9t\xE9.spr", test::EncodeSpr(3, 2, {1, 2, 3, 4, 5, 6}), S_OK},  // Latin-1 bytes
      {"cut.s16", [&] {  // ends inside the pixels
         Bytes b = test::EncodeS16(0, 3, 2, px);
         b.resize(b.size() - 3);
         return b;
       }(), S_OK},
      {"short.s16", Bytes{1, 0, 0}, E_FAIL},
      // Files whose reads jump about: buffered reading must give exactly
      // what reading piece by piece gives.
      {"reversed.c16", [&] {
         test::C16Options options;
         options.reverseLineOrder = true;
         return test::EncodeC16(1, 300, 300, test::ScrambledPixels(300 * 300), test::ScatteredHoles(300 * 300), options);
       }(), S_OK},
      {"large.c16", test::EncodeC16(0, 700, 500, test::ScrambledPixels(700 * 500), test::ScatteredHoles(700 * 500)), S_OK},
      {"large.s16", test::EncodeS16(0, 701, 300, test::ScrambledPixels(701 * 300)), S_OK},
      {"shared-lines.c16", [&] {
         Bytes b = test::EncodeC16(0, 3, 4, test::ScrambledPixels(12));
         for (int k = 0; k < 3; ++k) test::PatchLe32(b, test::kS16LineOffsetsAt + 4 * k, 14 + 12);
         return b;
       }(), S_OK},
      {"far-lines.c16", [&] {
         Bytes b = test::EncodeC16(0, 3, 5, test::ScrambledPixels(15));
         const uint32_t far[] = {0x7FFFFFFF, 0x80000000, 0xFFFFFFFE, 0x00100000};
         for (int k = 0; k < 4; ++k) test::PatchLe32(b, test::kS16LineOffsetsAt + 4 * k, far[k]);
         return b;
       }(), S_OK},
      {"cut.c16", [&] {
         Bytes b = test::EncodeC16(0, 400, 400, test::ScrambledPixels(400 * 400), test::ScatteredHoles(400 * 400));
         b.resize(b.size() * 2 / 3 + 1);
         return b;
       }(), S_OK},
      {"far-pixels.s16", [&] {
         Bytes b = test::EncodeS16(0, 2, 2, px);
         test::PatchLe32(b, test::kS16EntryAt, 0x90000000);
         return b;
       }(), S_OK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PortableDecodePlatform p;
    const std::u16string path = PathToUtf16(dir.Write(c.name, c.file));
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle bitmap = nullptr;
    EXPECT_EQ(DecodeFirstFrame(p, path.c_str(), header.data(), &bitmap), c.hr);
    if (c.hr == S_OK) {
      // The same bytes served from memory give the same header and pixels.
      MemoryDecodePlatform reference;
      reference.AddFile(path, c.file);
      std::array<uint8_t, kHeaderBufferSize> expectedHeader{};
      BitmapHandle expected = nullptr;
      ASSERT_EQ(DecodeFirstFrame(reference, path.c_str(), expectedHeader.data(), &expected), S_OK);
      ASSERT_NE(bitmap, nullptr);
      const HeapBitmap* b = AsHeapBitmap(bitmap);
      const HeapBitmap* e = AsHeapBitmap(expected);
      EXPECT_EQ(header, expectedHeader);
      EXPECT_EQ(Bytes(b->pixels, b->pixels + b->pixelBytes),
                Bytes(e->pixels, e->pixels + e->pixelBytes));
      reference.DeleteBitmap(expected);
      p.DeleteBitmap(bitmap);
    }
    EXPECT_EQ(p.LiveFiles(), 0);
    EXPECT_EQ(p.LiveBitmaps(), 0);
  }
}

TEST(PortablePlatform, MissingFileAndDirectoryFailAndLeaveTheBitmapAlone) {
  TempDir dir;
  for (const std::string& path : {dir.path() + "/none.c16", dir.path()}) {
    PortableDecodePlatform p;
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle bitmap = &header;
    EXPECT_EQ(DecodeFirstFrame(p, PathToUtf16(path).c_str(), header.data(), &bitmap), E_FAIL);
    EXPECT_EQ(bitmap, &header);
    EXPECT_EQ(p.LiveFiles(), 0);
  }
}

TEST(PortablePlatform, OnlyRegularFilesOpenAndAFifoNeverBlocks) {
  // Opening a FIFO with no writer would wait for one; a device never ends.
  // Both are refused at once, like a directory.
  TempDir dir;
  const std::string fifo = dir.path() + "/pipe.c16";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/zero"), dir.path()}) {
    SCOPED_TRACE(path);
    PortableDecodePlatform p;
    EXPECT_EQ(p.OpenFile(PathToUtf16(path).c_str()), nullptr);
    EXPECT_EQ(p.LiveFiles(), 0);
  }
}

TEST(PortablePlatform, BitmapsAreZeroFilledTopDownAndAligned) {
  struct Case {
    int32_t width, height;
    uint16_t bits;
    uint32_t compression;
    std::size_t stride;  // 0: creation fails
  } cases[] = {
      {5, -3, 8, 0, 8},  {3, -2, 16, 3, 8},   {4, -1, 16, 3, 8},    {1, 1, 8, 0, 4},
      {0, -2, 16, 3, 0}, {2, 0, 8, 0, 0},     {-2, -2, 8, 0, 0},    {2, -2, 24, 0, 0},
      {2, -2, 16, 0, 0}, {2, INT32_MIN, 8, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    std::array<uint8_t, kHeaderBufferSize> header{};
    StoreLe32(&header[0], 40);
    StoreLe32(&header[4], static_cast<uint32_t>(c.width));
    StoreLe32(&header[8], static_cast<uint32_t>(c.height));
    StoreLe16(&header[12], 1);
    StoreLe16(&header[14], c.bits);
    StoreLe32(&header[16], c.compression);
    MemoryDecodePlatform p;
    const DecodePlatform::CreatedBitmap created = p.CreateBitmap(p.GetScreenDc(), header.data());
    if (c.stride == 0) {
      EXPECT_EQ(created.handle, nullptr);
      EXPECT_EQ(p.LiveBitmaps(), 0);
    } else {
      ASSERT_NE(created.handle, nullptr);
      const std::size_t rows = static_cast<std::size_t>(c.height < 0 ? -c.height : c.height);
      EXPECT_EQ(created.pixelBytes, c.stride * rows);
      EXPECT_EQ(AsHeapBitmap(created.handle)->stride, c.stride);
      for (std::size_t i = 0; i < created.pixelBytes; ++i) ASSERT_EQ(created.pixels[i], 0);
      p.DeleteBitmap(created.handle);
    }
  }
}

TEST(BmpFile, WrapsHeaderColoursAndPixelMemory) {
  struct Case {
    std::u16string name;
    Bytes file;
    std::size_t colours, pixelBytes;
  } cases[] = {
      {u"a.spr", test::EncodeSpr(5, 2, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}), 1024, 16},
      {u"a.s16", test::EncodeS16(1, 3, 2, {1, 2, 3, 4, 5, 6}), 12, 16},
  };
  for (const Case& c : cases) {
    MemoryDecodePlatform p;
    p.AddFile(c.name, c.file);
    std::array<uint8_t, kHeaderBufferSize> header{};
    BitmapHandle bitmap = nullptr;
    ASSERT_EQ(DecodeFirstFrame(p, c.name.c_str(), header.data(), &bitmap), S_OK);
    const HeapBitmap* b = AsHeapBitmap(bitmap);
    ASSERT_EQ(b->pixelBytes, c.pixelBytes);
    const Bytes bmp = MakeBmpFile(header.data(), b->pixels, b->pixelBytes);
    const std::size_t offBits = 14 + 40 + c.colours;
    ASSERT_EQ(bmp.size(), offBits + c.pixelBytes);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
    EXPECT_EQ(LoadLe32(&bmp[2]), bmp.size());
    EXPECT_EQ(LoadLe32(&bmp[6]), 0u);
    EXPECT_EQ(LoadLe32(&bmp[10]), offBits);
    EXPECT_EQ(0, std::memcmp(&bmp[14], header.data(), 40 + c.colours));
    EXPECT_EQ(0, std::memcmp(&bmp[offBits], b->pixels, b->pixelBytes));
    p.DeleteBitmap(bitmap);
  }
  std::array<uint8_t, 64> unknown{};  // no bit count: nothing to write
  EXPECT_TRUE(MakeBmpFile(unknown.data(), nullptr, 0).empty());
}

}  // namespace
}  // namespace tamsorel
