#include "preview/pane_render.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <utility>
#include <vector>

#include "sprite/palette.h"
#include "image/area_sums.h"
#include "image/rgba.h"

namespace tamsorel {

namespace {

// A fraction num / den with den > 0, compared exactly.
struct Ratio {
  uint64_t num, den;
  bool operator>(const Ratio& o) const { return num * o.den > o.num * den; }
};

// The common scale of a drawing area of drawW x drawH for the largest frame:
// whichever side limits it.
Ratio ScaleOf(uint32_t drawW, uint32_t drawH, uint32_t maxW, uint32_t maxH) {
  if (uint64_t{drawW} * maxH <= uint64_t{drawH} * maxW) return Ratio{drawW, maxW};
  return Ratio{drawH, maxH};
}

// Margins only where a cell keeps most of its size.
uint32_t MarginFor(uint32_t cellW, uint32_t cellH) {
  return (cellW > 8 * kCellMargin && cellH > 8 * kCellMargin) ? kCellMargin : 0;
}

// The grid that gives `count` frames the largest common scale in `layout`'s
// pane (its width, height, caption and largest frame set); false when no
// grid gives every frame a pixel.
bool BestGrid(uint32_t count, PaneLayout* layout) {
  const uint32_t areaH = layout->height - layout->captionHeight;
  bool found = false;
  Ratio best{0, 1};
  const uint32_t mostColumns = std::min(count, layout->width);
  for (uint32_t columns = 1; columns <= mostColumns; ++columns) {
    const uint32_t rows = (count + columns - 1) / columns;
    if (rows > areaH) continue;
    const uint32_t cellW = layout->width / columns, cellH = areaH / rows;
    const uint32_t margin = MarginFor(cellW, cellH);
    const Ratio scale = ScaleOf(cellW - 2 * margin, cellH - 2 * margin, layout->maxWidth, layout->maxHeight);
    if (!found || scale > best) {
      found = true;
      best = scale;
      layout->columns = columns;
      layout->rows = rows;
      layout->cellWidth = cellW;
      layout->cellHeight = cellH;
      layout->margin = margin;
    }
  }
  return found;
}

// Whether the largest frame comes out at least kMinCellSide pixels on its
// shorter side, or at its own size when that is smaller.
bool LargeEnough(const PaneLayout& layout) {
  const uint32_t least = std::min({kMinCellSide, layout.maxWidth, layout.maxHeight});
  uint32_t w = 0, h = 0;
  layout.ScaledSize(layout.maxWidth, layout.maxHeight, &w, &h);
  return std::min(w, h) >= least;
}

// Rows of RGBA pixels held in memory, width * 4 bytes a row.
class MemoryRows : public RgbaRows {
 public:
  MemoryRows(const uint8_t* rgba, uint32_t width, uint32_t height) : rgba_(rgba), width_(width), height_(height) {}
  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  void ReadRow(uint32_t y, uint8_t* rgba) override {
    std::memcpy(rgba, rgba_ + std::size_t{y} * width_ * 4, std::size_t{width_} * 4);
  }

 private:
  const uint8_t* rgba_;
  uint32_t width_, height_;
};

// `source` enlarged to width x height, each output pixel taking the source
// pixel under its centre; an output row that takes the same source row as
// the one above is a copy of it.
void Enlarge(RgbaRows& source, uint32_t width, uint32_t height, uint8_t* out) {
  const uint32_t sw = source.Width(), sh = source.Height();
  const std::size_t rowBytes = std::size_t{width} * 4;
  std::vector<uint32_t> columns(width);
  for (uint32_t x = 0; x < width; ++x)
    columns[x] = static_cast<uint32_t>((uint64_t{2} * x + 1) * sw / (uint64_t{2} * width));
  std::vector<uint8_t> row(std::size_t{sw} * 4);
  uint32_t held = UINT32_MAX;
  for (uint32_t y = 0; y < height; ++y, out += rowBytes) {
    const uint32_t sy = static_cast<uint32_t>((uint64_t{2} * y + 1) * sh / (uint64_t{2} * height));
    if (sy == held) {
      std::memcpy(out, out - rowBytes, rowBytes);
      continue;
    }
    source.ReadRow(sy, row.data());
    held = sy;
    for (uint32_t x = 0; x < width; ++x) std::memcpy(out + std::size_t{x} * 4, &row[std::size_t{columns[x]} * 4], 4);
  }
}

// Four floats: red, green, blue and opacity of a pixel, or their sums.
typedef float Quad __attribute__((vector_size(4 * sizeof(float))));

// The channels of every pixel value ready to be summed, as Quads and as
// pairs of doubles: red and green by the value's top eleven bits (5-6-5) or
// bits 5..14 (5-5-5), blue by its low five bits, and the palette's colours.
struct ChannelTables {
  Quad rg565[2048];
  Quad rg555[1024];
  Quad blue[32];
  Quad indexed[256];  // index 0 is transparent: nothing
  Pair pairs565[2048];
  Pair pairs555[1024];
  double blues[32];
  ChannelTables() {
    for (uint32_t i = 0; i < 2048; ++i) rg565[i] = Quad{float(Widen5(i >> 6)), float(Widen6(i)), 0, 0};
    for (uint32_t i = 0; i < 1024; ++i) rg555[i] = Quad{float(Widen5(i >> 5)), float(Widen5(i)), 0, 0};
    for (uint32_t i = 0; i < 32; ++i) blue[i] = Quad{0, 0, float(Widen5(i)), 0};
    for (uint32_t i = 0; i < 2048; ++i) pairs565[i] = Pair{rg565[i][0], rg565[i][1]};
    for (uint32_t i = 0; i < 1024; ++i) pairs555[i] = Pair{rg555[i][0], rg555[i][1]};
    for (uint32_t i = 0; i < 32; ++i) blues[i] = blue[i][2];
    indexed[0] = Quad{};
    for (uint32_t i = 1; i < 256; ++i)
      indexed[i] =
          Quad{float(kBuiltInPalette[4 * i + 2]), float(kBuiltInPalette[4 * i + 1]), float(kBuiltInPalette[4 * i]), 1};
  }
};
const ChannelTables& Channels() {
  static const ChannelTables tables;
  return tables;
}

// Row `y` of a decoded frame as Quads.
void RowQuads(const StoredFrame& frame, const ChannelTables& tables, uint32_t y, Quad* row) {
  const uint32_t width = frame.width;
  const uint8_t* p = frame.pixels.data() + frame.RowBytes() * y;
  switch (frame.format) {
    case PixelFormat::kIndexed8:
      for (uint32_t x = 0; x < width; ++x) row[x] = tables.indexed[p[x]];
      break;
    case PixelFormat::kRgb565:
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t v = p[2 * x] | (uint32_t{p[2 * x + 1]} << 8);
        row[x] = tables.rg565[v >> 5] + tables.blue[v & 31] + Quad{0, 0, 0, v != 0 ? 1.0f : 0.0f};
      }
      break;
    case PixelFormat::kRgb555:
      for (uint32_t x = 0; x < width; ++x) {
        const uint32_t v = p[2 * x] | (uint32_t{p[2 * x + 1]} << 8);
        row[x] = tables.rg555[(v >> 5) & 1023] + tables.blue[v & 31] + Quad{0, 0, 0, v != 0 ? 1.0f : 0.0f};
      }
      break;
  }
}

// A decoded frame shrunk to width x height (neither larger than the frame)
// with the results of ScaledRows over FrameRgbaRows.  Decoded pixels are
// opaque or transparent, so ScaledRows' sums premultiplied by alpha are 255
// times the sums of the colours of the opaque pixels covered: colour =
// (S + A / 2) / A with S the weighted colour and A the weighted count of
// opaque pixels, alpha = (255 A + area / 2) / area.
//
// A frame of at most kFloatShrinkPixels pixels is summed in floats, four
// channels at once: each output row sums its source rows down first (each
// sum at most H * 255), then those sums across; every numerator stays below
// 255.5 * W * H < 2^24, so floats hold it exactly, and as every divisor is
// at most 2^16 the rounded quotient truncates to the integer quotient.
constexpr uint64_t kFloatShrinkPixels = uint64_t{1} << 16;

void ShrinkSmallFrame(const StoredFrame& frame, uint32_t width, uint32_t height, uint8_t* out) {
  const uint32_t sw = frame.width, sh = frame.height;
  const Taps across(sw, width);
  const std::vector<float> weights(across.weight.begin(), across.weight.end());
  std::vector<Quad> row(sw), down(sw);
  const ChannelTables& tables = Channels();
  uint32_t held = UINT32_MAX;  // the source row in `row`
  const uint64_t area = uint64_t{sw} * sh;
  const float halfArea = static_cast<float>(area / 2), areaF = static_cast<float>(area);
  for (uint32_t y = 0; y < height; ++y, out += std::size_t{width} * 4) {
    std::fill(down.begin(), down.end(), Quad{});
    const uint64_t top = uint64_t{y} * sh, bottom = top + sh;
    for (uint64_t sy = top / height; sy * height < bottom && sy < sh; ++sy) {
      const float overlap = static_cast<float>(std::min(bottom, (sy + 1) * height) - std::max(top, sy * height));
      if (sy != held) {
        held = static_cast<uint32_t>(sy);
        RowQuads(frame, tables, held, row.data());
      }
      for (uint32_t x = 0; x < sw; ++x) down[x] += overlap * row[x];
    }
    const float* w = weights.data();
    for (uint32_t X = 0; X < width; ++X) {
      const Quad* from = &down[across.first[X]];
      const uint32_t n = across.count[X];
      Quad sum = w[0] * from[0];
      for (uint32_t k = 1; k < n; ++k) sum += w[k] * from[k];
      w += n;
      uint8_t* o = out + std::size_t{X} * 4;
      const float count = sum[3];  // A
      if (count == 0) {
        std::memset(o, 0, 4);
        continue;
      }
      const float half = static_cast<float>(static_cast<uint32_t>(count) / 2);
      const Quad q = (Quad{sum[0], sum[1], sum[2], 255 * count} + Quad{half, half, half, halfArea}) /
                     Quad{count, count, count, areaF};
      for (int c = 0; c < 4; ++c) o[c] = static_cast<uint8_t>(static_cast<int>(q[c]));
    }
  }
}

// A larger frame is summed in doubles, in pairs of channels (red, green) and
// (blue, opaque): each source row across into the output columns, those
// sums down into the output rows.  The sums stay below W * H * 255 and the
// quotient times the divisor below 2^53, so doubles are exact here too.
void ShrinkLargeFrame(const StoredFrame& frame, uint32_t width, uint32_t height, uint8_t* out) {
  const uint32_t sw = frame.width, sh = frame.height;
  const Taps across(sw, width);
  std::vector<Pair> plane(std::size_t{sw} * 2), row(std::size_t{width} * 2), sums(std::size_t{width} * 2);
  const ChannelTables& tables = Channels();
  uint32_t held = UINT32_MAX;  // the source row summed in `row`
  const uint64_t area = uint64_t{sw} * sh;
  const double areaD = static_cast<double>(area), halfArea = static_cast<double>(area / 2);
  for (uint32_t y = 0; y < height; ++y, out += std::size_t{width} * 4) {
    std::fill(sums.begin(), sums.end(), Pair{});
    const uint64_t top = uint64_t{y} * sh, bottom = top + sh;
    for (uint64_t sy = top / height; sy * height < bottom && sy < sh; ++sy) {
      const double overlap = static_cast<double>(std::min(bottom, (sy + 1) * height) - std::max(top, sy * height));
      if (sy != held) {
        held = static_cast<uint32_t>(sy);
        const uint8_t* p = frame.pixels.data() + frame.RowBytes() * held;
        Pair* q = plane.data();
        switch (frame.format) {
          case PixelFormat::kIndexed8:
            for (uint32_t x = 0; x < sw; ++x, q += 2) {
              const Quad& c = tables.indexed[p[x]];
              q[0] = Pair{c[0], c[1]}, q[1] = Pair{c[2], c[3]};
            }
            break;
          case PixelFormat::kRgb565:
            for (uint32_t x = 0; x < sw; ++x, q += 2) {
              const uint32_t v = p[2 * x] | (uint32_t{p[2 * x + 1]} << 8);
              q[0] = tables.pairs565[v >> 5], q[1] = Pair{tables.blues[v & 31], v != 0 ? 1.0 : 0.0};
            }
            break;
          case PixelFormat::kRgb555:
            for (uint32_t x = 0; x < sw; ++x, q += 2) {
              const uint32_t v = p[2 * x] | (uint32_t{p[2 * x + 1]} << 8);
              q[0] = tables.pairs555[(v >> 5) & 1023], q[1] = Pair{tables.blues[v & 31], v != 0 ? 1.0 : 0.0};
            }
            break;
        }
        SumAcross(across, plane.data(), width, row.data());
      }
      for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += overlap * row[i];
    }
    for (uint32_t X = 0; X < width; ++X) {
      uint8_t* o = out + std::size_t{X} * 4;
      const Pair rg = sums[2 * X], ba = sums[2 * X + 1];
      const double count = ba[1];  // A
      if (count == 0) {
        std::memset(o, 0, 4);
        continue;
      }
      const double half = static_cast<double>(static_cast<uint64_t>(count) / 2);
      const Pair qrg = (rg + half) / count;
      const Pair qba = (Pair{ba[0], 255 * count} + Pair{half, halfArea}) / Pair{count, areaD};
      o[0] = static_cast<uint8_t>(static_cast<int>(qrg[0]));
      o[1] = static_cast<uint8_t>(static_cast<int>(qrg[1]));
      o[2] = static_cast<uint8_t>(static_cast<int>(qba[0]));
      o[3] = static_cast<uint8_t>(static_cast<int>(qba[1]));
    }
  }
}

// `source` area-averaged down to width x height (neither larger than the
// source): ScaledRows' rows, one after the other.
void Shrink(RgbaRows& source, uint32_t width, uint32_t height, uint8_t* out) {
  ScaledRows scaled(source, Extent{width, height});
  for (uint32_t y = 0; y < height; ++y) scaled.ReadRow(y, out + std::size_t{y} * width * 4);
}

// A pixel of the canvas, in its order, alpha 255.
struct Pixel {
  uint8_t bytes[4];
};

// Draws into a band of the pane's rows: rows top .. bottom-1, held by the
// canvas from its first row on.  Coordinates are the pane's.
class Painter {
 public:
  Painter(const PaneCanvas& canvas, uint32_t top, uint32_t bottom) : canvas_(canvas), top_(top), bottom_(bottom) {}

  uint32_t Top() const { return top_; }
  uint32_t Bottom() const { return bottom_; }
  bool Holds(uint32_t y) const { return y >= top_ && y < bottom_; }
  uint8_t* At(uint32_t x, uint32_t y) const {
    return canvas_.pixels + canvas_.stride * static_cast<std::ptrdiff_t>(y - top_) + std::size_t{x} * 4;
  }
  Pixel Of(uint8_t r, uint8_t g, uint8_t b) const {
    return canvas_.order == PixelOrder::kRgba ? Pixel{{r, g, b, 255}} : Pixel{{b, g, r, 255}};
  }
  Pixel Of(PaneColour c) const { return Of(c.red, c.green, c.blue); }
  // One pixel, where the band holds its row.
  void Put(uint32_t x, uint32_t y, PaneColour c) const {
    if (Holds(y)) std::memcpy(At(x, y), Of(c).bytes, 4);
  }

  // Row y from x = 0 on, a copy of `pattern`.
  void FillRow(uint32_t y, const std::vector<uint8_t>& pattern) const {
    std::memcpy(At(0, y), pattern.data(), pattern.size());
  }

  // RGBA pixels (alpha from 0 to 255) over what the canvas holds, from
  // (x0, y) to the right; y must be in the band.
  void BlendRow(uint32_t x0, uint32_t y, const uint8_t* rgba, uint32_t count) const {
    uint8_t* p = At(x0, y);
    const bool rgbaOrder = canvas_.order == PixelOrder::kRgba;
    const int r = rgbaOrder ? 0 : 2, b = rgbaOrder ? 2 : 0;
    for (uint32_t x = 0; x < count; ++x, p += 4, rgba += 4) {
      const uint32_t a = rgba[3];
      if (a == 0) continue;
      if (a == 255) {
        p[r] = rgba[0], p[1] = rgba[1], p[b] = rgba[2], p[3] = 255;
        continue;
      }
      auto mix = [a](uint32_t over, uint32_t under) {
        return static_cast<uint8_t>((over * a + under * (255 - a) + 127) / 255);
      };
      p[r] = mix(rgba[0], p[r]), p[1] = mix(rgba[1], p[1]), p[b] = mix(rgba[2], p[b]), p[3] = 255;
    }
  }

 private:
  PaneCanvas canvas_;
  uint32_t top_, bottom_;
};

// `count` pixels of `pixel` one after the other.
std::vector<uint8_t> RowOf(uint32_t count, const Pixel& pixel) {
  std::vector<uint8_t> row(std::size_t{count} * 4);
  for (uint32_t x = 0; x < count; ++x) std::memcpy(&row[std::size_t{x} * 4], pixel.bytes, 4);
  return row;
}

void FillBackground(const Painter& painter, const PaneLayout& layout, const PaneStyle& style) {
  const uint32_t captionEnd = std::min(layout.captionHeight, painter.Bottom());
  const std::vector<uint8_t> band = RowOf(layout.width, painter.Of(style.captionBackground));
  for (uint32_t y = painter.Top(); y < captionEnd; ++y) painter.FillRow(y, band);
  const uint32_t below = std::max(layout.captionHeight, painter.Top());
  if (style.hasBackground) {
    const std::vector<uint8_t> plain = RowOf(layout.width, painter.Of(style.background));
    for (uint32_t y = below; y < painter.Bottom(); ++y) painter.FillRow(y, plain);
    return;
  }
  // The checkerboard's two kinds of rows: starting light and starting dark.
  std::vector<uint8_t> rows[2] = {std::vector<uint8_t>(std::size_t{layout.width} * 4),
                                  std::vector<uint8_t>(std::size_t{layout.width} * 4)};
  const Pixel light = painter.Of(kCheckerLight), dark = painter.Of(kCheckerDark);
  for (uint32_t x = 0; x < layout.width; ++x) {
    const bool odd = (x / kCheckerSize) & 1;
    std::memcpy(&rows[0][std::size_t{x} * 4], (odd ? dark : light).bytes, 4);
    std::memcpy(&rows[1][std::size_t{x} * 4], (odd ? light : dark).bytes, 4);
  }
  for (uint32_t y = below; y < painter.Bottom(); ++y) painter.FillRow(y, rows[(y / kCheckerSize) & 1]);
}

void DrawCross(const Painter& painter, uint32_t left, uint32_t top, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return;
  const uint32_t steps = std::max(width, height);
  for (uint32_t t = 0; t < steps; ++t) {
    const uint32_t x = steps > 1 ? static_cast<uint32_t>(uint64_t{t} * (width - 1) / (steps - 1)) : 0;
    const uint32_t y = steps > 1 ? static_cast<uint32_t>(uint64_t{t} * (height - 1) / (steps - 1)) : 0;
    painter.Put(left + x, top + y, kCrossColour);
    painter.Put(left + width - 1 - x, top + y, kCrossColour);
  }
}

// Three square dots side by side in the middle of the area, each a tenth of
// its shorter side (at least a pixel), as far apart as they are wide.
void DrawDots(const Painter& painter, uint32_t left, uint32_t top, uint32_t width, uint32_t height) {
  const uint32_t dot = std::max<uint32_t>(1, std::min(width, height) / 10);
  if (width < 5 * dot || height < dot) return;
  const uint32_t x0 = left + (width - 5 * dot) / 2, y0 = top + (height - dot) / 2;
  for (uint32_t k = 0; k < 3; ++k)
    for (uint32_t y = 0; y < dot; ++y)
      for (uint32_t x = 0; x < dot; ++x) painter.Put(x0 + 2 * k * dot + x, y0 + y, kNotDecodedColour);
}

// Buffers that drawing frames straight from what was kept reuses.
struct DirectScratch {
  std::vector<uint8_t> sourceRow, line;
  std::vector<uint32_t> columns;
};

// `source` drawn at width x height (no smaller than it) with its top left
// corner at (x0, y0), nearest-neighbour as Enlarge scales, for the rows the
// band holds.
void DrawEnlarged(const Painter& painter, RgbaRows& source, uint32_t x0, uint32_t y0, uint32_t width, uint32_t height,
                  DirectScratch& scratch) {
  const uint32_t first = std::max(y0, painter.Top()), end = std::min(y0 + height, painter.Bottom());
  if (first >= end) return;
  const uint32_t sw = source.Width(), sh = source.Height();
  scratch.columns.resize(width);
  for (uint32_t x = 0; x < width; ++x)
    scratch.columns[x] = static_cast<uint32_t>((uint64_t{2} * x + 1) * sw / (uint64_t{2} * width));
  scratch.sourceRow.resize(std::size_t{sw} * 4);
  scratch.line.resize(std::size_t{width} * 4);
  uint32_t held = UINT32_MAX;
  for (uint32_t y = first; y < end; ++y) {
    const uint32_t sy = static_cast<uint32_t>((uint64_t{2} * (y - y0) + 1) * sh / (uint64_t{2} * height));
    if (sy != held) {
      source.ReadRow(sy, scratch.sourceRow.data());
      for (uint32_t x = 0; x < width; ++x)
        std::memcpy(&scratch.line[std::size_t{x} * 4], &scratch.sourceRow[std::size_t{scratch.columns[x]} * 4], 4);
      held = sy;
    }
    painter.BlendRow(x0, y, scratch.line.data(), width);
  }
}

std::u16string Number(uint32_t n) {
  const std::string ascii = std::to_string(n);
  return std::u16string(ascii.begin(), ascii.end());
}

std::u16string Widened(const char* ascii) { return std::u16string(ascii, ascii + std::strlen(ascii)); }

}  // namespace

void ScaleRgba(RgbaRows& source, uint32_t width, uint32_t height, uint8_t* rgba) {
  const uint32_t sw = source.Width(), sh = source.Height();
  if (width == 0 || height == 0 || sw == 0 || sh == 0) return;
  if (width > sw || height > sh) return Enlarge(source, width, height, rgba);
  Shrink(source, width, height, rgba);
}

void ScaleFrame(const StoredFrame& frame, uint32_t width, uint32_t height, uint8_t* rgba) {
  const uint32_t sw = frame.width, sh = frame.height;
  if (width == 0 || height == 0 || sw == 0 || sh == 0) return;
  if (width > sw || height > sh) {
    FrameRgbaRows rows(ViewOf(frame));
    return Enlarge(rows, width, height, rgba);
  }
  if (uint64_t{sw} * sh <= kFloatShrinkPixels) return ShrinkSmallFrame(frame, width, height, rgba);
  ShrinkLargeFrame(frame, width, height, rgba);
}

void PaneLayout::ScaledSize(uint32_t width, uint32_t height, uint32_t* outWidth, uint32_t* outHeight) const {
  const uint32_t drawW = DrawWidth(), drawH = DrawHeight();
  const Ratio s = ScaleOf(drawW, drawH, maxWidth, maxHeight);
  // Rounded to the nearest pixel.
  const uint64_t w = (uint64_t{2} * width * s.num + s.den) / (2 * s.den);
  const uint64_t h = (uint64_t{2} * height * s.num + s.den) / (2 * s.den);
  *outWidth = static_cast<uint32_t>(std::clamp<uint64_t>(w, 1, std::max<uint32_t>(drawW, 1)));
  *outHeight = static_cast<uint32_t>(std::clamp<uint64_t>(h, 1, std::max<uint32_t>(drawH, 1)));
}

PaneLayout LayoutPane(uint32_t width, uint32_t height, uint32_t captionHeight, uint32_t count, uint32_t maxWidth,
                      uint32_t maxHeight) {
  PaneLayout layout;
  layout.width = width;
  layout.height = height;
  layout.captionHeight = std::min(captionHeight, height);
  layout.maxWidth = std::max<uint32_t>(maxWidth, 1);
  layout.maxHeight = std::max<uint32_t>(maxHeight, 1);
  layout.columns = layout.rows = 1;
  if (count == 0 || width == 0 || height == layout.captionHeight) return layout;

  // The scale falls as frames are added, so the most frames that are large
  // enough are found by halving: `fits` are known large enough, `fails` not.
  PaneLayout trial = layout;
  uint32_t fits = 0, fails = count + 1;
  if (BestGrid(count, &trial) && LargeEnough(trial)) fits = count;
  while (fails - fits > 1 && fits != count) {
    const uint32_t middle = fits + (fails - fits) / 2;
    if (BestGrid(middle, &trial) && LargeEnough(trial)) {
      fits = middle;
    } else {
      fails = middle;
    }
  }
  // A pane too small for even one frame at that size still shows the first.
  layout.shown = std::max<uint32_t>(fits, 1);
  if (!BestGrid(layout.shown, &layout)) layout.shown = 0;
  return layout;
}

std::u16string PaneCaption(const PaneCounts& c) {
  std::u16string text;
  if (c.shown > 0 && c.shown < c.readable) {
    text = u"frames 1\u2013" + Number(c.lastShown) + u" of " + Number(c.held);
  } else {
    text = Number(c.held) + (c.held == 1 ? u" frame" : u" frames");
  }
  if (c.claimed != c.held) text += u" (header claims " + Number(c.claimed) + u")";
  if (c.firstHeld) {
    text += u", " + Number(c.firstWidth) + u" \u00d7 " + Number(c.firstHeight);
  } else {
    text += u", first frame missing";
  }
  text += u", " + Widened(FormatName(c.format));
  const uint32_t damaged = (c.held - c.readable) + c.failed;
  if (damaged > 0) text += u", " + Number(damaged) + u" damaged";
  if (c.notDecoded > 0) text += u", " + Number(c.notDecoded) + u" not decoded";
  return text;
}

namespace {
class OwnDecoder final : public PaneDecoder {};
OwnDecoder ownDecoder;
}  // namespace

PaneDecoder& SpriteDecoder() { return ownDecoder; }

PaneFrames::PaneFrames(const Sprite& sprite) {
  directory_.claimed = sprite.FrameCount();
  directory_.held = sprite.HeldFrames();
  directory_.format = sprite.Format();
  if (directory_.claimed > 0) {
    const FrameInfo& first = sprite.Frame(0);
    directory_.firstHeld = first.hasEntry;
    directory_.firstWidth = first.width;
    directory_.firstHeight = first.height;
  }
  for (uint32_t i = 0; i < directory_.held; ++i) {
    const FrameInfo& info = sprite.Frame(i);
    if (!Readable(info)) continue;
    readable_.push_back(i);
    maxWidth_ = std::max<uint32_t>(maxWidth_, info.width);
    maxHeight_ = std::max<uint32_t>(maxHeight_, info.height);
  }
  directory_.readable = static_cast<uint32_t>(readable_.size());
}

PaneLayout PaneFrames::Prepare(Sprite& sprite, PaneDecoder& decoder, uint32_t width, uint32_t height,
                               uint32_t captionHeight, const PaneLimits& limits) {
  cellOf_.clear();
  kept_.clear();
  decodedPixels_ = 0;
  try {
    return Decode(sprite, decoder, LayoutPane(width, height, captionHeight, directory_.readable, maxWidth_, maxHeight_),
                  limits);
  } catch (...) {
    // Nothing half prepared stays behind.
    cellOf_.clear();
    kept_.clear();
    throw;
  }
}

PaneLayout PaneFrames::Decode(Sprite& sprite, PaneDecoder& decoder, const PaneLayout& layout,
                              const PaneLimits& limits) {
  cellOf_.reserve(layout.shown);
  // Entries that share offset, width and height share their pixels: the
  // first of them decodes, the others take its cell.
  std::unordered_map<uint64_t, uint32_t> cellAt;
  StoredFrame scratch;
  uint64_t keptBytes = 0;
  bool overBudget = false;
  for (uint32_t i = 0; i < layout.shown; ++i) {
    const uint32_t index = readable_[i];
    const FrameInfo& info = sprite.Frame(index);
    const uint64_t key = (uint64_t{info.offset} << 32) | (uint32_t{info.width} << 16) | info.height;
    const auto known = cellAt.find(key);
    if (known != cellAt.end()) {
      cellOf_.push_back(known->second);
      continue;
    }
    const uint64_t pixels = uint64_t{info.width} * info.height;
    if (overBudget || decodedPixels_ + pixels > limits.decodePixels) {
      overBudget = true;
      cellOf_.push_back(kNotDecoded);
      continue;
    }
    decodedPixels_ += pixels;
    if (!decoder.Decode(sprite, index, &scratch).empty() || scratch.width == 0 || scratch.height == 0) {
      cellAt.emplace(key, kFailed);
      cellOf_.push_back(kFailed);
      continue;
    }
    Kept kept;
    kept.width = scratch.width;
    kept.height = scratch.height;
    const uint64_t bytes = scratch.pixels.size();
    if (keptBytes + bytes <= limits.keptFrameBytes) {
      keptBytes += bytes;
      kept.decoded = std::move(scratch);
      scratch = StoredFrame{};
    } else {
      // Past the limit: the frame as drawn now stands in for it, at its own
      // size when enlarged (nearest-neighbour enlarges that exactly); the
      // decoded memory takes the next frame.
      uint32_t w = 0, h = 0;
      layout.ScaledSize(kept.width, kept.height, &w, &h);
      kept.firstWidth = std::min(w, kept.width);
      kept.firstHeight = std::min(h, kept.height);
      kept.first.resize(std::size_t{kept.firstWidth} * kept.firstHeight * 4);
      ScaleFrame(scratch, kept.firstWidth, kept.firstHeight, kept.first.data());
    }
    kept_.push_back(std::move(kept));
    const uint32_t at = static_cast<uint32_t>(kept_.size() - 1);
    cellAt.emplace(key, at);
    cellOf_.push_back(at);
  }
  Refresh(layout);
  return layout;
}

PaneLayout PaneFrames::Layout(uint32_t width, uint32_t height, uint32_t captionHeight) const {
  return LayoutPane(width, height, captionHeight, Prepared(), maxWidth_, maxHeight_);
}

void PaneFrames::MakeCell(Kept& kept, const PaneLayout& layout) {
  uint32_t w = 0, h = 0;
  layout.ScaledSize(kept.width, kept.height, &w, &h);
  if (w == kept.drawWidth && h == kept.drawHeight) return;
  std::vector<uint8_t>().swap(kept.cell);
  kept.drawWidth = kept.drawHeight = 0;
  const bool decoded = !kept.decoded.pixels.empty();
  const uint32_t sw = decoded ? kept.width : kept.firstWidth, sh = decoded ? kept.height : kept.firstHeight;
  if (w < sw || h < sh) {
    std::vector<uint8_t> cell(std::size_t{w} * h * 4);
    if (decoded) {
      ScaleFrame(kept.decoded, w, h, cell.data());
    } else {
      MemoryRows rows(kept.first.data(), sw, sh);
      ScaleRgba(rows, w, h, cell.data());
    }
    kept.cell = std::move(cell);
  }
  // Otherwise it is drawn enlarged (or as it is) from what was kept.
  kept.drawWidth = w;
  kept.drawHeight = h;
}

void PaneFrames::Refresh(const PaneLayout& layout) {
  const uint32_t shown = std::min(layout.shown, Prepared());
  std::vector<bool> used(kept_.size());
  for (uint32_t i = 0; i < shown; ++i) {
    const uint32_t at = cellOf_[i];
    if (at == kFailed || at == kNotDecoded || used[at]) continue;
    MakeCell(kept_[at], layout);
    used[at] = true;
  }
  // Cells of frames this layout does not show are made again when needed.
  for (std::size_t k = 0; k < kept_.size(); ++k) {
    if (used[k]) continue;
    std::vector<uint8_t>().swap(kept_[k].cell);
    kept_[k].drawWidth = kept_[k].drawHeight = 0;
  }
}

void PaneFrames::Render(const PaneLayout& layout, const PaneStyle& style, const PaneCanvas& canvas, uint32_t top,
                        uint32_t rows) {
  Refresh(layout);
  const uint32_t bottom = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{top} + rows, layout.height));
  if (top >= bottom) return;
  const Painter painter(canvas, top, bottom);
  FillBackground(painter, layout, style);
  const uint32_t shown = std::min(layout.shown, Prepared());
  const uint32_t drawW = layout.DrawWidth(), drawH = layout.DrawHeight();
  DirectScratch scratch;
  for (uint32_t i = 0; i < shown; ++i) {
    const uint32_t cellTop = layout.CellY(i);
    if (cellTop >= bottom || cellTop + layout.cellHeight <= top) continue;
    const uint32_t left = layout.CellX(i) + layout.margin, areaTop = cellTop + layout.margin;
    const uint32_t at = cellOf_[i];
    if (at == kFailed) {
      DrawCross(painter, left, areaTop, drawW, drawH);
      continue;
    }
    if (at == kNotDecoded) {
      DrawDots(painter, left, areaTop, drawW, drawH);
      continue;
    }
    const Kept& kept = kept_[at];
    const uint32_t w = kept.drawWidth, h = kept.drawHeight;
    const uint32_t x0 = left + (drawW - w) / 2, y0 = areaTop + (drawH - h) / 2;
    if (!kept.cell.empty()) {
      const uint32_t first = std::max(y0, top), end = std::min(y0 + h, bottom);
      for (uint32_t y = first; y < end; ++y) painter.BlendRow(x0, y, kept.cell.data() + std::size_t{y - y0} * w * 4, w);
    } else if (!kept.decoded.pixels.empty()) {
      FrameRgbaRows source(ViewOf(kept.decoded));
      DrawEnlarged(painter, source, x0, y0, w, h, scratch);
    } else {
      MemoryRows source(kept.first.data(), kept.firstWidth, kept.firstHeight);
      DrawEnlarged(painter, source, x0, y0, w, h, scratch);
    }
  }
}

PaneCounts PaneFrames::Counts(const PaneLayout& layout) const {
  PaneCounts counts = directory_;
  counts.shown = std::min(layout.shown, Prepared());
  counts.lastShown = counts.shown > 0 ? readable_[counts.shown - 1] + 1 : 0;
  for (uint32_t i = 0; i < counts.shown; ++i) {
    counts.failed += cellOf_[i] == kFailed;
    counts.notDecoded += cellOf_[i] == kNotDecoded;
  }
  return counts;
}

}  // namespace tamsorel
