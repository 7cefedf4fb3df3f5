// The built-in 256-colour palette of SPR sprites, compiled in from the same
// source (resources/palette.inc) as the DLL's PALETTE resource.
#pragma once

#include <cstdint>

namespace tamsorel {

// 256 RGBQUADs: blue, green, red, 0.
extern const uint8_t kBuiltInPalette[1024];

}  // namespace tamsorel
