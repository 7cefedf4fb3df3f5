// The thumbnail.  Probes the header and frame 1's entry, reads the line
// offsets (16-bit kinds), describes the bitmap in the caller's scratch
// buffer, creates it and has the frame decoder fill it.  Every handle has
// an owner so that each path gives back, in this order, the device
// context, the palette or the line-offset block, and the file.
#include "sprite/first_frame.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "bitmap/bitmap_header.h"
#include "common/unique_handle.h"
#include "sprite/decode_platform.h"
#include "sprite/frame_fill.h"
#include "sprite/read_buffer.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

namespace {

// A platform handle, given back through `Release` of the platform it came
// from.  Owners declared later are released earlier.
template <typename Handle, void (DecodePlatform::*Release)(Handle)>
struct PlatformTraits {
  using Type = Handle;
  DecodePlatform* platform = nullptr;
  static Handle Invalid() { return nullptr; }
  static bool Valid(Handle h) { return h != nullptr; }
  bool Close(Handle h) const {
    (platform->*Release)(h);
    return true;
  }
};

template <typename Handle, void (DecodePlatform::*Release)(Handle)>
class Held : public UniqueHandle<PlatformTraits<Handle, Release>> {
 public:
  Held(DecodePlatform& platform, Handle handle)
      : UniqueHandle<PlatformTraits<Handle, Release>>(handle, PlatformTraits<Handle, Release>{&platform}) {}
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

// The file as the frame decoder reads it: through the platform's read
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

using Failure = FirstFrame::Failure;

// Reads the header and frame 1's entry and probes them.
Failure ProbeFile(DecodePlatform& platform, DecodePlatform::FileHandle file, bool spr, SpriteProbe* probe) {
  uint8_t bytes[kProbeBytes];
  const std::size_t wanted = (spr ? kSprHeaderSize : kSprite16HeaderSize) + kFrameEntrySize;
  uint32_t held = 0;
  while (held < wanted) {
    uint32_t obtained = 0;
    if (!platform.ReadFile(file, bytes + held, static_cast<uint32_t>(wanted - held), &obtained) || obtained == 0)
      break;
    held += obtained;
  }
  *probe = ProbeSprite(bytes, held, spr, /*whole=*/true);
  if (probe->result != SpriteProbe::Result::kSprite) return Failure::kNotSprite;
  if (!probe->hasFirstEntry) return Failure::kNoEntry;
  return Failure::kNone;
}

// Describes frame 1's bitmap in `header`: 8-bit with the built-in palette
// (SPR, once it has the palette) or 16-bit with the channel masks of its
// format (once there is a device context to make it with).
void DescribeBitmap(const SpriteProbe& probe, const uint8_t* palette, uint8_t* header) {
  if (probe.kind == SpriteKind::kSpr) {
    std::memset(header, 0, kHeaderBufferSize);
    WriteInfoHeader(header, probe.firstEntry, 8, kBiRgb);
    std::memcpy(header + kInfoHeaderSize, palette, kPaletteSize);
    return;
  }
  // Only the info header and the masks are cleared: the rest of the buffer
  // may still hold an earlier palette, which a 16-bit bitmap does not read.
  std::memset(header, 0, kSprite16HeaderClear);
  WriteInfoHeader(header, probe.firstEntry, 16, kBiBitfields);
  const uint32_t* masks = probe.format == PixelFormat::kRgb565 ? kRgb565Masks : kRgb555Masks;
  for (int i = 0; i < 3; ++i) StoreLe32(header + kInfoHeaderSize + 4 * i, masks[i]);
}

// The thumbnail's contract, step by step; every handle is given back on
// every path by its guard.
Failure Decode(DecodePlatform& platform, DecodePlatform::FileHandle file, bool spr, uint8_t* header,
               BitmapHandle* bitmap, FirstFrame* frame, const SpriteLimits& limits) {
  SpriteProbe probe;
  const Failure probed = ProbeFile(platform, file, spr, &probe);
  if (probed != Failure::kNone) return probed;
  const FrameEntry& entry = probe.firstEntry;
  frame->kind = probe.kind;
  frame->format = probe.format;
  frame->width = entry.width;
  frame->height = entry.height;
  // A 16-bit frame 0 pixels wide goes on to ask for its bitmap, which the
  // platform refuses: the caller's handle is then null, as it always was.
  if (entry.height == 0 || (spr && entry.width == 0)) return Failure::kNoPixels;
  const std::size_t stride = FrameStride(probe.kind, probe.format, entry.width, /*packed=*/false);
  if (PixelMemoryBytes(stride, entry.height) > limits.framePixelBytes) {
    *bitmap = nullptr;  // as when the platform refuses to make the bitmap
    return Failure::kTooLarge;
  }

  // 16-bit kinds: the offsets of lines 2..height follow the entry.  They
  // are read for S16 too, whose thumbnail needs them whole all the same.
  const uint8_t* palette = nullptr;
  HeldPalette heldPalette(platform, spr ? platform.AcquirePalette(&palette) : nullptr);
  if (spr && !heldPalette) return Failure::kNoPalette;
  if (spr) DescribeBitmap(probe, palette, header);
  const std::size_t tableBytes = spr ? 0 : 4 * (std::size_t{entry.height} - 1);
  HeldBlock lineOffsets(platform, tableBytes > 0 ? platform.AllocateBlock(tableBytes) : nullptr);
  if (tableBytes > 0) {
    if (!lineOffsets) return Failure::kNoMemory;
    if (!ReadExactly(platform, file, lineOffsets.get(), static_cast<uint32_t>(tableBytes)))
      return Failure::kCutLineTable;
  }

  HeldDc dc(platform, platform.GetScreenDc());
  if (!dc) return Failure::kNoScreen;
  if (!spr) DescribeBitmap(probe, palette, header);

  // A bitmap that comes without pixel memory, or whose memory has no known
  // size, is useless to anyone: it is deleted and the caller gets null.
  DecodePlatform::CreatedBitmap created = platform.CreateBitmap(dc.get(), header);
  if (created.handle && (!created.pixels || created.pixelBytes == 0)) {
    platform.DeleteBitmap(created.handle);
    created.handle = nullptr;
  }
  *bitmap = created.handle;
  if (!created.handle) return entry.width == 0 ? Failure::kNoPixels : Failure::kNoMemory;
  frame->stride = stride;
  frame->pixels = created.pixels;
  frame->pixelBytes = created.pixelBytes;

  PlatformReader reader(platform, file);
  FillFrame(reader, probe.kind, probe.format, entry, lineOffsets.get(), created.pixels, stride, created.pixelBytes);
  return Failure::kNone;
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
                         BitmapHandle* bitmap, FirstFrame* frame, const SpriteLimits& limits) {
  FirstFrame ignored;
  if (!frame) frame = &ignored;
  *frame = FirstFrame{};
  HeldFile file(platform, platform.OpenFile(path));
  frame->failure = file ? Decode(platform, file.get(), IsSprPath(path), header, bitmap, frame, limits)
                        : Failure::kCannotOpen;
  return frame->failure == Failure::kNone ? S_OK : E_FAIL;
}

std::string FirstFrameFailureText(const FirstFrame& frame, uint64_t fileBytes, const SpriteLimits& limits) {
  const std::string size = std::to_string(frame.width) + " \u00D7 " + std::to_string(frame.height) + " pixels";
  switch (frame.failure) {
    case Failure::kNone: return {};
    case Failure::kCannotOpen: return "cannot be opened";
    case Failure::kNotSprite:
      return fileBytes == 0 ? "empty file, not a readable sprite" : "not a readable sprite";
    case Failure::kNoEntry: return "not a readable sprite: the file ends before the first frame's entry";
    case Failure::kNoPixels: return "not a readable sprite: its first frame is " + size;
    case Failure::kCutLineTable: return "not a readable sprite: the file ends inside the first frame's line table";
    case Failure::kTooLarge:
      return "frame of " + size + " is larger than the " + MiBText(limits.framePixelBytes) + " limit";
    case Failure::kNoMemory: return "not enough memory for a frame of " + size;
    case Failure::kNoPalette: return "the built-in palette cannot be found";
    case Failure::kNoScreen: return "no device context to make the bitmap with";
  }
  return "not a readable sprite";
}

}  // namespace tamsorel
