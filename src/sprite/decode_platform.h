// The platform as the first-frame decoder sees it: files with byte-counted
// reads and absolute seeks, the built-in palette, the screen device context
// and bitmap creation.  Handles are opaque; the decoder gives each back
// through the matching release operation exactly once, in reverse order of
// acquisition (device context, palette or block, file).
//
// Implementations: Win32DecodePlatform (win32_decode.cpp, Windows only),
// PortableDecodePlatform and MemoryDecodePlatform (portable_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sprite/first_frame.h"

namespace tamsorel {

class ReadBuffer;

class DecodePlatform {
 public:
  using FileHandle = void*;     // null: none
  using PaletteHandle = void*;  // null: none
  using DcHandle = void*;       // null: none

  // A freshly created bitmap.  `pixels` is null when creation gave a handle
  // but no pixel memory; `pixelBytes` is the size of that memory, 0 when it
  // is not known (the decoder then treats the bitmap as one without memory).
  struct CreatedBitmap {
    BitmapHandle handle = nullptr;
    uint8_t* pixels = nullptr;
    std::size_t pixelBytes = 0;
  };

  virtual ~DecodePlatform() = default;

  // Opens an existing file for reading, sharing it for reading only.
  virtual FileHandle OpenFile(const char16_t* path) = 0;
  // Reads up to `count` bytes at the current position.  False on failure;
  // at the end of the file the read succeeds with `*obtained` 0.  The
  // decoder reads in small pieces: file readers are expected to buffer.
  virtual bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) = 0;
  // Moves to an absolute offset from the start of the file.
  virtual void SeekFile(FileHandle file, uint32_t offset) = 0;
  virtual void CloseFile(FileHandle file) = 0;
  // The read buffer that ReadFile and SeekFile serve this file from, if the
  // platform has one (null by default).  The decoder's hot loop takes the
  // bytes the buffer holds straight from it and moves the buffer's position
  // itself, without a virtual call; the bytes it gets are those the reads
  // would give.
  virtual ReadBuffer* BufferOf(FileHandle file);

  // Finds the 1024 palette bytes.  On success `*bytes` stays valid until
  // ReleasePalette; on failure returns null and nothing needs releasing.
  virtual PaletteHandle AcquirePalette(const uint8_t** bytes) = 0;
  virtual void ReleasePalette(PaletteHandle palette) = 0;

  // Heap block for the line-offset table.  Null when it cannot be had.
  virtual uint8_t* AllocateBlock(std::size_t bytes);
  virtual void FreeBlock(uint8_t* block);

  virtual DcHandle GetScreenDc() = 0;
  virtual void ReleaseScreenDc(DcHandle dc) = 0;

  // Creates a bitmap described by `header` (BITMAPINFOHEADER + colours) with
  // zero-filled, top-down pixel memory of 4-byte aligned rows.
  virtual CreatedBitmap CreateBitmap(DcHandle dc, const uint8_t* header) = 0;
  virtual void DeleteBitmap(BitmapHandle bitmap) = 0;
};

}  // namespace tamsorel
