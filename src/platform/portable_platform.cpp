#include "platform/portable_platform.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

#include "bitmap/bitmap_header.h"
#include "sprite/palette.h"

namespace tamsorel {

namespace {

// Stand-ins for handles that need no state of their own.
char paletteToken;
char dcToken;

struct MemoryFile {
  const uint8_t* bytes;
  std::size_t size;
  std::size_t position;
};

}  // namespace

// --- palette, blocks, device context, bitmaps -------------------------------

DecodePlatform::PaletteHandle PortableBitmapPlatform::AcquirePalette(const uint8_t** bytes) {
  *bytes = kBuiltInPalette;
  ++livePalettes_;
  return &paletteToken;
}

void PortableBitmapPlatform::ReleasePalette(PaletteHandle) { --livePalettes_; }

uint8_t* PortableBitmapPlatform::AllocateBlock(std::size_t bytes) {
  uint8_t* block = DecodePlatform::AllocateBlock(bytes);
  if (block) ++liveBlocks_;
  return block;
}

void PortableBitmapPlatform::FreeBlock(uint8_t* block) {
  DecodePlatform::FreeBlock(block);
  --liveBlocks_;
}

DecodePlatform::DcHandle PortableBitmapPlatform::GetScreenDc() {
  ++liveDcs_;
  return &dcToken;
}

void PortableBitmapPlatform::ReleaseScreenDc(DcHandle) { --liveDcs_; }

uint8_t* PortableBitmapPlatform::AllocatePixelMemory(std::size_t bytes) {
  return new (std::nothrow) uint8_t[bytes]();
}

void PortableBitmapPlatform::FreePixelMemory(uint8_t* memory, std::size_t) { delete[] memory; }

DecodePlatform::CreatedBitmap PortableBitmapPlatform::CreateBitmap(DcHandle, const uint8_t* header) {
  CreatedBitmap created;
  const BitmapHeaderView view = ReadBitmapHeader(header);
  const uint64_t bytes = BitmapPixelBytes(view);
  if (bytes == 0 || bytes > maxPixelBytes_) return created;
  const std::size_t stride = BitmapStride(view);
  const uint32_t rows = static_cast<uint32_t>(view.height < 0 ? -view.height : view.height);

  std::unique_ptr<HeapBitmap> bitmap(new (std::nothrow) HeapBitmap);
  if (!bitmap) return created;
  bitmap->header.assign(header, header + kInfoHeaderSize + ColourBytes(view));
  bitmap->width = view.width;
  bitmap->height = static_cast<int32_t>(rows);
  bitmap->bitCount = view.bitCount;
  bitmap->stride = stride;
  bitmap->pixelBytes = static_cast<std::size_t>(bytes);
  bitmap->pixels = AllocatePixelMemory(bitmap->pixelBytes);
  if (!bitmap->pixels) return created;

  created.handle = bitmap.get();
  created.pixels = bitmap->pixels;
  created.pixelBytes = bitmap->pixelBytes;
  bitmap.release();
  ++liveBitmaps_;
  return created;
}

void PortableBitmapPlatform::DeleteBitmap(BitmapHandle handle) {
  auto* bitmap = static_cast<HeapBitmap*>(handle);
  FreePixelMemory(bitmap->pixels, bitmap->pixelBytes);
  delete bitmap;
  --liveBitmaps_;
}

// --- files in memory -------------------------------------------------------

void MemoryDecodePlatform::AddFile(const std::u16string& path, std::vector<uint8_t> bytes) {
  Stored& stored = files_[path];
  stored.owned = std::move(bytes);
  stored.bytes = stored.owned.data();
  stored.size = stored.owned.size();
}

void MemoryDecodePlatform::AddFileView(const std::u16string& path, const uint8_t* bytes,
                                       std::size_t size) {
  Stored& stored = files_[path];
  stored.owned.clear();
  stored.bytes = bytes;
  stored.size = size;
}

DecodePlatform::FileHandle MemoryDecodePlatform::OpenFile(const char16_t* path) {
  const auto found = files_.find(path);
  if (found == files_.end()) return nullptr;
  auto* file = new (std::nothrow) MemoryFile{found->second.bytes, found->second.size, 0};
  if (file) ++liveFiles_;
  return file;
}

bool MemoryDecodePlatform::ReadFile(FileHandle handle, void* buffer, uint32_t count,
                                    uint32_t* obtained) {
  auto* file = static_cast<MemoryFile*>(handle);
  std::size_t n = 0;
  if (file->position < file->size) n = std::min<std::size_t>(count, file->size - file->position);
  if (n > 0) std::memcpy(buffer, file->bytes + file->position, n);
  file->position += n;
  *obtained = static_cast<uint32_t>(n);
  return true;
}

void MemoryDecodePlatform::SeekFile(FileHandle handle, uint32_t offset) {
  static_cast<MemoryFile*>(handle)->position = offset;
}

void MemoryDecodePlatform::CloseFile(FileHandle handle) {
  delete static_cast<MemoryFile*>(handle);
  --liveFiles_;
}

}  // namespace tamsorel
