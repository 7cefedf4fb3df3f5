// The thumbnail: frame 1 of a .spr/.s16/.c16 file placed into a top-down
// device-independent bitmap.  The header and frame 1's entry are read by
// the probe (sprite_probe.h) and the pixels filled by the frame decoder
// every surface uses (frame_fill.h); what is left here is the thumbnail's
// own contract.  Portable; the platform is reached only through
// DecodePlatform (decode_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/hresult.h"
#include "sprite/sprite_probe.h"

namespace tamsorel {

class DecodePlatform;

// Size of the bitmap-header scratch buffer the caller owns: a 40-byte
// BITMAPINFOHEADER followed by a 1024-byte colour table (or three masks).
constexpr std::size_t kHeaderBufferSize = 1068;

// Opaque bitmap handle made by the platform (an HBITMAP on Windows).
using BitmapHandle = void*;

// How a thumbnail decode ended, and the frame it made.
struct FirstFrame {
  enum class Failure {
    kNone,
    kCannotOpen,     // the file cannot be opened
    kNotSprite,      // too short for a header, or no frames claimed
    kNoEntry,        // the file ends before frame 1's entry
    kNoPixels,       // frame 1 is 0 pixels wide or high
    kCutLineTable,   // the file ends inside frame 1's line table
    kTooLarge,       // frame 1 needs more than the limit's pixel memory
    kNoMemory,       // the line table or the bitmap could not be had
    kNoPalette,      // the built-in palette cannot be found
    kNoScreen,       // no device context to make the bitmap with
  };
  Failure failure = Failure::kNone;
  SpriteKind kind = SpriteKind::kSpr;
  PixelFormat format = PixelFormat::kIndexed8;
  // Frame 1's size, once its entry was read; the bitmap's row stride and
  // pixel memory, once it was made.
  uint32_t width = 0;
  uint32_t height = 0;
  std::size_t stride = 0;
  uint8_t* pixels = nullptr;
  std::size_t pixelBytes = 0;
};

// Why a thumbnail could not be made, in words ("" for kNone).  `fileBytes`
// tells an empty file from other short ones; `limits` are those the decode
// had.
std::string FirstFrameFailureText(const FirstFrame& frame, uint64_t fileBytes, const SpriteLimits& limits = {});

// Decodes the first frame of the sprite at `path` (UTF-16, NUL-terminated).
// `header` must point at kHeaderBufferSize bytes.  S_OK or E_FAIL; `frame`,
// when given, says why and describes the bitmap.  A frame whose pixel
// memory would pass the limit is refused before any bitmap is made.
HRESULT DecodeFirstFrame(DecodePlatform& platform, const char16_t* path, uint8_t* header,
                         BitmapHandle* bitmap, FirstFrame* frame = nullptr, const SpriteLimits& limits = {});

}  // namespace tamsorel
