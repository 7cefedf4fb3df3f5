// First-frame decoder.  Reads the header, the first frame entry and (16-bit
// kinds) the line-offset table, describes the bitmap in the caller's scratch
// buffer, creates the bitmap and fills it by copying rows (SPR, S16) or by
// expanding the runs of each line (C16).  Every handle is held by a guard so
// that each path gives back, in this order, the device context, the palette
// or the line-offset block, and the file.
#include "decode/decoder.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "decode/bitmap_header.h"
#include "decode/c16_lines.h"
#include "decode/decode_platform.h"
#include "decode/read_buffer.h"
#include "decode/sprite_format.h"

namespace tamsorel {

namespace {

// Owns one platform handle and gives it back through `Release` when it goes
// out of scope.  Guards declared later are released earlier.
template <typename Handle, void (DecodePlatform::*Release)(Handle)>
class Held {
 public:
  Held(DecodePlatform& platform, Handle handle) : platform_(platform), handle_(handle) {}
  ~Held() {
    if (handle_) (platform_.*Release)(handle_);
  }
  Held(const Held&) = delete;
  Held& operator=(const Held&) = delete;

  Handle get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }

 private:
  DecodePlatform& platform_;
  Handle handle_;
};

using HeldFile = Held<DecodePlatform::FileHandle, &DecodePlatform::CloseFile>;
using HeldPalette = Held<DecodePlatform::PaletteHandle, &DecodePlatform::ReleasePalette>;
using HeldBlock = Held<uint8_t*, &DecodePlatform::FreeBlock>;
using HeldDc = Held<DecodePlatform::DcHandle, &DecodePlatform::ReleaseScreenDc>;

// Reads exactly `count` bytes; false on a failed or short read.
bool ReadExactly(DecodePlatform& platform, DecodePlatform::FileHandle file, void* buffer,
                 uint32_t count) {
  uint32_t obtained = 0;
  return platform.ReadFile(file, buffer, count, &obtained) && obtained == count;
}

// Reads whose outcome does not matter: pixels that cannot be read stay zero.
void ReadPixels(DecodePlatform& platform, DecodePlatform::FileHandle file, uint8_t* target,
                std::size_t count) {
  uint32_t obtained = 0;
  platform.ReadFile(file, target, static_cast<uint32_t>(count), &obtained);
}

// The same read for the C16 lines, served straight from the platform's read
// buffer when it holds the bytes (`buffer` may be null).
bool ReadExactly(DecodePlatform& platform, DecodePlatform::FileHandle file, ReadBuffer* buffer,
                 void* target, uint32_t count) {
  return (buffer && buffer->ReadHeld(target, count)) || ReadExactly(platform, file, target, count);
}


void WriteInfoHeader(uint8_t* header, const FrameEntry& entry, uint16_t bitCount,
                     uint32_t compression) {
  StoreLe32(header + kBiSize, kInfoHeaderSize);
  StoreLe32(header + kBiWidth, entry.width);
  StoreLe32(header + kBiHeight, static_cast<uint32_t>(-static_cast<int32_t>(entry.height)));
  StoreLe16(header + kBiPlanes, 1);
  StoreLe16(header + kBiBitCount, bitCount);
  StoreLe32(header + kBiCompression, compression);
  // biSizeImage, the resolutions and the colour counts stay 0.
}

// Creates the bitmap the header describes and hands its handle to the
// caller.  A bitmap that comes without pixel memory, or whose memory has no
// known size, is useless to anyone: it is deleted and the caller gets null.
bool CreateBitmapFor(DecodePlatform& platform, DecodePlatform::DcHandle dc, const uint8_t* header,
                     BitmapHandle* bitmap, DecodePlatform::CreatedBitmap* created) {
  *created = platform.CreateBitmap(dc, header);
  if (created->handle && (!created->pixels || created->pixelBytes == 0)) {
    platform.DeleteBitmap(created->handle);
    created->handle = nullptr;
  }
  *bitmap = created->handle;
  return created->handle != nullptr;
}

// Copies `height` packed rows of `rowBytes` from the file into rows
// `stride` bytes apart.  When the two layouts coincide the frame is read in
// one go.  Rows that the pixel memory cannot hold are not read.
void CopyRows(DecodePlatform& platform, DecodePlatform::FileHandle file,
              const DecodePlatform::CreatedBitmap& bitmap, std::size_t rowBytes,
              std::size_t stride, uint32_t height) {
  if (stride == 0) return;
  const std::size_t rows = std::min<std::size_t>(height, bitmap.pixelBytes / stride);
  const uint64_t whole = PixelMemoryBytes(rowBytes, height);
  if (rowBytes == stride && rows == height && whole <= std::numeric_limits<uint32_t>::max()) {
    ReadPixels(platform, file, bitmap.pixels, static_cast<std::size_t>(whole));
    return;
  }
  for (std::size_t r = 0; r < rows; ++r) ReadPixels(platform, file, bitmap.pixels + r * stride, rowBytes);
}

// The file as the C16 expander reads it: through the platform's read
// buffer when it has one, otherwise through its reads.
class PlatformReader {
 public:
  PlatformReader(DecodePlatform& platform, DecodePlatform::FileHandle file)
      : platform_(platform), file_(file), buffer_(platform.BufferOf(file)) {}

  ReadBuffer* Buffer() const { return buffer_; }
  void Seek(uint64_t offset) { platform_.SeekFile(file_, static_cast<uint32_t>(offset)); }
  bool ReadExactly(void* target, uint32_t count) {
    return tamsorel::ReadExactly(platform_, file_, buffer_, target, count);
  }
  uint32_t ReadSome(uint8_t* target, std::size_t count) {
    const auto wanted = static_cast<uint32_t>(count);
    if (buffer_ && buffer_->ReadHeld(target, wanted)) return wanted;
    uint32_t obtained = 0;
    platform_.ReadFile(file_, target, wanted, &obtained);
    return obtained;
  }

 private:
  DecodePlatform& platform_;
  DecodePlatform::FileHandle file_;
  ReadBuffer* buffer_;
};

// Expands the runs of every line into the bitmap's pixel memory, whose
// rows are the expander's rows (width + (width & 1) pixels).
void ExpandLines(DecodePlatform& platform, DecodePlatform::FileHandle file,
                 const DecodePlatform::CreatedBitmap& bitmap, const FrameEntry& entry,
                 const uint8_t* lineOffsets) {
  PlatformReader reader(platform, file);
  C16Expansion<PlatformReader>(reader, entry, lineOffsets, bitmap.pixels, bitmap.pixelBytes / 2).Run();
}

HRESULT DecodeSpr(DecodePlatform& platform, DecodePlatform::FileHandle file, uint8_t* header,
                  BitmapHandle* bitmap) {
  uint8_t bytes[kFrameEntrySize];
  if (!ReadExactly(platform, file, bytes, kSprHeaderSize) || LoadLe16(bytes) == 0) return E_FAIL;
  if (!ReadExactly(platform, file, bytes, kFrameEntrySize)) return E_FAIL;
  const FrameEntry entry = ParseFrameEntry(bytes);
  if (entry.height == 0 || entry.width == 0) return E_FAIL;

  const uint8_t* colours = nullptr;
  HeldPalette palette(platform, platform.AcquirePalette(&colours));
  if (!palette) return E_FAIL;

  std::memset(header, 0, kHeaderBufferSize);
  WriteInfoHeader(header, entry, 8, kBiRgb);
  std::memcpy(header + kInfoHeaderSize, colours, kPaletteSize);

  HeldDc dc(platform, platform.GetScreenDc());
  if (!dc) return E_FAIL;

  DecodePlatform::CreatedBitmap created;
  if (!CreateBitmapFor(platform, dc.get(), header, bitmap, &created)) return E_FAIL;

  platform.SeekFile(file, entry.offset);
  CopyRows(platform, file, created, entry.width, SprStride(entry.width), entry.height);
  return S_OK;
}

HRESULT DecodeSprite16(DecodePlatform& platform, DecodePlatform::FileHandle file, uint8_t* header,
                       BitmapHandle* bitmap) {
  uint8_t bytes[kFrameEntrySize];
  if (!ReadExactly(platform, file, bytes, kSprite16HeaderSize) || LoadLe16(bytes + 4) == 0)
    return E_FAIL;
  const uint32_t flags = LoadLe32(bytes);
  if (!ReadExactly(platform, file, bytes, kFrameEntrySize)) return E_FAIL;
  const FrameEntry entry = ParseFrameEntry(bytes);

  // Offsets of lines 2..height follow the entry; they are read for S16 too.
  // Height 0 has no table size and fails; height 1 has an empty table.
  if (entry.height == 0) return E_FAIL;
  const std::size_t tableBytes = 4 * (static_cast<std::size_t>(entry.height) - 1);
  HeldBlock lineOffsets(platform, tableBytes > 0 ? platform.AllocateBlock(tableBytes) : nullptr);
  if (tableBytes > 0) {
    if (!lineOffsets) return E_FAIL;
    if (!ReadExactly(platform, file, lineOffsets.get(), static_cast<uint32_t>(tableBytes)))
      return E_FAIL;
  }

  HeldDc dc(platform, platform.GetScreenDc());
  if (!dc) return E_FAIL;

  // Only the info header and the masks are cleared: the rest of the buffer
  // may still hold an earlier palette, which a 16-bit bitmap does not read.
  std::memset(header, 0, kSprite16HeaderClear);
  WriteInfoHeader(header, entry, 16, kBiBitfields);
  const uint32_t* masks = (flags & SPRITE16_RGB565) ? kRgb565Masks : kRgb555Masks;
  for (int i = 0; i < 3; ++i) StoreLe32(header + kInfoHeaderSize + 4 * i, masks[i]);

  DecodePlatform::CreatedBitmap created;
  if (!CreateBitmapFor(platform, dc.get(), header, bitmap, &created)) return E_FAIL;

  if (flags & SPRITE16_COMPRESSED) {
    ExpandLines(platform, file, created, entry, lineOffsets.get());
  } else {
    platform.SeekFile(file, entry.offset);
    CopyRows(platform, file, created, 2 * static_cast<std::size_t>(entry.width),
             Sprite16Stride(entry.width), entry.height);
  }
  return S_OK;
}

}  // namespace

bool IsSprPath(const char16_t* path) {
  std::size_t length = 0;
  while (path[length] != u'\0') ++length;
  if (length < 3) return false;
  static const char16_t kSpr[] = u"spr";
  for (std::size_t i = 0; i < 3; ++i) {
    char16_t c = path[length - 3 + i];
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    if (c != kSpr[i]) return false;
  }
  return true;
}

uint8_t* DecodePlatform::AllocateBlock(std::size_t bytes) { return new (std::nothrow) uint8_t[bytes]; }

ReadBuffer* DecodePlatform::BufferOf(FileHandle) { return nullptr; }

void DecodePlatform::FreeBlock(uint8_t* block) { delete[] block; }

HRESULT DecodeFirstFrame(DecodePlatform& platform, const char16_t* path, uint8_t* header,
                         BitmapHandle* bitmap) {
  HeldFile file(platform, platform.OpenFile(path));
  if (!file) return E_FAIL;
  return IsSprPath(path) ? DecodeSpr(platform, file.get(), header, bitmap)
                         : DecodeSprite16(platform, file.get(), header, bitmap);
}

}  // namespace tamsorel
