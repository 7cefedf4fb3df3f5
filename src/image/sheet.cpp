#include "image/sheet.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tamsorel {

bool LayoutSheet(uint32_t count, uint32_t cellWidth, uint32_t cellHeight, uint32_t columns, SheetLayout* layout,
                 std::string* problem) {
  count = std::max<uint32_t>(count, 1);
  cellWidth = std::max<uint32_t>(cellWidth, 1);
  cellHeight = std::max<uint32_t>(cellHeight, 1);
  if (columns == 0) {
    columns = 1;
    while (uint64_t{columns} * columns < count) ++columns;
  }
  columns = std::min(columns, count);
  const uint32_t rows = (count + columns - 1) / columns;
  const uint64_t width = uint64_t{columns} * cellWidth, height = uint64_t{rows} * cellHeight;
  // Both sides are below 2^32 each, so the product fits in 64 bits.
  if (width * height * 4 > kMaxHeldBytes) {
    *problem = "the sheet would be " + std::to_string(width) + " × " + std::to_string(height) +
               " pixels, more than the 1 GiB a sheet may hold; choose fewer frames with --frames";
    return false;
  }
  *layout = SheetLayout{count, columns, rows, cellWidth, cellHeight};
  return true;
}

SheetRows::SheetRows(const SheetLayout& layout, const std::vector<const StoredFrame*>& cells)
    : layout_(layout), cells_(cells) {
  cells_.resize(layout.count, nullptr);
  for (const StoredFrame* frame : cells_) {
    if (frame && frame->width > 0 && frame->height > 0) {
      rowsOf_.push_back(static_cast<int32_t>(rows_.size()));
      rows_.emplace_back(ViewOf(*frame));
    } else {
      rowsOf_.push_back(-1);
    }
  }
}

void SheetRows::ReadRow(uint32_t y, uint8_t* rgba) {
  std::memset(rgba, 0, std::size_t{Width()} * 4);
  const uint32_t gridRow = y / layout_.cellHeight, inCell = y % layout_.cellHeight;
  for (uint32_t column = 0; column < layout_.columns; ++column) {
    const uint64_t cell = uint64_t{gridRow} * layout_.columns + column;
    if (cell >= rowsOf_.size() || rowsOf_[cell] < 0) continue;
    FrameRgbaRows& frame = rows_[rowsOf_[cell]];
    if (inCell >= frame.Height()) continue;
    uint8_t* const target = rgba + std::size_t{column} * layout_.cellWidth * 4;
    if (frame.Width() <= layout_.cellWidth) {
      frame.ReadRow(inCell, target);
    } else {
      // Frames larger than the cell are cut to it: rows below the cell are
      // never asked for, and columns past it are dropped here.
      wideRow_.resize(std::size_t{frame.Width()} * 4);
      frame.ReadRow(inCell, wideRow_.data());
      std::memcpy(target, wideRow_.data(), std::size_t{layout_.cellWidth} * 4);
    }
  }
}

}  // namespace tamsorel
