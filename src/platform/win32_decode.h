// The decoder bound to the Win32 platform (files, the PALETTE resource of the
// module named "Tamsorel.dll", GDI).  Used by the thumbnail handler in the DLL.
#pragma once
#ifdef _WIN32
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "sprite/decode_platform.h"

namespace tamsorel {

// DecodeFirstFrame with the Win32 seam.  `header` holds 1068 bytes.
HRESULT DecodeFirstFrameWin32(const wchar_t* path, BYTE* header, HBITMAP* bitmap);

// The Win32 seam itself: CreateFileW/ReadFile/SetFilePointer, the PALETTE
// resource 202 of the loaded module named "Tamsorel.dll", GetDC(NULL) and
// CreateDIBSection.  Reads are served from a buffer per open file.  Frames
// whose pixel memory would pass kMaxPixelBytes are refused before GDI is
// asked.  Bitmaps are HBITMAPs.
class Win32DecodePlatform : public DecodePlatform {
 public:
  FileHandle OpenFile(const char16_t* path) override;
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override;
  void SeekFile(FileHandle file, uint32_t offset) override;
  void CloseFile(FileHandle file) override;
  ReadBuffer* BufferOf(FileHandle file) override;
  PaletteHandle AcquirePalette(const uint8_t** bytes) override;
  void ReleasePalette(PaletteHandle palette) override;
  DcHandle GetScreenDc() override;
  void ReleaseScreenDc(DcHandle dc) override;
  CreatedBitmap CreateBitmap(DcHandle dc, const uint8_t* header) override;
  void DeleteBitmap(BitmapHandle bitmap) override;

 protected:
  // The two GDI steps of CreateBitmap, apart so that tests can stand in
  // for GDI: the DIB section itself, and the byte size of its pixel memory
  // as GDI reports it (0 when it cannot be read).
  virtual HBITMAP MakeDibSection(HDC dc, const uint8_t* header, void** bits);
  virtual std::size_t PixelBytesOf(HBITMAP bitmap);
};

}  // namespace tamsorel
#endif
