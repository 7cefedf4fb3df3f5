// A read buffer under the decoder's file reads.  The decoder reads a file in
// many small pieces (a tag, a run of pixels, the next tag ...) and seeks
// between lines; ReadBuffer serves those reads from one block of the file
// held in memory, so that a whole line, or a whole small file, costs one
// system read instead of one per piece.
//
// The buffer keeps the logical file position itself and asks its source for
// bytes at absolute offsets only when a read falls outside the block it
// holds.  Results are those of unbuffered reads at the same positions: the
// same bytes, the same short count at the end of the file, no bytes for
// positions beyond it.  The file is never mapped: bytes come from plain
// reads, so a file that shrinks or goes away while it is read gives short or
// failed reads, never a fault.
//
// Portable; each platform supplies a Source (pread on POSIX, ReadFile on
// Windows).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamsorel {

class ReadBuffer {
 public:
  // Raw reads of the platform.  Reads up to `count` bytes at `offset`, fewer
  // only at the end of the file; false on failure, with `*obtained` the
  // bytes that did arrive.
  class Source {
   public:
    virtual bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) = 0;

   protected:
    ~Source() = default;
  };

  // Largest block held; reads at least this long bypass the buffer.
  static constexpr uint32_t kMaxCapacity = 256 * 1024;
  // A file that fits in the buffer (CapacityFor gives it a capacity below
  // kMaxCapacity) is read whole by the first fill: one system read serves
  // the whole decode.  Larger files start with a fill of this size and
  // grow, so that a frame read in one go (SPR, S16) is not first copied
  // through the buffer.
  static constexpr uint32_t kFirstFill = 64 * 1024;
  // After a seek away from the block, the next fill is this small and then
  // doubles while reading stays sequential, so files whose lines point all
  // over the file cost little more than the bytes the lines take.
  static constexpr uint32_t kSeekFill = 1024;

  // Capacity that suits a file of `fileBytes`: the whole file when it is
  // small, kMaxCapacity otherwise, never 0.
  static uint32_t CapacityFor(uint64_t fileBytes);

  // `storage` holds `capacity` bytes and outlives the buffer.
  ReadBuffer(uint8_t* storage, uint32_t capacity) : storage_(storage), capacity_(capacity) {}

  // Same contract as DecodePlatform::ReadFile.  Reads that the block holds
  // whole (nearly all of them: tags and short runs) take the inline path.
  bool Read(Source& source, void* target, uint32_t count, uint32_t* obtained) {
    if (ReadHeld(target, count)) {
      *obtained = count;
      return true;
    }
    return ReadThroughSource(source, target, count, obtained);
  }

  // Serves a read of `count` bytes (at least one) from the block when the
  // block holds all of them, and moves the position on; otherwise changes
  // nothing and returns false.
  bool ReadHeld(void* target, uint32_t count) {
    // `at` wraps to a huge value when the position lies before the block;
    // `count - 1` wraps for empty reads, which are never served here (their
    // target may be null).
    const uint64_t at = position_ - blockStart_;
    if (at >= blockBytes_ || count - 1u >= blockBytes_ - at) return false;
    // Two-byte reads (tags, short fields) copy as one 16-bit move, which
    // the caller's following load can take straight from the store.
    if (count == 2)
      std::memcpy(target, storage_ + at, 2);
    else
      std::memcpy(target, storage_ + at, count);
    position_ += count;
    return true;
  }
  // The bytes the block holds from the current position on, for a caller
  // that parses them in place; `*count` 0 (and null) when the position lies
  // outside the block.  Consume then moves past what was used.
  const uint8_t* Held(uint32_t* count) const {
    const uint64_t at = position_ - blockStart_;
    if (at >= blockBytes_) {
      *count = 0;
      return nullptr;
    }
    *count = blockBytes_ - static_cast<uint32_t>(at);
    return storage_ + at;
  }
  void Consume(uint32_t count) { position_ += count; }

  // Moves the logical position; no bytes are read until the next Read.
  void Seek(uint64_t offset) { position_ = offset; }

  uint64_t position() const { return position_; }

 private:
  bool ReadThroughSource(Source& source, void* target, uint32_t count, uint32_t* obtained);
  // Reads the block that starts at the current position; false on failure.
  bool Fill(Source& source);

  uint8_t* storage_;
  uint32_t capacity_;
  uint64_t position_ = 0;
  uint64_t blockStart_ = 0;  // file offset of storage_[0]
  uint32_t blockBytes_ = 0;  // valid bytes in storage_
  uint32_t nextFill_ = 0;    // size of the next fill; 0: the whole capacity
  // Where a fill last found the end of the file (UINT64_MAX: not yet).
  // Within one open the file is shared for reading only, so that end holds.
  uint64_t knownEnd_ = UINT64_MAX;
};

}  // namespace tamsorel
