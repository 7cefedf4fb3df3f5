// Platforms for decoder tests and fuzzing, built on the in-memory platform.
//
//  GuardedMemoryPlatform  pixel memory with guard bytes before and after it
//                         (poisoned under AddressSanitizer), so a write that
//                         leaves the memory is caught at once or by
//                         GuardsIntact().
//  RecordingPlatform      logs every acquisition and release in order, the
//                         size of every read and seek, and can make any
//                         acquisition fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "platform/portable_platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define TAMSOREL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TAMSOREL_TEST_ASAN 1
#endif
#endif
#ifdef TAMSOREL_TEST_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace tamsorel::test {

class GuardedMemoryPlatform : public MemoryDecodePlatform {
 public:
  static constexpr std::size_t kGuard = 64;
  static constexpr uint8_t kGuardByte = 0xA5;

  using MemoryDecodePlatform::MemoryDecodePlatform;

  // True when no byte before or after any live bitmap's memory changed.
  bool GuardsIntact() const {
    for (const Block& block : blocks_) {
      if (!block.base) continue;
      Unpoison(block);
      bool intact = true;
      for (std::size_t i = 0; i < kGuard; ++i)
        intact = intact && block.base[i] == kGuardByte &&
                 block.base[kGuard + block.bytes + i] == kGuardByte;
      Poison(block);
      if (!intact) return false;
    }
    return true;
  }

 protected:
  uint8_t* AllocatePixelMemory(std::size_t bytes) override {
    auto* base = new (std::nothrow) uint8_t[bytes + 2 * kGuard];
    if (!base) return nullptr;
    std::memset(base, kGuardByte, kGuard);
    std::memset(base + kGuard, 0, bytes);
    std::memset(base + kGuard + bytes, kGuardByte, kGuard);
    blocks_.push_back({base, bytes});
    Poison(blocks_.back());
    return base + kGuard;
  }

  void FreePixelMemory(uint8_t* memory, std::size_t) override {
    for (Block& block : blocks_) {
      if (block.base && block.base + kGuard == memory) {
        Unpoison(block);
        delete[] block.base;
        block.base = nullptr;
      }
    }
  }

 private:
  struct Block {
    uint8_t* base;
    std::size_t bytes;
  };
  static void Poison(const Block& block) {
#ifdef TAMSOREL_TEST_ASAN
    ASAN_POISON_MEMORY_REGION(block.base, kGuard);
    ASAN_POISON_MEMORY_REGION(block.base + kGuard + block.bytes, kGuard);
#else
    (void)block;
#endif
  }
  static void Unpoison(const Block& block) {
#ifdef TAMSOREL_TEST_ASAN
    ASAN_UNPOISON_MEMORY_REGION(block.base, kGuard);
    ASAN_UNPOISON_MEMORY_REGION(block.base + kGuard + block.bytes, kGuard);
#else
    (void)block;
#endif
  }
  std::vector<Block> blocks_;
};

// Which acquisition a RecordingPlatform refuses.
struct Faults {
  bool palette = false;         // no palette resource
  bool block = false;           // line-offset block cannot be allocated
  bool dc = false;              // no screen device context
  bool bitmapHandle = false;    // bitmap creation gives no handle
  bool bitmapPixels = false;    // ... gives a handle but no pixel memory
  bool bitmapSize = false;      // ... gives memory whose size is not known
};

class RecordingPlatform : public GuardedMemoryPlatform {
 public:
  using GuardedMemoryPlatform::GuardedMemoryPlatform;

  Faults faults;
  std::vector<std::string> events;     // "open", "close", "dc+", "dc-", ...
  std::vector<uint32_t> reads;         // requested byte counts, in order
  std::vector<uint32_t> seeks;         // offsets, in order

  std::string Events() const {
    std::string all;
    for (const std::string& e : events) all += (all.empty() ? "" : " ") + e;
    return all;
  }

  FileHandle OpenFile(const char16_t* path) override {
    FileHandle file = MemoryDecodePlatform::OpenFile(path);
    events.push_back(file ? "open" : "open-failed");
    return file;
  }
  bool ReadFile(FileHandle file, void* buffer, uint32_t count, uint32_t* obtained) override {
    reads.push_back(count);
    return MemoryDecodePlatform::ReadFile(file, buffer, count, obtained);
  }
  void SeekFile(FileHandle file, uint32_t offset) override {
    seeks.push_back(offset);
    MemoryDecodePlatform::SeekFile(file, offset);
  }
  void CloseFile(FileHandle file) override {
    events.push_back("close");
    MemoryDecodePlatform::CloseFile(file);
  }
  PaletteHandle AcquirePalette(const uint8_t** bytes) override {
    if (faults.palette) return nullptr;
    events.push_back("palette+");
    return MemoryDecodePlatform::AcquirePalette(bytes);
  }
  void ReleasePalette(PaletteHandle palette) override {
    events.push_back("palette-");
    MemoryDecodePlatform::ReleasePalette(palette);
  }
  uint8_t* AllocateBlock(std::size_t bytes) override {
    if (faults.block) return nullptr;
    events.push_back("block+");
    return MemoryDecodePlatform::AllocateBlock(bytes);
  }
  void FreeBlock(uint8_t* block) override {
    events.push_back("block-");
    MemoryDecodePlatform::FreeBlock(block);
  }
  DcHandle GetScreenDc() override {
    if (faults.dc) return nullptr;
    events.push_back("dc+");
    return MemoryDecodePlatform::GetScreenDc();
  }
  void ReleaseScreenDc(DcHandle dc) override {
    events.push_back("dc-");
    MemoryDecodePlatform::ReleaseScreenDc(dc);
  }
  CreatedBitmap CreateBitmap(DcHandle dc, const uint8_t* header) override {
    if (faults.bitmapHandle) return {};
    CreatedBitmap created = MemoryDecodePlatform::CreateBitmap(dc, header);
    if (created.handle) events.push_back("bitmap+");
    if (created.handle && faults.bitmapPixels) {
      created.pixels = nullptr;
      created.pixelBytes = 0;
    }
    if (created.handle && faults.bitmapSize) created.pixelBytes = 0;
    return created;
  }
  void DeleteBitmap(BitmapHandle bitmap) override {
    events.push_back("bitmap-");
    MemoryDecodePlatform::DeleteBitmap(bitmap);
  }
};

}  // namespace tamsorel::test
