#include "bitmap/bmp_file.h"

#include <cstring>
#include <limits>

#include "bitmap/bitmap_header.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

std::vector<uint8_t> MakeBmpFile(const uint8_t* header, const uint8_t* pixels,
                                 std::size_t pixelBytes) {
  const std::size_t colours = ColourBytes(ReadBitmapHeader(header));
  if (colours == 0) return {};
  const std::size_t offBits = kFileHeaderSize + kInfoHeaderSize + colours;
  if (pixelBytes > std::numeric_limits<uint32_t>::max() - offBits) return {};
  const std::size_t fileSize = offBits + pixelBytes;

  std::vector<uint8_t> file(fileSize);
  uint8_t* out = file.data();
  out[0] = 'B';
  out[1] = 'M';
  StoreLe32(out + 2, static_cast<uint32_t>(fileSize));
  // bfReserved1 and bfReserved2 stay 0.
  StoreLe32(out + 10, static_cast<uint32_t>(offBits));
  std::memcpy(out + kFileHeaderSize, header, kInfoHeaderSize + colours);
  if (pixelBytes > 0) std::memcpy(out + offBits, pixels, pixelBytes);
  return file;
}

}  // namespace tamsorel
