// Frames as rows of RGBA pixels, and the same rows scaled down to fit a
// square: the one conversion every front end uses.  Both hand out one row at a time, top row first, so that a
// frame of any allowed size is converted and scaled with memory for a few
// rows only.
//
// Colour rules: SPR pixels take their colour from the built-in palette; 16-bit pixels are widened to 8 bits a
// channel by bit replication, in the 5-6-5 or 5-5-5 layout their masks name.
// A pixel of value zero (16-bit value 0, SPR index 0; C16 transparent runs
// are zero) is fully transparent, every other pixel opaque.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sprite/first_frame.h"
#include "sprite/sprite.h"

namespace tamsorel {

// 5- and 6-bit channels widened to 8 bits by repeating their top bits, so
// that 0 stays 0 and the largest value becomes 255.
constexpr uint8_t Widen5(uint32_t c) { return static_cast<uint8_t>(((c & 31) << 3) | ((c & 31) >> 2)); }
constexpr uint8_t Widen6(uint32_t c) { return static_cast<uint8_t>(((c & 63) << 2) | ((c & 63) >> 4)); }

// Rows of RGBA pixels (red, green, blue, alpha; 8 bits each), asked for in
// order from the top.
class RgbaRows {
 public:
  virtual ~RgbaRows() = default;
  virtual uint32_t Width() const = 0;
  virtual uint32_t Height() const = 0;
  // Writes row `y` as Width() * 4 bytes.  Rows must be asked for in
  // increasing order; asking for the same row again is allowed.
  virtual void ReadRow(uint32_t y, uint8_t* rgba) = 0;
};

// A frame's pixels as stored, wherever they live: a StoredFrame, or the
// pixel memory of a thumbnail's bitmap.  Rows are `stride`
// bytes apart (negative for bottom-up memory, `pixels` then pointing at the
// top row).
struct FrameView {
  uint32_t width = 0;
  uint32_t height = 0;
  PixelFormat format = PixelFormat::kIndexed8;
  const uint8_t* pixels = nullptr;
  std::ptrdiff_t stride = 0;
  const uint8_t* palette = nullptr;  // kIndexed8: 256 x (blue, green, red, 0)
};

// A stored frame as a view; indexed frames take the built-in palette.
FrameView ViewOf(const StoredFrame& frame);

// The bitmap rows of a thumbnail decode (DecodeFirstFrame), as the decoder
// describes them; an empty view when it made no bitmap.
FrameView ViewOf(const FirstFrame& frame);

// A frame's rows converted to RGBA by the rules above.
class FrameRgbaRows : public RgbaRows {
 public:
  explicit FrameRgbaRows(const FrameView& view);

  uint32_t Width() const override { return view_.width; }
  uint32_t Height() const override { return view_.height; }
  void ReadRow(uint32_t y, uint8_t* rgba) override;

 private:
  FrameView view_;
  uint8_t palette_[256][3] = {};  // red, green, blue
};

// The size a width x height frame gets when it must fit in size x size:
// unchanged when it already fits, otherwise scaled down keeping its aspect
// ratio (rounded to the nearest pixel, at least 1 pixel a side).
struct Extent {
  uint32_t width = 0;
  uint32_t height = 0;
  bool operator==(const Extent& other) const { return width == other.width && height == other.height; }
};
Extent FitWithin(uint32_t width, uint32_t height, uint32_t size);

// `source` reduced to `target` (no larger than the source in either
// direction) by area averaging: each output pixel is the average of the
// source area it covers, partly covered source pixels weighted by the part
// they cover.  Colours are averaged premultiplied by alpha, so transparent
// pixels add no colour to the edges next to them.
class ScaledRows : public RgbaRows {
 public:
  ScaledRows(RgbaRows& source, Extent target);
  ~ScaledRows() override;

  uint32_t Width() const override { return target_.width; }
  uint32_t Height() const override { return target_.height; }
  void ReadRow(uint32_t y, uint8_t* rgba) override;

 private:
  struct Sums;  // area_sums.h's taps and the sums of one output row

  RgbaRows& source_;
  Extent target_;
  std::unique_ptr<Sums> sums_;
};

// Every row of `rows`, top to bottom, Width() * 4 bytes each (for tests and
// small images).
std::vector<uint8_t> ReadAllRows(RgbaRows& rows);

}  // namespace tamsorel
