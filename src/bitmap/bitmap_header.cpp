#include "bitmap/bitmap_header.h"

#include <climits>
#include <limits>

#include "sprite/sprite_format.h"

namespace tamsorel {

BitmapHeaderView ReadBitmapHeader(const uint8_t* header) {
  BitmapHeaderView view;
  view.width = static_cast<int32_t>(LoadLe32(header + kBiWidth));
  view.height = static_cast<int32_t>(LoadLe32(header + kBiHeight));
  view.planes = LoadLe16(header + kBiPlanes);
  view.bitCount = LoadLe16(header + kBiBitCount);
  view.compression = LoadLe32(header + kBiCompression);
  return view;
}

std::size_t ColourBytes(const BitmapHeaderView& view) {
  if (view.bitCount == 8 && view.compression == kBiRgb) return kPaletteSize;
  if (view.bitCount == 16 && view.compression == kBiBitfields) return kMaskBytes;
  return 0;
}

std::size_t BitmapStride(const BitmapHeaderView& view) {
  if (view.width <= 0 || view.planes != 1 || ColourBytes(view) == 0) return 0;
  // In 64 bits: a 32-bit size_t could wrap for the widths a header allows.
  const uint64_t bytes = (static_cast<uint64_t>(view.width) * view.bitCount + 31) / 32 * 4;
  return bytes <= std::numeric_limits<std::size_t>::max() ? static_cast<std::size_t>(bytes) : 0;
}

uint64_t BitmapPixelBytes(const BitmapHeaderView& view) {
  const std::size_t stride = BitmapStride(view);
  if (stride == 0 || view.height == 0 || view.height == INT32_MIN) return 0;
  const uint32_t rows = static_cast<uint32_t>(view.height < 0 ? -view.height : view.height);
  return static_cast<uint64_t>(stride) * rows;
}

}  // namespace tamsorel
