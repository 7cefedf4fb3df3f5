// What the WIC decoder must give for one stored pixel value: 16-bit 5-6-5
// widened by bit replication, SPR from the built-in palette, 0 transparent
// (all four bytes 0).  Written out here, apart from the conversion it checks.
#pragma once

#include <cstdint>
#include <vector>

#include "sprite/palette.h"
#include "sprite/sprite_probe.h"

namespace tamsorel::test {

inline std::vector<uint8_t> ExpectedBgra(SpriteKind kind, uint16_t value) {
  if (value == 0) return {0, 0, 0, 0};
  if (kind == SpriteKind::kSpr)
    return {kBuiltInPalette[value * 4], kBuiltInPalette[value * 4 + 1], kBuiltInPalette[value * 4 + 2], 255};
  const uint32_t r = value >> 11, g = (value >> 5) & 63, b = value & 31;
  return {static_cast<uint8_t>((b << 3) | (b >> 2)), static_cast<uint8_t>((g << 2) | (g >> 4)),
          static_cast<uint8_t>((r << 3) | (r >> 2)), 255};
}

}  // namespace tamsorel::test
