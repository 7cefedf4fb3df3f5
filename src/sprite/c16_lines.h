// The one expander of C16 lines: thumbnails and every frame of every other
// surface take a C16 frame's pixels from here, so the same file shows the
// same pixels everywhere.
//
// The frame's pixel memory is seen as one run of rows of width + (width & 1)
// pixels (the layout of a 16-bit bitmap's 4-byte aligned rows), zero-filled
// by the caller.  The write position carries on from where the previous
// line left it, plus the padding pixel of odd widths, so a well-formed line
// k fills exactly row k; a line with fewer pixels makes the next one start
// early, a line with more runs on into the next row.  A run that would pass
// the end of the memory is cut there and ends the expansion: nothing is
// ever written outside the frame.  Pixels that cannot be read (a line cut
// off by the end of the file) stay zero, that is transparent.
//
// The work is bounded by the pixel memory and the number of lines: every
// tag either moves the write position or ends its line, except empty colour
// runs (tag 1), which do neither.  After kIdleTagAllowance of those in the
// frame the expansion stops and the pixels drawn so far stand, so a file
// whose lines all point at the same long chain of empty runs costs no more
// than a well-formed one.
//
// Reader is the file as the expander reads it:
//   ReadBuffer* Buffer();     the read buffer the reads below are served
//                             from, or null (then every read goes through
//                             the next three)
//   void Seek(uint64_t offset);
//   bool ReadExactly(void* target, uint32_t count);
//   uint32_t ReadSome(uint8_t* target, std::size_t count);  bytes obtained
// Reads through Buffer() and through the others see the same file
// position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sprite/read_buffer.h"
#include "sprite/sprite_format.h"

namespace tamsorel {

// Empty colour runs (tag 1: no pixels, not the end of the line) a C16 frame
// may hold in all before its expansion stops with the pixels drawn so far.
constexpr uint32_t kIdleTagAllowance = 256;

// The first thing about a frame's lines that does not add up, if any.  The
// frame is expanded all the same, by the rules above.
struct C16Irregularity {
  enum class Kind : uint8_t {
    kNone,
    kShortLine,  // the line holds `pixels` fewer pixels than the frame is wide
    kLongLine,   // the line holds `pixels` more: they run on into the next row
    kCut,        // the line is cut off by the end of the file
    kPastFrame,  // the line's runs pass the end of the frame: the rest is cut
    kIdleRuns,   // more empty runs than any frame needs: expansion stopped
  };
  Kind kind = Kind::kNone;
  uint32_t line = 0;    // from 1
  uint64_t pixels = 0;  // kShortLine, kLongLine
};

template <class Reader>
class C16Expansion {
 public:
  // `lineOffsets` holds the offsets of lines 2..height (4 bytes each);
  // `pixels` is zero-filled memory of `totalPixels` 16-bit pixels.
  C16Expansion(Reader& reader, const FrameEntry& entry, const uint8_t* lineOffsets, uint8_t* pixels,
               std::size_t totalPixels)
      : reader_(reader),
        entry_(entry),
        lineOffsets_(lineOffsets),
        pixels_(pixels),
        totalPixels_(totalPixels),
        rowPixels_(std::size_t{entry.width} + (entry.width & 1u)) {}

  // Expands every line; what did not add up is in irregularity().
  void Run() {
    if (entry_.height == 0) return;
    do {
      reader_.Seek(LineOffset());
    } while (ExpandFromHere() == Expanded::kSeekLine);
  }

  const C16Irregularity& irregularity() const { return irregularity_; }

 private:
  enum class Expanded { kMore, kSeekLine, kDone };

  uint32_t LineOffset() const { return line_ == 0 ? entry_.offset : LoadLe32(lineOffsets_ + 4 * (line_ - 1)); }

  void Note(C16Irregularity::Kind kind, uint64_t pixels = 0) {
    if (irregularity_.kind != C16Irregularity::Kind::kNone) return;
    irregularity_.kind = kind;
    irregularity_.line = line_ + 1;
    irregularity_.pixels = pixels;
  }

  // The end tag of the current line: notes a line that does not fill its
  // row exactly, then moves past the padding pixel of odd widths to the
  // next line.  False when the expansion is over: no room for the padding
  // pixel, or no line left.
  bool EndLine() {
    const uint64_t rowEnd = uint64_t{line_} * rowPixels_ + entry_.width;
    if (p_ != rowEnd && irregularity_.kind == C16Irregularity::Kind::kNone) {
      if (p_ < rowEnd)
        Note(C16Irregularity::Kind::kShortLine, rowEnd - p_);
      else
        Note(C16Irregularity::Kind::kLongLine, p_ - rowEnd);
    }
    if (entry_.width & 1) {
      if (p_ == totalPixels_) return false;
      ++p_;
    }
    return ++line_ < entry_.height;
  }

  bool Idle() {
    if (++idleTags_ <= kIdleTagAllowance) return true;
    Note(C16Irregularity::Kind::kIdleRuns);
    return false;
  }

  // Expands the tags and runs that the read buffer holds whole, parsing them
  // in place, exactly as the tag-by-tag reads below would: it stops before
  // the first tag or run the buffer does not hold, and before a run that
  // would pass the end of the pixel memory, and leaves those to the reads.
  // When a line ends, the next one goes on here if the buffer holds its
  // start (lines usually follow each other); otherwise kSeekLine.
  Expanded ExpandHeldRuns(ReadBuffer& buffer) {
    uint32_t held = 0;
    const uint8_t* const first = buffer.Held(&held);
    const uint64_t firstAt = buffer.position();
    const uint8_t* in = first;
    const uint8_t* const inEnd = first + held;
    uint8_t* out = pixels_ + 2 * p_;
    uint8_t* const outEnd = pixels_ + 2 * totalPixels_;
    Expanded outcome = Expanded::kMore;
    while (inEnd - in >= 2) {
      const uint16_t tag = LoadLe16(in);
      const std::size_t bytes = tag & ~1u;  // the run's pixels times two
      if (bytes == 0) {
        in += 2;
        if (tag == 0) {
          p_ = static_cast<std::size_t>(out - pixels_) / 2;
          if (!EndLine()) {
            outcome = Expanded::kDone;
            break;
          }
          out = pixels_ + 2 * p_;
          const uint64_t next = LineOffset();
          if (next < firstAt || next - firstAt >= held) {
            outcome = Expanded::kSeekLine;
            break;
          }
          in = first + (next - firstAt);
          continue;
        }
        if (!Idle()) {
          outcome = Expanded::kDone;
          break;
        }
        continue;
      }
      if (bytes > static_cast<std::size_t>(outEnd - out)) break;
      if (tag & 1) {
        if (bytes > static_cast<std::size_t>(inEnd - in - 2)) break;
        std::memcpy(out, in + 2, bytes);
        in += 2 + bytes;
      } else {
        in += 2;
      }
      out += bytes;
    }
    // `in` never lies before `first`: only lines at or after it are taken.
    buffer.Consume(static_cast<uint32_t>(in - first));
    p_ = static_cast<std::size_t>(out - pixels_) / 2;
    return outcome;
  }

  // Expands from the current file position until a line ends (kSeekLine:
  // the next line must be sought) or the expansion is over (kDone).
  Expanded ExpandFromHere() {
    ReadBuffer* const buffer = reader_.Buffer();
    for (;;) {
      if (buffer) {
        const Expanded held = ExpandHeldRuns(*buffer);
        if (held != Expanded::kMore) return held;
      }
      // One tag (and its run) through the reads: the buffer does not hold
      // it whole, or the run reaches the end of the pixel memory.  A tag
      // that cannot be read ends the line.
      uint8_t tagBytes[2];
      uint16_t tag = 0;
      if (reader_.ReadExactly(tagBytes, sizeof tagBytes))
        tag = LoadLe16(tagBytes);
      else
        Note(C16Irregularity::Kind::kCut);
      if (tag == 0) return EndLine() ? Expanded::kSeekLine : Expanded::kDone;
      const std::size_t run = tag >> 1;
      if (run == 0) {
        if (!Idle()) return Expanded::kDone;
        continue;
      }
      const std::size_t room = totalPixels_ - p_;
      if (run > room) {
        Note(C16Irregularity::Kind::kPastFrame);
        if ((tag & 1) && room > 0) ReadPixels(pixels_ + 2 * p_, 2 * room);
        return Expanded::kDone;
      }
      if (tag & 1) ReadPixels(pixels_ + 2 * p_, 2 * run);
      p_ += run;
    }
  }

  void ReadPixels(uint8_t* target, std::size_t count) {
    if (reader_.ReadSome(target, count) < count) Note(C16Irregularity::Kind::kCut);
  }

  Reader& reader_;
  const FrameEntry& entry_;
  const uint8_t* const lineOffsets_;
  uint8_t* const pixels_;
  const std::size_t totalPixels_;
  const std::size_t rowPixels_;
  std::size_t p_ = 0;  // write position, in pixels
  uint32_t idleTags_ = 0;
  uint32_t line_ = 0;
  C16Irregularity irregularity_;
};

}  // namespace tamsorel
