#include "frames/rgba.h"

#include <algorithm>
#include <cstring>

#include "decode/bitmap_header.h"
#include "decode/palette.h"
#include "decode/sprite_format.h"

namespace tamsorel {

FrameView ViewOf(const StoredFrame& frame) {
  FrameView view;
  view.width = frame.width;
  view.height = frame.height;
  view.format = frame.format;
  view.pixels = frame.pixels.data();
  view.stride = static_cast<std::ptrdiff_t>(frame.RowBytes());
  view.palette = kBuiltInPalette;
  return view;
}

FrameView ViewOf(const FirstFrame& frame) {
  FrameView view;
  view.width = frame.pixels ? frame.width : 0;
  view.height = frame.pixels ? frame.height : 0;
  view.format = frame.format;
  view.pixels = frame.pixels;
  view.stride = static_cast<std::ptrdiff_t>(frame.stride);
  view.palette = kBuiltInPalette;
  return view;
}

FrameRgbaRows::FrameRgbaRows(const FrameView& view) : view_(view) {
  if (view.format != PixelFormat::kIndexed8) return;
  for (int i = 0; i < 256; ++i) {
    // Colour table entries are blue, green, red, reserved.
    palette_[i][0] = view.palette[4 * i + 2];
    palette_[i][1] = view.palette[4 * i + 1];
    palette_[i][2] = view.palette[4 * i + 0];
  }
}

void FrameRgbaRows::ReadRow(uint32_t y, uint8_t* rgba) {
  const uint8_t* row = view_.pixels + view_.stride * static_cast<std::ptrdiff_t>(y);
  const uint32_t width = view_.width;
  switch (view_.format) {
    case PixelFormat::kIndexed8:
      for (uint32_t x = 0; x < width; ++x, rgba += 4) {
        const uint8_t value = row[x];
        rgba[0] = palette_[value][0];
        rgba[1] = palette_[value][1];
        rgba[2] = palette_[value][2];
        rgba[3] = value == 0 ? 0 : 255;
      }
      break;
    case PixelFormat::kRgb565:
      for (uint32_t x = 0; x < width; ++x, rgba += 4) {
        const uint32_t value = LoadLe16(row + 2 * x);
        rgba[0] = Widen5(value >> 11);
        rgba[1] = Widen6(value >> 5);
        rgba[2] = Widen5(value);
        rgba[3] = value == 0 ? 0 : 255;
      }
      break;
    case PixelFormat::kRgb555:
      for (uint32_t x = 0; x < width; ++x, rgba += 4) {
        const uint32_t value = LoadLe16(row + 2 * x);
        rgba[0] = Widen5(value >> 10);
        rgba[1] = Widen5(value >> 5);
        rgba[2] = Widen5(value);
        rgba[3] = value == 0 ? 0 : 255;
      }
      break;
  }
}

Extent FitWithin(uint32_t width, uint32_t height, uint32_t size) {
  if (size == 0 || (width <= size && height <= size)) return {width, height};
  // The longer side becomes `size`; the other keeps the ratio, rounded.
  const bool landscape = width >= height;
  const uint64_t longer = landscape ? width : height;
  const uint64_t shorter = landscape ? height : width;
  const auto scaled = static_cast<uint32_t>(std::max<uint64_t>(1, (shorter * size + longer / 2) / longer));
  return landscape ? Extent{size, scaled} : Extent{scaled, size};
}

// Coordinates: a source pixel x spans [x * W', (x + 1) * W') and an output
// pixel X spans [X * W, (X + 1) * W), where W and W' are the source and output
// widths (rows the same with the heights).  Overlaps are then whole numbers,
// each output pixel covers a total weight of W * H, and as W' <= W a source
// pixel touches at most two output pixels in each direction.
ScaledRows::ScaledRows(RgbaRows& source, Extent target)
    : source_(source),
      target_{std::min(std::max<uint32_t>(target.width, 1), std::max<uint32_t>(source.Width(), 1)),
              std::min(std::max<uint32_t>(target.height, 1), std::max<uint32_t>(source.Height(), 1))},
      sourceRow_(std::size_t{source.Width()} * 4),
      sums_(std::size_t{target_.width} * 4) {}

void ScaledRows::AddSourceRow(uint32_t sy, uint64_t rowWeight) {
  if (sourceRowHeld_ != sy) {
    source_.ReadRow(sy, sourceRow_.data());
    sourceRowHeld_ = sy;
  }
  const uint64_t w = source_.Width(), tw = target_.width;
  for (uint64_t x = 0; x < w; ++x) {
    const uint8_t* p = &sourceRow_[4 * x];
    const uint64_t alpha = p[3];
    if (alpha == 0) continue;  // adds nothing to any sum
    const uint64_t begin = x * tw, end = begin + tw;
    const uint64_t X = begin / w;
    const uint64_t boundary = (X + 1) * w;
    const uint64_t first = std::min(end, boundary) - begin;
    const uint64_t parts[2] = {first, tw - first};
    for (uint64_t k = 0; k < 2 && parts[k] != 0; ++k) {
      const uint64_t weight = parts[k] * rowWeight * alpha;
      uint64_t* sum = &sums_[4 * (X + k)];
      sum[0] += weight * p[0];
      sum[1] += weight * p[1];
      sum[2] += weight * p[2];
      sum[3] += weight;
    }
  }
}

void ScaledRows::ReadRow(uint32_t y, uint8_t* rgba) {
  std::fill(sums_.begin(), sums_.end(), 0);
  const uint64_t h = source_.Height(), th = target_.height;
  const uint64_t top = y * h, bottom = top + h;  // this row's span in output units
  for (uint64_t sy = top / th; sy * th < bottom && sy < h; ++sy) {
    const uint64_t overlap = std::min(bottom, (sy + 1) * th) - std::max(top, sy * th);
    AddSourceRow(static_cast<uint32_t>(sy), overlap);
  }
  const uint64_t area = uint64_t{source_.Width()} * source_.Height();
  for (uint32_t x = 0; x < target_.width; ++x, rgba += 4) {
    const uint64_t* sum = &sums_[4 * std::size_t{x}];
    const uint64_t alphaSum = sum[3];  // weighted alpha; the colour sums carry it too
    for (int c = 0; c < 3; ++c)
      rgba[c] = alphaSum == 0 ? 0 : static_cast<uint8_t>((sum[c] + alphaSum / 2) / alphaSum);
    rgba[3] = area == 0 ? 0 : static_cast<uint8_t>((alphaSum + area / 2) / area);
  }
}

std::vector<uint8_t> ReadAllRows(RgbaRows& rows) {
  const std::size_t rowBytes = std::size_t{rows.Width()} * 4;
  std::vector<uint8_t> all(rowBytes * rows.Height());
  for (uint32_t y = 0; y < rows.Height(); ++y) rows.ReadRow(y, all.data() + rowBytes * y);
  return all;
}

}  // namespace tamsorel
