#include "frames/pane_render.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "frames/rgba.h"

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

// `source` enlarged to width x height, each output pixel taking the source
// pixel under its centre.
class NearestRows : public RgbaRows {
 public:
  NearestRows(RgbaRows& source, uint32_t width, uint32_t height)
      : source_(source), width_(width), height_(height), sourceRow_(std::size_t{source.Width()} * 4) {
    columns_.resize(width);
    for (uint32_t x = 0; x < width; ++x)
      columns_[x] = static_cast<uint32_t>((uint64_t{2} * x + 1) * source.Width() / (uint64_t{2} * width));
  }
  uint32_t Width() const override { return width_; }
  uint32_t Height() const override { return height_; }
  void ReadRow(uint32_t y, uint8_t* rgba) override {
    const uint32_t sy = static_cast<uint32_t>((uint64_t{2} * y + 1) * source_.Height() / (uint64_t{2} * height_));
    if (sy != held_) {
      source_.ReadRow(sy, sourceRow_.data());
      held_ = sy;
    }
    for (uint32_t x = 0; x < width_; ++x)
      std::memcpy(rgba + std::size_t{x} * 4, &sourceRow_[std::size_t{columns_[x]} * 4], 4);
  }

 private:
  RgbaRows& source_;
  uint32_t width_, height_;
  std::vector<uint8_t> sourceRow_;
  std::vector<uint32_t> columns_;
  uint32_t held_ = UINT32_MAX;
};

class Painter {
 public:
  explicit Painter(const PaneCanvas& canvas) : canvas_(canvas) {}

  uint8_t* At(uint32_t x, uint32_t y) const {
    return canvas_.pixels + canvas_.stride * static_cast<std::ptrdiff_t>(y) + std::size_t{x} * 4;
  }

  void Put(uint8_t* p, uint8_t r, uint8_t g, uint8_t b) const {
    if (canvas_.order == PixelOrder::kRgba) {
      p[0] = r, p[1] = g, p[2] = b;
    } else {
      p[0] = b, p[1] = g, p[2] = r;
    }
    p[3] = 255;
  }
  void Put(uint8_t* p, PaneColour c) const { Put(p, c.red, c.green, c.blue); }

  // `rgba` (alpha from 0 to 255) over what the pixel holds.
  void Blend(uint8_t* p, const uint8_t* rgba) const {
    const uint32_t a = rgba[3];
    if (a == 0) return;
    if (a == 255) return Put(p, rgba[0], rgba[1], rgba[2]);
    const bool rgbaOrder = canvas_.order == PixelOrder::kRgba;
    const uint32_t r = p[rgbaOrder ? 0 : 2], g = p[1], b = p[rgbaOrder ? 2 : 0];
    auto mix = [a](uint32_t over, uint32_t under) {
      return static_cast<uint8_t>((over * a + under * (255 - a) + 127) / 255);
    };
    Put(p, mix(rgba[0], r), mix(rgba[1], g), mix(rgba[2], b));
  }

 private:
  PaneCanvas canvas_;
};

void DrawCross(const Painter& painter, uint32_t left, uint32_t top, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return;
  const uint32_t steps = std::max(width, height);
  for (uint32_t t = 0; t < steps; ++t) {
    const uint32_t x = steps > 1 ? static_cast<uint32_t>(uint64_t{t} * (width - 1) / (steps - 1)) : 0;
    const uint32_t y = steps > 1 ? static_cast<uint32_t>(uint64_t{t} * (height - 1) / (steps - 1)) : 0;
    painter.Put(painter.At(left + x, top + y), kCrossColour);
    painter.Put(painter.At(left + width - 1 - x, top + y), kCrossColour);
  }
}

std::u16string Widened(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

}  // namespace

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
  const uint32_t areaH = height - layout.captionHeight;
  if (count == 0 || width == 0 || areaH == 0) return layout;

  bool found = false;
  Ratio best{0, 1};
  const uint32_t mostColumns = std::min(count, width);
  for (uint32_t columns = 1; columns <= mostColumns; ++columns) {
    const uint32_t rows = (count + columns - 1) / columns;
    if (rows > areaH) continue;
    const uint32_t cellW = width / columns, cellH = areaH / rows;
    const uint32_t margin = MarginFor(cellW, cellH);
    const Ratio scale = ScaleOf(cellW - 2 * margin, cellH - 2 * margin, layout.maxWidth, layout.maxHeight);
    if (!found || scale > best) {
      found = true;
      best = scale;
      layout.columns = columns;
      layout.rows = rows;
      layout.cellWidth = cellW;
      layout.cellHeight = cellH;
      layout.margin = margin;
    }
  }
  if (found) {
    layout.shown = count;
  } else {
    // More frames than pixels: one pixel each for as many as there are.
    layout.columns = width;
    layout.rows = areaH;
    layout.cellWidth = layout.cellHeight = 1;
    layout.margin = 0;
    layout.shown = width * areaH;
  }
  return layout;
}

void LargestFrame(const Sprite& sprite, uint32_t* width, uint32_t* height) {
  *width = *height = 1;
  for (uint32_t i = 0; i < sprite.FrameCount(); ++i) {
    const FrameInfo info = sprite.Frame(i);
    if (!info.hasEntry) continue;
    *width = std::max<uint32_t>(*width, info.width);
    *height = std::max<uint32_t>(*height, info.height);
  }
}

std::u16string PaneCaption(const Sprite& sprite) {
  const uint32_t count = sprite.FrameCount();
  std::u16string text = Widened(std::to_string(count)) + (count == 1 ? u" frame, " : u" frames, ");
  const FrameInfo first = count > 0 ? sprite.Frame(0) : FrameInfo{};
  if (first.hasEntry) {
    text += Widened(std::to_string(first.width)) + u" \u00d7 " + Widened(std::to_string(first.height));
  } else {
    text += u"first frame missing";
  }
  return text + u", " + Widened(FormatName(sprite.Format()));
}

uint32_t RenderPane(Sprite& sprite, const PaneLayout& layout, const PaneStyle& style, const PaneCanvas& canvas,
                    StoredFrame* scratch) {
  const Painter painter(canvas);
  for (uint32_t y = 0; y < layout.height; ++y) {
    uint8_t* row = painter.At(0, y);
    for (uint32_t x = 0; x < layout.width; ++x, row += 4) {
      if (y < layout.captionHeight) {
        painter.Put(row, style.captionBackground);
      } else if (style.hasBackground) {
        painter.Put(row, style.background);
      } else {
        painter.Put(row, ((x / kCheckerSize + y / kCheckerSize) & 1) ? kCheckerDark : kCheckerLight);
      }
    }
  }

  uint32_t damaged = 0;
  std::vector<uint8_t> line;
  for (uint32_t i = 0; i < layout.shown; ++i) {
    const uint32_t left = layout.CellX(i) + layout.margin, top = layout.CellY(i) + layout.margin;
    const uint32_t drawW = layout.DrawWidth(), drawH = layout.DrawHeight();
    if (!Readable(sprite.Frame(i)) || !sprite.DecodeFrame(i, scratch).empty() || scratch->width == 0 ||
        scratch->height == 0) {
      DrawCross(painter, left, top, drawW, drawH);
      ++damaged;
      continue;
    }
    uint32_t w = 0, h = 0;
    layout.ScaledSize(scratch->width, scratch->height, &w, &h);
    FrameRgbaRows stored(ViewOf(*scratch));
    ScaledRows shrunk(stored, Extent{std::min(w, scratch->width), std::min(h, scratch->height)});
    NearestRows enlarged(stored, w, h);
    RgbaRows& rows = (w <= scratch->width && h <= scratch->height) ? static_cast<RgbaRows&>(shrunk) : enlarged;
    const uint32_t x0 = left + (drawW - w) / 2, y0 = top + (drawH - h) / 2;
    line.resize(std::size_t{w} * 4);
    for (uint32_t y = 0; y < h; ++y) {
      rows.ReadRow(y, line.data());
      uint8_t* target = painter.At(x0, y0 + y);
      for (uint32_t x = 0; x < w; ++x) painter.Blend(target + std::size_t{x} * 4, &line[std::size_t{x} * 4]);
    }
  }
  std::vector<uint8_t>().swap(scratch->pixels);
  scratch->width = scratch->height = 0;
  return damaged;
}

}  // namespace tamsorel
