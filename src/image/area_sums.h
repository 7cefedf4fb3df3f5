// The arithmetic of area averaging, shared by ScaledRows (rgba.h) and the
// preview pane's shrinking of decoded frames (pane_render.cpp), so that
// both give the same pixels.
//
// Coordinates: when `source` pixels shrink to `target` (target <= source),
// source pixel x spans [x * target, (x + 1) * target) and output pixel X
// spans [X * source, (X + 1) * source), so overlaps are whole numbers and
// each output pixel's add up to `source`.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsorel {

// Which source pixels each output pixel covers along one direction, and by
// how much.
struct Taps {
  std::vector<uint32_t> first, count;
  std::vector<double> weight;  // every output pixel's in turn

  Taps(uint32_t source, uint32_t target) : first(target), count(target) {
    weight.reserve(std::size_t{source} + target);
    for (uint32_t X = 0; X < target; ++X) {
      const uint64_t left = uint64_t{X} * source, right = left + source;
      const uint64_t x0 = left / target, x1 = (right - 1) / target;
      first[X] = static_cast<uint32_t>(x0);
      count[X] = static_cast<uint32_t>(x1 - x0 + 1);
      for (uint64_t x = x0; x <= x1; ++x)
        weight.push_back(static_cast<double>(std::min(right, (x + 1) * target) - std::max(left, x * target)));
    }
  }
};

// Two doubles, added, multiplied and divided lane by lane (SIMD where the
// target has it): channels are summed in pairs.  The sums are whole numbers
// below 2^53, so doubles hold them exactly, and quotients of such numbers
// truncate to the integer quotients.
typedef double Pair __attribute__((vector_size(2 * sizeof(double))));

// One source row's pairs (two per source pixel) summed across into `row`
// (two per output pixel), weighted by the taps.
inline void SumAcross(const Taps& across, const Pair* plane, uint32_t width, Pair* row) {
  const double* w = across.weight.data();
  for (uint32_t X = 0; X < width; ++X) {
    const Pair* from = &plane[std::size_t{across.first[X]} * 2];
    Pair a = w[0] * from[0], b = w[0] * from[1];
    for (uint32_t k = 1; k < across.count[X]; ++k) a += w[k] * from[2 * k], b += w[k] * from[2 * k + 1];
    w += across.count[X];
    row[2 * X] = a, row[2 * X + 1] = b;
  }
}

}  // namespace tamsorel
