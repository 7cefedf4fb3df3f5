// The frames the speed measurements decode: a picture like the ones sprites
// hold (a shaded disc with a hole and a border of transparency; about a
// third of the pixels are transparent) at a given size, encoded as each of
// the three kinds.  Shared by bench_decode and the Windows timing mode of
// the soak program, so both measure the same files.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sprite_encoder.h"

namespace tamsorel::test {

inline void SamplePicture(int size, std::vector<uint16_t>* pixels, std::vector<bool>* clear) {
  pixels->resize(std::size_t(size) * size);
  clear->resize(pixels->size());
  const double c = (size - 1) / 2.0;
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      const std::size_t i = std::size_t(y) * size + x;
      const double d = std::hypot(x - c, y - c) / (size / 2.0);
      (*clear)[i] = d > 0.97 || (d > 0.2 && d < 0.3) || ((x / 16 + y / 16) % 7 == 0 && d > 0.6);
      (*pixels)[i] = static_cast<uint16_t>(((x * 31 / size) << 11) | ((y * 63 / size) << 5) |
                                           ((x + y) * 31 / (2 * size)));
    }
  }
}

// `kind` is "spr", "s16" or "c16".
inline Bytes EncodeSamplePicture(const std::string& kind, int size) {
  std::vector<uint16_t> px;
  std::vector<bool> clear;
  SamplePicture(size, &px, &clear);
  const auto s = static_cast<uint16_t>(size);
  if (kind == "spr") {
    std::vector<uint8_t> idx(px.size());
    for (std::size_t i = 0; i < px.size(); ++i) idx[i] = clear[i] ? 0 : static_cast<uint8_t>(px[i] >> 8);
    return EncodeSpr(s, s, idx);
  }
  if (kind == "s16") return EncodeS16(1, s, s, px);
  return EncodeC16(1, s, s, px, clear);
}

// Pixel values and a transparency pattern for `n` pixels, without any
// picture in them: for tests whose files must span several read blocks.
inline std::vector<uint16_t> ScrambledPixels(std::size_t n) {
  std::vector<uint16_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint16_t>(i * 2654435761u >> 7);
  return v;
}

inline std::vector<bool> ScatteredHoles(std::size_t n) {
  std::vector<bool> clear(n);
  for (std::size_t i = 0; i < n; ++i) clear[i] = (i / 37) % 3 == 0 || i % 11 == 0;
  return clear;
}

}  // namespace tamsorel::test
