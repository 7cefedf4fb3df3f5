#include "sprite/sprite_probe.h"

namespace tamsorel {

const char* KindName(SpriteKind kind) {
  switch (kind) {
    case SpriteKind::kSpr: return "spr";
    case SpriteKind::kS16: return "s16";
    case SpriteKind::kC16: return "c16";
  }
  return "?";
}

const char* FormatName(PixelFormat format) {
  switch (format) {
    case PixelFormat::kIndexed8: return "indexed8";
    case PixelFormat::kRgb565: return "rgb565";
    case PixelFormat::kRgb555: return "rgb555";
  }
  return "?";
}

std::string MiBText(uint64_t bytes) {
  return bytes % (uint64_t{1} << 20) == 0 ? std::to_string(bytes >> 20) + " MiB" : std::to_string(bytes) + " bytes";
}

SpriteProbe ProbeSprite(const uint8_t* bytes, std::size_t size, bool spr, bool whole) {
  SpriteProbe probe;
  probe.headerBytes = static_cast<uint32_t>(spr ? kSprHeaderSize : kSprite16HeaderSize);
  if (size < probe.headerBytes) {
    if (whole) {
      probe.problem = "too short for the header of a sprite";
    } else {
      probe.result = SpriteProbe::Result::kNeedMore;
      probe.bytesNeeded = probe.headerBytes;
    }
    return probe;
  }
  if (spr) {
    probe.kind = SpriteKind::kSpr;
    probe.format = PixelFormat::kIndexed8;
    probe.claimedFrames = LoadLe16(bytes);
  } else {
    const uint32_t flags = LoadLe32(bytes);
    probe.kind = (flags & SPRITE16_COMPRESSED) ? SpriteKind::kC16 : SpriteKind::kS16;
    probe.format = (flags & SPRITE16_RGB565) ? PixelFormat::kRgb565 : PixelFormat::kRgb555;
    probe.claimedFrames = LoadLe16(bytes + 4);
  }
  if (probe.claimedFrames == 0) {
    probe.problem = "its header says it holds no frames";
    return probe;
  }
  const std::size_t withEntry = probe.headerBytes + kFrameEntrySize;
  if (size < withEntry && !whole) {
    probe.result = SpriteProbe::Result::kNeedMore;
    probe.bytesNeeded = withEntry;
    return probe;
  }
  probe.result = SpriteProbe::Result::kSprite;
  probe.hasFirstEntry = size >= withEntry;
  if (probe.hasFirstEntry) probe.firstEntry = ParseFrameEntry(bytes + probe.headerBytes);
  return probe;
}

}  // namespace tamsorel
