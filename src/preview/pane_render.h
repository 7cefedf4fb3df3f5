// The frames of a sprite drawn into a pane of a given size: a caption band
// across the top, and below it a grid of equal cells chosen so that the
// frames come out as large as the pane allows.  All frames share one scale
// (the largest frame fills its cell), keep their aspect and sit centred in
// their cells; enlarged frames are drawn nearest-neighbour so that pixel art
// stays crisp, shrunk ones area-averaged (the same pixels as ScaledRows).
// Transparency shows a light checkerboard, or a background colour when one
// is given.
//
// Only frames the directory finds readable take cells, in file order; the
// largest of them sets the scale.  When not all of them fit with the largest
// drawn at least kMinCellSide pixels on its shorter side (or at its own size,
// when that is smaller), the first ones that fit are shown.
//
// PaneFrames decodes the frames a pane shows once, each distinct frame
// (entries sharing offset, width and height) a single time, within a budget
// of decoded pixels, and keeps what later layouts need: the pane is then laid
// out and drawn again for another size, caption height or background from
// what it kept, without decoding.
//
// What it keeps, so that a later size looks as a fresh decode would:
//   - every distinct frame it shows, as decoded, while those frames together
//     stay within kKeptFrameBytes (2 bytes a pixel for 16-bit frames, 1 for
//     SPR): later layouts scale from the frame itself, exactly;
//   - for frames past that, the frame as first drawn (RGBA, at its own size
//     when it was enlarged, else at the size drawn): later layouts scale
//     from that (the same when enlarged, or when shrinking a plain area;
//     coarser when grown past the size first drawn);
//   - for frames the current layout shrinks, their cell (RGBA, no more
//     pixels than the pane has in all).  Frames drawn at their own size or
//     larger have no cell: they are enlarged nearest-neighbour from the
//     frame kept while the pane is drawn.
// So memory stays within kKeptFrameBytes, those two sets of cells (each no
// more pixels than its pane has) and, while preparing, one decoded frame;
// the pane itself may be drawn in bands of rows into memory the caller
// reuses.
//
// The pane is drawn straight into the caller's 32-bit pixel memory (RGBA or
// the BGRX order of a Windows DIB section).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sprite/sprite.h"

namespace tamsorel {

class RgbaRows;

struct PaneColour {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const PaneColour& o) const { return red == o.red && green == o.green && blue == o.blue; }
};

// The checkerboard under transparent pixels when no background is given:
// squares of kCheckerSize pixels, counted from the pane's top left corner.
constexpr uint32_t kCheckerSize = 8;
constexpr PaneColour kCheckerLight{255, 255, 255};
constexpr PaneColour kCheckerDark{214, 214, 214};
// The cross over a cell whose frame cannot be decoded.
constexpr PaneColour kCrossColour{176, 32, 32};
// The three dots in the middle of a cell whose frame the decode budget left
// out: nothing wrong with the frame, it was just not drawn.
constexpr PaneColour kNotDecodedColour{96, 96, 96};
// Pixels left free around the drawing area of each cell, when cells are
// large enough to spare them.
constexpr uint32_t kCellMargin = 2;
// Frames are not shrunk below this many pixels on the largest frame's
// shorter side: the pane shows fewer frames instead.
constexpr uint32_t kMinCellSide = 32;
// Decoded frames kept for later layouts, in bytes as decoded.
constexpr uint64_t kKeptFrameBytes = uint64_t{32} << 20;

// The caption band for text of `lineHeight` pixels: the line with 3 pixels
// above and below.
inline uint32_t CaptionBandHeight(uint32_t lineHeight) { return lineHeight + 6; }

struct PaneStyle {
  uint32_t captionHeight = 0;  // cut to the pane's height
  bool hasBackground = false;  // false: checkerboard under transparency
  PaneColour background;
  PaneColour captionBackground;  // fills the caption band
};

// Where the grid of cells lies in a pane.
struct PaneLayout {
  uint32_t width = 0, height = 0;  // the pane
  uint32_t captionHeight = 0;      // rows 0 .. captionHeight-1
  uint32_t shown = 0;              // frames that get a cell, the first ones
  uint32_t columns = 0, rows = 0;
  uint32_t cellWidth = 0, cellHeight = 0;
  uint32_t margin = 0;  // inside every cell, on each side
  uint32_t maxWidth = 0,
           maxHeight = 0;  // the largest frame, as the directory gives it

  // The cell of frame `index` (below shown): its top left corner.
  uint32_t CellX(uint32_t index) const { return (index % columns) * cellWidth; }
  uint32_t CellY(uint32_t index) const { return captionHeight + (index / columns) * cellHeight; }
  // A frame of width x height drawn at the common scale: its size in the
  // pane (at least 1 x 1, no larger than a cell's drawing area).
  uint32_t DrawWidth() const { return cellWidth - 2 * margin; }
  uint32_t DrawHeight() const { return cellHeight - 2 * margin; }
  void ScaledSize(uint32_t width, uint32_t height, uint32_t* outWidth, uint32_t* outHeight) const;
};

// Lays out up to `count` frames, the largest maxWidth x maxHeight, in a pane
// of width x height with a caption band of captionHeight rows.  Shows as
// many of the first frames as fit with the largest drawn at least
// kMinCellSide pixels on its shorter side (its own shorter side, if that is
// less), and at least one when the pane has room for a pixel.  The columns
// are those that give the largest common scale; ties go to fewer columns.
PaneLayout LayoutPane(uint32_t width, uint32_t height, uint32_t captionHeight, uint32_t count, uint32_t maxWidth,
                      uint32_t maxHeight);

// What the caption line tells about a sprite and its pane.
struct PaneCounts {
  uint32_t claimed = 0;     // frames as the header claims them
  uint32_t held = 0;        // entries the file holds
  uint32_t readable = 0;    // held frames the directory finds whole enough to draw
  uint32_t shown = 0;       // readable frames with a cell in the layout
  uint32_t lastShown = 0;   // the number (from 1) of the last frame with a cell
  uint32_t failed = 0;      // shown frames that did not decode (crossed cells)
  uint32_t notDecoded = 0;  // shown frames the decode budget left out
  bool firstHeld = false;   // the directory holds frame 1's entry
  uint32_t firstWidth = 0, firstHeight = 0;
  PixelFormat format = PixelFormat::kIndexed8;
};

// The caption line: "12 frames, 64 × 48, rgb565" (frame 1's size, or "first
// frame missing"); "frames 1–40 of 300" when only some are shown; "(header
// claims N)" after the count when the header claims another; then ", N
// damaged" (entries the directory rejects and frames that did not decode)
// and ", N not decoded" (left out by the decode budget) where there are any.
std::u16string PaneCaption(const PaneCounts& counts);

enum class PixelOrder { kRgba, kBgrx };

// Where the pane is drawn: width x height pixels of 4 bytes, rows `stride`
// bytes apart, top row first.
struct PaneCanvas {
  uint8_t* pixels = nullptr;
  std::ptrdiff_t stride = 0;
  PixelOrder order = PixelOrder::kRgba;
};

// What decodes the frames a pane shows: the sprite's own DecodeFrame,
// unless a test hands in one that watches the calls.
class PaneDecoder {
 public:
  virtual std::string Decode(Sprite& sprite, uint32_t index, StoredFrame* out) {
    return sprite.DecodeFrame(index, out);
  }

 protected:
  ~PaneDecoder() = default;
};
// Sprite::DecodeFrame, as is.
PaneDecoder& SpriteDecoder();

// Limits of one preparation (tests make them small).  Pixels decoded for
// one pane at most are the host's decodedPixels (a preview of any file ends
// its work there); cells of frames past it show kNotDecodedColour's dots.
struct PaneLimits {
  uint64_t decodePixels = SpriteLimits{}.decodedPixels;
  uint64_t keptFrameBytes = kKeptFrameBytes;
};

// The frames of one sprite as a pane shows them.
class PaneFrames {
 public:
  // Reads which frames are readable and the largest of them from the
  // directory; decodes nothing and keeps no reference to the sprite.
  explicit PaneFrames(const Sprite& sprite);

  // Lays the pane out for width x height under a caption band and decodes
  // the frames that layout shows, each distinct frame once, until the
  // limits' decoded pixels would be passed: the frame that would pass them
  // and every later one not yet decoded are left out.  Drops whatever an
  // earlier preparation kept.  Returns the layout.
  PaneLayout Prepare(Sprite& sprite, PaneDecoder& decoder, uint32_t width, uint32_t height, uint32_t captionHeight,
                     const PaneLimits& limits = PaneLimits{});

  // Lays the pane out for another size or caption height: the frames
  // prepared, as many as fit (more than were prepared need a new Prepare).
  PaneLayout Layout(uint32_t width, uint32_t height, uint32_t captionHeight) const;

  // Makes the cells `layout` (one of Layout's or Prepare's) needs from what
  // was kept, when its scale differs from the last one's, and gives back
  // those of frames it does not show.  Decodes nothing.
  void Refresh(const PaneLayout& layout);

  // Draws rows top .. top+rows-1 of the pane for `layout` (all of them by
  // default) into `canvas`, whose pixels start at row `top`: Refresh, then
  // every pixel of those rows written, alpha (kRgba) 255.  Decodes nothing.
  void Render(const PaneLayout& layout, const PaneStyle& style, const PaneCanvas& canvas, uint32_t top = 0,
              uint32_t rows = UINT32_MAX);

  // The caption's counts for `layout`.
  PaneCounts Counts(const PaneLayout& layout) const;

  uint32_t Prepared() const { return static_cast<uint32_t>(cellOf_.size()); }
  // Pixels the last Prepare decoded.
  uint64_t DecodedPixels() const { return decodedPixels_; }

 private:
  // A distinct frame decoded for the pane.
  struct Kept {
    uint32_t width = 0, height = 0;  // as decoded
    StoredFrame decoded;             // the frame itself, while the limit allows
    // Otherwise the frame as first drawn (RGBA).
    std::vector<uint8_t> first;
    uint32_t firstWidth = 0, firstHeight = 0;
    // Its size in the current layout (0 x 0: none made yet), and its cell
    // (RGBA) when that is smaller than what it is drawn from.
    uint32_t drawWidth = 0, drawHeight = 0;
    std::vector<uint8_t> cell;
  };
  static constexpr uint32_t kFailed = UINT32_MAX;          // did not decode
  static constexpr uint32_t kNotDecoded = UINT32_MAX - 1;  // past the budget

  PaneLayout Decode(Sprite& sprite, PaneDecoder& decoder, const PaneLayout& layout, const PaneLimits& limits);
  void MakeCell(Kept& kept, const PaneLayout& layout);

  PaneCounts directory_;            // the counts the directory alone gives
  std::vector<uint32_t> readable_;  // readable frames' indices, in order
  uint32_t maxWidth_ = 1, maxHeight_ = 1;
  // Per prepared frame (the first readable ones): index into kept_, or
  // kFailed / kNotDecoded.
  std::vector<uint32_t> cellOf_;
  std::vector<Kept> kept_;
  uint64_t decodedPixels_ = 0;
};

// `source` (rows of RGBA) scaled to width x height into `rgba` (width * 4
// bytes a row): enlarged nearest-neighbour, or shrunk by area averaging with
// the same results as ScaledRows when neither side grows.
void ScaleRgba(RgbaRows& source, uint32_t width, uint32_t height, uint8_t* rgba);
// A decoded frame scaled likewise: the pixels ScaleRgba makes of its
// FrameRgbaRows, four channels at a time where it shrinks.
void ScaleFrame(const StoredFrame& frame, uint32_t width, uint32_t height, uint8_t* rgba);

}  // namespace tamsorel
