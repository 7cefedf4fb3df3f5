// Where a sprite's bytes come from: a file, memory, or (in the shell) a
// stream the host hands over.  The multi-frame reader asks only for reads
// at absolute offsets and the total size, so every source is read the same
// way and the reader's bounds are the same for all of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sprite/read_buffer.h"

namespace tamsorel {

class ByteSource : public ReadBuffer::Source {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `count` bytes at `offset`, fewer only at the end; false on
  // failure with `*obtained` the bytes that did arrive.
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override = 0;
  // Length in bytes when the source was opened.
  virtual uint64_t Size() const = 0;
};

// Bytes the caller keeps alive for as long as the source is used.
class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* bytes, std::size_t size) : bytes_(bytes), size_(size) {}

  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    uint32_t n = 0;
    if (offset < size_) n = static_cast<uint32_t>(count < size_ - offset ? count : size_ - offset);
    if (n > 0) std::memcpy(target, bytes_ + offset, n);
    *obtained = n;
    return true;
  }
  uint64_t Size() const override { return size_; }

 private:
  const uint8_t* bytes_;
  std::size_t size_;
};

}  // namespace tamsorel
