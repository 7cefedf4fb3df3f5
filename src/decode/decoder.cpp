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

// The same two reads for the C16 loop, served straight from the platform's
// read buffer when it holds the bytes (`buffer` may be null).
bool ReadExactly(DecodePlatform& platform, DecodePlatform::FileHandle file, ReadBuffer* buffer,
                 void* target, uint32_t count) {
  return (buffer && buffer->ReadHeld(target, count)) || ReadExactly(platform, file, target, count);
}

void ReadPixels(DecodePlatform& platform, DecodePlatform::FileHandle file, ReadBuffer* buffer,
                uint8_t* target, std::size_t count) {
  if (!buffer || !buffer->ReadHeld(target, static_cast<uint32_t>(count)))
    ReadPixels(platform, file, target, count);
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

// Expands the runs of every line into the pixel memory.  The write position
// carries on from where the previous line left it (plus the padding pixel of
// odd widths), so a well-formed line k fills exactly bitmap row k.  A run
// that would pass the end of the pixel memory is cut there and ends the
// expansion: the position never moves beyond the memory.
//
// The work is bounded by the pixel memory and the number of lines: every
// tag either moves the write position or ends its line, except empty colour
// runs (tag 1), which do neither.  After kIdleTagAllowance of those the
// expansion stops and the pixels drawn so far stand, so a file whose lines
// all point at the same long chain of empty runs costs no more than a
// well-formed one.
struct Expansion {
  uint8_t* pixels;
  std::size_t totalPixels;
  const FrameEntry& entry;
  const uint8_t* lineOffsets;
  std::size_t p = 0;  // write position, in pixels
  uint32_t idleTags = 0;
  uint32_t line = 0;

  uint32_t LineOffset() const {
    return line == 0 ? entry.offset : LoadLe32(lineOffsets + 4 * (line - 1));
  }
  // Moves past the end of the current line: the padding pixel of odd
  // widths, then the next line.  False when the expansion is over: no room
  // for the padding pixel, or no line left.
  bool NextLine() {
    if (entry.width & 1) {
      if (p == totalPixels) return false;
      ++p;
    }
    return ++line < entry.height;
  }
};

enum class Expanded { kMore, kSeekLine, kDone };

// Expands the tags and runs that the read buffer holds whole, parsing them
// in place, exactly as the tag-by-tag reads below would: it stops before the
// first tag or run the buffer does not hold, and before a run that would
// pass the end of the pixel memory, and leaves those to the reads.  When a
// line ends, the next one goes on here if the buffer holds its start (lines
// usually follow each other); otherwise kSeekLine.
Expanded ExpandHeldRuns(ReadBuffer& buffer, Expansion& x) {
  uint32_t held = 0;
  const uint8_t* const first = buffer.Held(&held);
  const uint64_t firstAt = buffer.position();
  const uint8_t* in = first;
  const uint8_t* const inEnd = first + held;
  uint8_t* out = x.pixels + 2 * x.p;
  uint8_t* const outEnd = x.pixels + 2 * x.totalPixels;
  Expanded outcome = Expanded::kMore;
  while (inEnd - in >= 2) {
    const uint16_t tag = LoadLe16(in);
    const std::size_t bytes = tag & ~1u;  // the run's pixels times two
    if (bytes == 0) {
      in += 2;
      if (tag == 0) {
        x.p = static_cast<std::size_t>(out - x.pixels) / 2;
        if (!x.NextLine()) {
          outcome = Expanded::kDone;
          break;
        }
        out = x.pixels + 2 * x.p;
        const uint64_t next = x.LineOffset();
        if (next < firstAt || next - firstAt >= held) {
          outcome = Expanded::kSeekLine;
          break;
        }
        in = first + (next - firstAt);
        continue;
      }
      if (++x.idleTags > kIdleTagAllowance) {
        outcome = Expanded::kDone;
        break;
      }
      continue;
    }
    if (bytes > static_cast<std::size_t>(outEnd - out)) break;
    if (tag & 1) {
      if (bytes > static_cast<std::size_t>(inEnd - in - 2)) break;
      std::memcpy(out, in + 2, bytes);
      in += 2 + bytes;
    } else {
      in += 2;
    }
    out += bytes;
  }
  // `in` never lies before `first`: only lines at or after it are taken.
  buffer.Consume(static_cast<uint32_t>(in - first));
  x.p = static_cast<std::size_t>(out - x.pixels) / 2;
  return outcome;
}

// Expands from the current file position until a line ends (kSeekLine: the
// next line must be sought) or the expansion is over (kDone).
Expanded ExpandFromHere(DecodePlatform& platform, DecodePlatform::FileHandle file,
                        ReadBuffer* buffer, Expansion& x) {
  for (;;) {
    if (buffer) {
      const Expanded held = ExpandHeldRuns(*buffer, x);
      if (held != Expanded::kMore) return held;
    }
    // One tag (and its run) through the reads: the buffer does not hold it
    // whole, or the run reaches the end of the pixel memory.
    uint8_t tagBytes[2];
    uint16_t tag = 0;
    if (ReadExactly(platform, file, buffer, tagBytes, sizeof tagBytes)) tag = LoadLe16(tagBytes);
    if (tag == 0) return x.NextLine() ? Expanded::kSeekLine : Expanded::kDone;
    const std::size_t run = tag >> 1;
    if (run == 0) {
      if (++x.idleTags > kIdleTagAllowance) return Expanded::kDone;
      continue;
    }
    const std::size_t room = x.totalPixels - x.p;
    if (run > room) {
      if ((tag & 1) && room > 0) ReadPixels(platform, file, buffer, x.pixels + 2 * x.p, 2 * room);
      return Expanded::kDone;
    }
    if (tag & 1) ReadPixels(platform, file, buffer, x.pixels + 2 * x.p, 2 * run);
    x.p += run;
  }
}

void ExpandLines(DecodePlatform& platform, DecodePlatform::FileHandle file,
                 const DecodePlatform::CreatedBitmap& bitmap, const FrameEntry& entry,
                 const uint8_t* lineOffsets) {
  Expansion x{bitmap.pixels, bitmap.pixelBytes / 2, entry, lineOffsets};
  ReadBuffer* const buffer = platform.BufferOf(file);
  do {
    platform.SeekFile(file, x.LineOffset());
  } while (ExpandFromHere(platform, file, buffer, x) == Expanded::kSeekLine);
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
