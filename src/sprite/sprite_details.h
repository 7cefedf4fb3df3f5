// What a file's details show of a sprite: the first frame's size, the bit
// depth, the number of frames (held, and claimed by the header) and the
// pixel format, read from the header and the frame directory alone.  Portable; the property handler of the DLL
// (property_store.h) turns these into shell properties.
//
// The details never cost a pixel read: the frame core opens the file
// reading only its directory (Sprite::Reading::kDirectory), that is the
// header and the frame entries, each byte once, and no C16 line table.
#pragma once

#include <cstdint>
#include <string>

#include "sprite/byte_source.h"
#include "sprite/sprite.h"

namespace tamsorel {

struct SpriteDetails {
  SpriteKind kind = SpriteKind::kSpr;
  PixelFormat format = PixelFormat::kIndexed8;
  // The first frame's size; false when the file ends before its entry.
  bool hasSize = false;
  uint32_t width = 0;
  uint32_t height = 0;
  // Frames whose directory entries the file holds (a header may claim
  // more than the file has room for).
  uint32_t frameCount = 0;
  // Frames as the header claims them: frameCount, or more when the file
  // ends before the entries it claims.  Read from the header; it costs no
  // read of the entries it claims beyond the file.
  uint32_t claimedFrameCount = 0;

  bool ClaimDiffers() const { return claimedFrameCount != frameCount; }

  uint32_t BitDepth() const { return format == PixelFormat::kIndexed8 ? 8 : 16; }
};

// "8-bit palette", "16-bit 5-6-5", "16-bit 5-5-5"; C16 adds ", compressed".
std::string PixelFormatText(SpriteKind kind, PixelFormat format);
// "W x H", as Windows writes an image's dimensions.
std::string DimensionsText(uint32_t width, uint32_t height);

// Reads the details of the sprite in `source` (`spr`: the file's name ends
// in "spr").  False, with the reason in `*problem`, when the bytes are no
// sprite: the frame core finds no header or no frames, or no frame is
// readable and the first frame's entry does not describe one either (no
// size, or pixels that would start inside its own entry or beyond both the
// end of the file and the end of the entries the header claims).  A
// damaged sprite gives what could be read.
// `*fetched`, when given, receives the bytes read from `source`.
bool ReadSpriteDetails(ByteSource& source, bool spr, SpriteDetails* details, std::string* problem,
                       uint64_t* fetched = nullptr);

}  // namespace tamsorel
