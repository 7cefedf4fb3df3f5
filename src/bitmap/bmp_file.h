// A decoded first frame as a .bmp file: BITMAPFILEHEADER, the bitmap header
// exactly as the decoder wrote it (top-down, negative height), the colour
// table (8-bit) or the three channel masks (16-bit), then the pixel memory
// as it is, rows with their padding.  Used by tamsorel-thumb and meant for
// any other tool that saves a decoded bitmap, so that all write the same
// bytes from the same bitmap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsorel {

constexpr std::size_t kFileHeaderSize = 14;  // BITMAPFILEHEADER

// `header` is the decoder's scratch buffer (40-byte header + colours),
// `pixels` the bitmap's pixel memory of `pixelBytes`.  Returns an empty
// vector when the header describes no bitmap of this system or the file
// would not fit the 32-bit size field.
std::vector<uint8_t> MakeBmpFile(const uint8_t* header, const uint8_t* pixels,
                                 std::size_t pixelBytes);

}  // namespace tamsorel
