#include "sprite/palette.h"

namespace tamsorel {

#define PALETTE_ENTRY(rrggbb)                                                \
  static_cast<uint8_t>(0x##rrggbb & 0xFF), static_cast<uint8_t>((0x##rrggbb >> 8) & 0xFF), \
      static_cast<uint8_t>(0x##rrggbb >> 16), 0,

const uint8_t kBuiltInPalette[1024] = {
#include "palette.inc"
};

#undef PALETTE_ENTRY

static_assert(sizeof kBuiltInPalette == 1024, "the palette holds 256 RGBQUADs");

}  // namespace tamsorel
