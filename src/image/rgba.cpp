#include "image/rgba.h"

#include <algorithm>
#include <cstring>

#include "sprite/palette.h"
#include "sprite/sprite_format.h"
#include "image/area_sums.h"

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

// Source row sy spans [sy * H', (sy + 1) * H') and output row y spans
// [y * H, (y + 1) * H) (H, H' the source and output heights); columns the
// same by the taps.  Each output pixel covers a total weight of W * H.
// Colours are summed premultiplied by alpha, in pairs: (red, green) and
// (blue, alpha).  Sums stay below W * H * 255 * 255 < 2^53: exact.
struct ScaledRows::Sums {
  Sums(uint32_t sourceWidth, uint32_t width)
      : across(sourceWidth, width),
        rgba(std::size_t{sourceWidth} * 4),
        plane(std::size_t{sourceWidth} * 2),
        row(std::size_t{width} * 2),
        sums(std::size_t{width} * 2) {}

  Taps across;
  std::vector<uint8_t> rgba;  // the source row `held`
  std::vector<Pair> plane, row, sums;
  uint32_t held = UINT32_MAX;
};

ScaledRows::ScaledRows(RgbaRows& source, Extent target)
    : source_(source),
      target_{std::min(std::max<uint32_t>(target.width, 1), std::max<uint32_t>(source.Width(), 1)),
              std::min(std::max<uint32_t>(target.height, 1), std::max<uint32_t>(source.Height(), 1))},
      sums_(new Sums(source.Width(), target_.width)) {}

ScaledRows::~ScaledRows() = default;

void ScaledRows::ReadRow(uint32_t y, uint8_t* out) {
  const uint32_t sw = source_.Width(), sh = source_.Height(), width = target_.width, th = target_.height;
  if (sw == 0 || sh == 0) {
    std::memset(out, 0, std::size_t{width} * 4);
    return;
  }
  Sums& s = *sums_;
  std::fill(s.sums.begin(), s.sums.end(), Pair{});
  const uint64_t top = uint64_t{y} * sh, bottom = top + sh;
  for (uint64_t sy = top / th; sy * th < bottom && sy < sh; ++sy) {
    const double overlap = static_cast<double>(std::min(bottom, (sy + 1) * th) - std::max(top, sy * th));
    if (sy != s.held) {
      s.held = static_cast<uint32_t>(sy);
      source_.ReadRow(s.held, s.rgba.data());
      const uint8_t* p = s.rgba.data();
      for (uint32_t x = 0; x < sw; ++x, p += 4) {
        const double a = p[3];
        s.plane[2 * x] = Pair{double(p[0]), double(p[1])} * a, s.plane[2 * x + 1] = Pair{double(p[2]) * a, a};
      }
      SumAcross(s.across, s.plane.data(), width, s.row.data());
    }
    for (std::size_t i = 0; i < s.sums.size(); ++i) s.sums[i] += overlap * s.row[i];
  }
  const uint64_t area = uint64_t{sw} * sh;
  const double areaD = static_cast<double>(area), halfArea = static_cast<double>(area / 2);
  for (uint32_t X = 0; X < width; ++X) {
    uint8_t* o = out + std::size_t{X} * 4;
    const Pair rg = s.sums[2 * X], ba = s.sums[2 * X + 1];
    const double alphaSum = ba[1];  // weighted alpha; the colour sums carry it too
    if (alphaSum == 0) {
      std::memset(o, 0, 4);
      continue;
    }
    // Colours rounded half up: (S + A / 2) / A; alpha (A + area / 2) / area.
    const double half = static_cast<double>(static_cast<uint64_t>(alphaSum) / 2);
    const Pair qrg = (rg + half) / alphaSum;
    const Pair qba = (ba + Pair{half, halfArea}) / Pair{alphaSum, areaD};
    o[0] = static_cast<uint8_t>(static_cast<int>(qrg[0]));
    o[1] = static_cast<uint8_t>(static_cast<int>(qrg[1]));
    o[2] = static_cast<uint8_t>(static_cast<int>(qba[0]));
    o[3] = static_cast<uint8_t>(static_cast<int>(qba[1]));
  }
}

std::vector<uint8_t> ReadAllRows(RgbaRows& rows) {
  const std::size_t rowBytes = std::size_t{rows.Width()} * 4;
  std::vector<uint8_t> all(rowBytes * rows.Height());
  for (uint32_t y = 0; y < rows.Height(); ++y) rows.ReadRow(y, all.data() + rowBytes * y);
  return all;
}

}  // namespace tamsorel
