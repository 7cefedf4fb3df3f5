// Every frame of a sprite drawn into a pane of a given size: a caption band
// across the top, and below it a grid of equal cells chosen so that the
// frames come out as large as the pane allows.  All frames share one scale
// (the largest frame fills its cell), keep their aspect and sit centred in
// their cells; enlarged frames are drawn nearest-neighbour so that pixel art
// stays crisp, shrunk ones area-averaged by ScaledRows.  Transparency shows
// a light checkerboard, or a background colour when one is given.  A frame
// that cannot be decoded leaves its cell empty with a cross over it.
//
// The pane is drawn straight into the caller's 32-bit pixel memory (RGBA or
// the BGRX order of a Windows DIB section), so drawing holds no more than
// that memory, one decoded frame and a few rows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "frames/sprite.h"

namespace tamsorel {

struct PaneColour {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const PaneColour& o) const { return red == o.red && green == o.green && blue == o.blue; }
};

// The checkerboard under transparent pixels when no background is given:
// squares of kCheckerSize pixels, counted from the pane's top left corner.
constexpr uint32_t kCheckerSize = 8;
constexpr PaneColour kCheckerLight{255, 255, 255};
constexpr PaneColour kCheckerDark{214, 214, 214};
// The cross over a cell whose frame cannot be drawn.
constexpr PaneColour kCrossColour{176, 32, 32};
// Pixels left free around the drawing area of each cell, when cells are
// large enough to spare them.
constexpr uint32_t kCellMargin = 2;

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
  uint32_t shown = 0;              // frames that get a cell (all, unless the pane has fewer pixels)
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

// Lays out `count` frames, the largest maxWidth x maxHeight, in a pane of
// width x height with a caption band of captionHeight rows.  The columns are
// those that give the largest common scale; ties go to fewer columns.  When
// the pane has fewer pixels below the caption than there are frames, the
// first ones get cells of one pixel and the rest are not shown.
PaneLayout LayoutPane(uint32_t width, uint32_t height, uint32_t captionHeight, uint32_t count, uint32_t maxWidth,
                      uint32_t maxHeight);

// The largest frame of the directory (frames without an entry count as
// nothing; a sprite without frames as 1 x 1).
void LargestFrame(const Sprite& sprite, uint32_t* width, uint32_t* height);

// The caption line: "12 frames, 64 × 48, rgb565" (the first frame's size;
// "first frame missing" when the directory has no entry for it).
std::u16string PaneCaption(const Sprite& sprite);

enum class PixelOrder { kRgba, kBgrx };

// Where the pane is drawn: width x height pixels of 4 bytes, rows `stride`
// bytes apart, top row first.
struct PaneCanvas {
  uint8_t* pixels = nullptr;
  std::ptrdiff_t stride = 0;
  PixelOrder order = PixelOrder::kRgba;
};

// Draws the whole pane: caption band background, then every shown frame
// decoded one at a time (`scratch` holds the frame being drawn and is left
// empty).  Every pixel of the canvas is written, alpha (kRgba) 255.
// Returns how many shown frames were drawn as damaged cells.
uint32_t RenderPane(Sprite& sprite, const PaneLayout& layout, const PaneStyle& style, const PaneCanvas& canvas,
                    StoredFrame* scratch);

}  // namespace tamsorel
