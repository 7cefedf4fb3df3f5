// A ByteSource that counts what a reader asks of the file it wraps: calls
// and bytes requested (not the bytes obtained: a read past the end of the
// file costs its whole request on a real file system too).
#pragma once

#include <cstdint>

#include "sprite/byte_source.h"

namespace tamsorel::test {

class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(ByteSource& inner) : inner_(inner) {}
  bool ReadAt(uint64_t offset, uint8_t* target, uint32_t count, uint32_t* obtained) override {
    ++reads;
    requested += count;
    return inner_.ReadAt(offset, target, count, obtained);
  }
  uint64_t Size() const override { return inner_.Size(); }

  uint64_t reads = 0;
  uint64_t requested = 0;

 private:
  ByteSource& inner_;
};

}  // namespace tamsorel::test
