// A sheet: several frames in one image, in a grid of equal cells (each the
// size of the largest frame), each frame at the top left of its cell and the
// rest of the cell transparent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/rgba.h"
#include "sprite/sprite.h"

namespace tamsorel {

// Most that a front end holding several frames at once (a sheet, an
// animation) may hold: its RGBA image, in bytes.
constexpr uint64_t kMaxHeldBytes = uint64_t{1} << 30;

struct SheetLayout {
  uint32_t count = 0;  // cells in use
  uint32_t columns = 0;
  uint32_t rows = 0;
  uint32_t cellWidth = 0;
  uint32_t cellHeight = 0;

  uint32_t Width() const { return columns * cellWidth; }
  uint32_t Height() const { return rows * cellHeight; }
};

// Lays out `count` cells (at least 1) of cellWidth x cellHeight (each at
// least 1) in `columns` columns, 0 meaning as many as make the grid nearly
// square; more columns than cells are cut to the cells.  False, with the
// reason in words, when the sheet's RGBA would pass kMaxHeldBytes.
bool LayoutSheet(uint32_t count, uint32_t cellWidth, uint32_t cellHeight, uint32_t columns, SheetLayout* layout,
                 std::string* problem);

// The sheet's rows.  `cells` holds one entry per cell, in order, null for a
// cell left empty; the frames must outlive the rows.  A frame larger than
// the cells is cut to its cell.
class SheetRows : public RgbaRows {
 public:
  SheetRows(const SheetLayout& layout, const std::vector<const StoredFrame*>& cells);

  uint32_t Width() const override { return layout_.Width(); }
  uint32_t Height() const override { return layout_.Height(); }
  void ReadRow(uint32_t y, uint8_t* rgba) override;

 private:
  SheetLayout layout_;
  std::vector<const StoredFrame*> cells_;
  std::vector<FrameRgbaRows> rows_;  // one per non-empty cell, in order
  std::vector<int32_t> rowsOf_;      // per cell: index into rows_, -1 empty
  std::vector<uint8_t> wideRow_;     // a row of a frame wider than its cell
};

}  // namespace tamsorel
