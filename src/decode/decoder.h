// First-frame decoder: turns the first frame of a .spr/.s16/.c16 file into a
// top-down device-independent bitmap.  Portable; the platform is reached only
// through DecodePlatform (decode_platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/hresult.h"
#include "decode/c16_lines.h"

namespace tamsorel {

class DecodePlatform;

// Size of the bitmap-header scratch buffer the caller owns: a 40-byte
// BITMAPINFOHEADER followed by a 1024-byte colour table (or three masks).
constexpr std::size_t kHeaderBufferSize = 1068;

// Opaque bitmap handle made by the platform (an HBITMAP on Windows).
using BitmapHandle = void*;

// Decodes the first frame of the sprite at `path` (UTF-16, NUL-terminated).
// `header` must point at kHeaderBufferSize bytes.  S_OK or E_FAIL.
HRESULT DecodeFirstFrame(DecodePlatform& platform, const char16_t* path,
                         uint8_t* header, BitmapHandle* bitmap);

}  // namespace tamsorel
