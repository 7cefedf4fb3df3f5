// The decoder's platform away from Windows: the compiled-in palette, a
// stand-in screen device context and bitmaps on the heap laid out like DIB
// sections (zero-filled, top-down, rows 4-byte aligned).  Files come from
// the file system (PortableDecodePlatform) or from memory
// (MemoryDecodePlatform, for tests, fuzzing and tools that hold the bytes).
//
// Every platform counts the handles it has given out and not yet had back,
// so callers can check that a decode released everything it acquired.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bitmap/bitmap_header.h"
#include "sprite/decode_platform.h"

namespace tamsorel {

// A bitmap made by a portable platform.  `header` holds the 40-byte info
// header and the colour bytes it was created from.
struct HeapBitmap {
  std::vector<uint8_t> header;
  int32_t width = 0;
  int32_t height = 0;       // rows (positive)
  uint16_t bitCount = 0;
  std::size_t stride = 0;   // bytes from one row to the next
  uint8_t* pixels = nullptr;
  std::size_t pixelBytes = 0;
};

// The HeapBitmap behind a handle made by a portable platform.
inline const HeapBitmap* AsHeapBitmap(BitmapHandle handle) {
  return static_cast<const HeapBitmap*>(handle);
}

class PortableBitmapPlatform : public DecodePlatform {
 public:
  // Largest pixel memory a bitmap may have; larger ones fail creation the
  // way an oversized DIB section does.
  static constexpr std::size_t kDefaultMaxPixelBytes = static_cast<std::size_t>(kMaxPixelBytes);

  explicit PortableBitmapPlatform(std::size_t maxPixelBytes = kDefaultMaxPixelBytes)
      : maxPixelBytes_(maxPixelBytes) {}
  ~PortableBitmapPlatform() override = default;

  PaletteHandle AcquirePalette(const uint8_t** bytes) override;
  void ReleasePalette(PaletteHandle palette) override;
  uint8_t* AllocateBlock(std::size_t bytes) override;
  void FreeBlock(uint8_t* block) override;
  DcHandle GetScreenDc() override;
  void ReleaseScreenDc(DcHandle dc) override;
  CreatedBitmap CreateBitmap(DcHandle dc, const uint8_t* header) override;
  void DeleteBitmap(BitmapHandle bitmap) override;

  // Handles given out and not yet released.
  int LiveFiles() const { return liveFiles_; }
  int LivePalettes() const { return livePalettes_; }
  int LiveBlocks() const { return liveBlocks_; }
  int LiveDcs() const { return liveDcs_; }
  int LiveBitmaps() const { return liveBitmaps_; }

 protected:
  // Zero-filled pixel memory of exactly `bytes`; null when there is none.
  virtual uint8_t* AllocatePixelMemory(std::size_t bytes);
  virtual void FreePixelMemory(uint8_t* memory, std::size_t bytes);

  int liveFiles_ = 0;

 private:
  std::size_t maxPixelBytes_;
  int livePalettes_ = 0;
  int liveBlocks_ = 0;
  int liveDcs_ = 0;
  int liveBitmaps_ = 0;
};

#ifndef _WIN32
// Files from the file system through POSIX calls; the UTF-16 path is
// converted to the system's bytes (see path_text.h).
class PortableDecodePlatform : public PortableBitmapPlatform {
 public:
  using PortableBitmapPlatform::PortableBitmapPlatform;

  FileHandle OpenFile(const char16_t* path) override;
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override;
  void SeekFile(FileHandle file, uint32_t offset) override;
  void CloseFile(FileHandle file) override;
  ReadBuffer* BufferOf(FileHandle file) override;
};
#endif

// Files held in memory under UTF-16 names.  Opening a name that was never
// added fails like a missing file.
class MemoryDecodePlatform : public PortableBitmapPlatform {
 public:
  using PortableBitmapPlatform::PortableBitmapPlatform;

  void AddFile(const std::u16string& path, std::vector<uint8_t> bytes);
  // Adds a file whose bytes the caller keeps alive (no copy).
  void AddFileView(const std::u16string& path, const uint8_t* bytes, std::size_t size);

  FileHandle OpenFile(const char16_t* path) override;
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override;
  void SeekFile(FileHandle file, uint32_t offset) override;
  void CloseFile(FileHandle file) override;

 private:
  struct Stored {
    std::vector<uint8_t> owned;
    const uint8_t* bytes = nullptr;
    std::size_t size = 0;
  };
  std::map<std::u16string, Stored> files_;
};

}  // namespace tamsorel
