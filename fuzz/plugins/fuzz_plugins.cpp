// libFuzzer target for the image plug-ins' own logic, over the sprite core:
//   - the gdk-pixbuf loader (its S16/C16 module) fed the file in chunks of
//     sizes the input chooses, with the size callback sometimes asking for
//     no image, then every frame of an animation shown through its iterator
//     on the canvas that holds them all;
//   - the Qt handler reading the file from a QBuffer as SPR, S16, C16 or
//     with the format to be found, with size, count, jumps and reads.
// Input: a selector byte, a chunk-size byte, then the file.
//
// Decoding is what an input costs (fresh pixel memory and a conversion for
// every pixel), so each input decodes at most kPixelBudget pixels: frames
// past it are skipped (the iterator moves on without showing them, the Qt
// handler jumps over them).  The loader decodes frame 1 as soon as it opens
// a file, so a file whose frame 1 alone passes the budget is not given to
// it; the Qt handler decodes only what is read.  Every frame that is decoded
// gets every check.

// GLib's headers before Qt's: Qt's "signals" keyword would rename a field of theirs.
#define TAMSOREL_LOADER_SPR 0
#include "loader.cpp"  // the module's code, not loaded as a module

#include <QBuffer>
#include <QImage>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_require.h"
#include "sprite_plugin.h"

namespace {

using tamsorel::fuzz::Require;

constexpr uint64_t kPixelBudget = uint64_t{64} << 10;

uint64_t Pixels(uint32_t width, uint32_t height) { return uint64_t{width} * height; }

// The frames a viewer shows, as the sprite core lists them: frame 1, then
// every later frame whose entry is sound, up to the last entry the file
// holds.  Their sizes, in that order; empty when the file does not open.
std::vector<std::pair<uint32_t, uint32_t>> ShownFrames(const uint8_t* file, std::size_t size, bool spr) {
  std::vector<std::pair<uint32_t, uint32_t>> shown;
  tamsorel::MemorySource source(file, size);
  std::string problem;
  const std::unique_ptr<tamsorel::Sprite> sprite = tamsorel::Sprite::Open(source, spr, &problem);
  if (!sprite) return shown;
  for (uint32_t i = 0; i < sprite->HeldFrames(); ++i) {
    const tamsorel::FrameInfo& info = sprite->Frame(i);
    if (i == 0 || tamsorel::Readable(info)) shown.emplace_back(info.width, info.height);
  }
  return shown;
}

struct Seen {
  int prepared = 0;
  int width = 0;
  int height = 0;
  bool noImage = false;
  uint64_t budget = 0;  // an image larger than this is declined at its size
  GdkPixbufAnimation* animation = nullptr;
};

void SizeOf(int* width, int* height, gpointer data) {
  Seen* seen = static_cast<Seen*>(data);
  Require(*width > 0 && *height > 0, "the announced size has no pixels");
  seen->width = *width;
  seen->height = *height;
  if (seen->noImage || Pixels(*width, *height) > seen->budget) *width = *height = 0;
}

void Prepared(GdkPixbuf* pixbuf, GdkPixbufAnimation* animation, gpointer data) {
  Seen* seen = static_cast<Seen*>(data);
  ++seen->prepared;
  Require(gdk_pixbuf_get_width(pixbuf) == seen->width && gdk_pixbuf_get_height(pixbuf) == seen->height,
          "the image is not the size announced");
  if (animation) seen->animation = GDK_PIXBUF_ANIMATION(g_object_ref(animation));
}

void Updated(GdkPixbuf*, int, int, int, int, gpointer) {}

void FuzzLoader(uint8_t selector, uint8_t chunkByte, const uint8_t* file, std::size_t size) {
  FirstFrame first;
  std::string problem;
  if (tamsorel::plugins::ReadFirstFrame(file, size, false, &first, &problem) == HeaderState::kReady &&
      Pixels(first.width, first.height) > kPixelBudget)
    return;
  GdkPixbufModule module = {};
  fill_vtable(&module);
  Seen seen;
  seen.noImage = (selector & 0x10) != 0;
  // An animation's canvas may be larger than frame 1: the size callback
  // declines what passes the budget, before anything is decoded on it.
  seen.budget = kPixelBudget;
  GError* error = nullptr;
  gpointer context = module.begin_load(SizeOf, Prepared, Updated, &seen, &error);
  Require(context != nullptr, "begin_load failed");
  // Chunks of 1 to 64 bytes, or the rest in one piece.
  const std::size_t chunk = (chunkByte & 0x80) ? size : 1 + (chunkByte & 0x3F);
  bool fed = true;
  for (std::size_t at = 0; at < size && fed; at += chunk) {
    const std::size_t n = std::min(chunk, size - at);
    fed = module.load_increment(context, file + at, static_cast<guint>(n), &error);
    Require(fed == (error == nullptr), "load_increment's result and error disagree");
  }
  g_clear_error(&error);
  const gboolean done = module.stop_load(context, &error);
  Require(done == (error == nullptr), "stop_load's result and error disagree");
  Require(!done || !fed || seen.prepared == 1, "a loaded image was not handed over once");
  if (error) Require(error->message && error->message[0], "an error without words");
  g_clear_error(&error);
  if (seen.animation) {
    // Each frame shows for 100 ms, in turn, from the start on: step s (at
    // s * 100 ms + 50 ms) shows frame s modulo the frames shown, on the
    // canvas that holds them all: frame 1, then each frame that keeps the
    // canvas within the loader's bound.
    std::vector<std::pair<uint32_t, uint32_t>> shown;
    uint32_t canvasWidth = 0, canvasHeight = 0;
    for (const auto& frame : ShownFrames(file, size, false)) {
      const uint32_t w = std::max(canvasWidth, frame.first), h = std::max(canvasHeight, frame.second);
      if (!shown.empty() && Pixels(w, h) > kCanvasPixels) continue;
      canvasWidth = w;
      canvasHeight = h;
      shown.push_back(frame);
    }
    Require(shown.size() > 1, "an animation of fewer than two frames");
    uint64_t budget = kPixelBudget - Pixels(canvasWidth, canvasHeight);
    int width = 0, height = 0;
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    width = gdk_pixbuf_animation_get_width(seen.animation);
    height = gdk_pixbuf_animation_get_height(seen.animation);
    G_GNUC_END_IGNORE_DEPRECATIONS
    Require(static_cast<uint32_t>(width) == canvasWidth && static_cast<uint32_t>(height) == canvasHeight &&
                width == seen.width && height == seen.height,
            "the animation is not the size that holds every frame, or not the size announced");
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GTimeVal start = {1000, 0};
    GdkPixbufAnimationIter* iter = gdk_pixbuf_animation_get_iter(seen.animation, &start);
    for (int step = 1; step <= 40; ++step) {
      GTimeVal now = {1000 + step / 10, (step % 10) * 100000 + 50000};
      const std::size_t index = step % shown.size();
      Require(gdk_pixbuf_animation_iter_advance(iter, &now) == (index != (step - 1) % shown.size()),
              "the animation moved on at another time than a frame's 100 ms");
      // Frame 1 is the image already made; any other is decoded now, onto
      // a canvas of its own.
      const uint64_t pixels = index == 0 ? 0 : Pixels(canvasWidth, canvasHeight);
      if (pixels > budget) continue;
      budget -= pixels;
      GdkPixbuf* pixbuf = gdk_pixbuf_animation_iter_get_pixbuf(iter);
      Require(pixbuf != nullptr, "an animation frame without a pixbuf");
      Require(static_cast<uint32_t>(gdk_pixbuf_get_width(pixbuf)) == canvasWidth &&
                  static_cast<uint32_t>(gdk_pixbuf_get_height(pixbuf)) == canvasHeight,
              "an animation frame not on the animation's canvas");
    }
    g_object_unref(iter);
    g_object_unref(seen.animation);
    G_GNUC_END_IGNORE_DEPRECATIONS
  }
}

void FuzzQt(uint8_t selector, const uint8_t* file, std::size_t size) {
  static const char* const kFormats[] = {"spr", "s16", "c16", ""};
  QByteArray bytes(reinterpret_cast<const char*>(file), static_cast<int>(size));
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::ReadOnly);
  tamsorel::plugins::SpriteHandler handler;
  handler.setDevice(&buffer);
  handler.setFormat(kFormats[selector & 3]);
  if (!handler.canRead()) return;
  const QSize announced = handler.option(QImageIOHandler::Size).toSize();
  Require(announced.width() > 0 && announced.height() > 0, "a readable file without frame 1's size");
  uint64_t budget = kPixelBudget;
  const int count = handler.imageCount();
  Require(count >= 0, "a negative frame count");
  if (count > 0 && (selector & 0x20)) Require(handler.jumpToImage(count - 1), "cannot jump to the last frame");
  for (int i = 0; i < 64; ++i) {
    if (i > 0 && !handler.jumpToNextImage()) break;
    // Before a read the size is that of the frame about to be read; after
    // it, that of the frame just read.
    const QSize size = handler.option(QImageIOHandler::Size).toSize();
    const uint64_t pixels = size.isValid() ? Pixels(size.width(), size.height()) : 0;
    if (pixels > budget) continue;
    QImage image;
    if (!handler.read(&image)) break;
    budget -= pixels;
    Require(image.format() == QImage::Format_RGBA8888, "a frame not RGBA8888");
    Require(image.size() == size, "a frame not the size announced for it");
    Require(handler.option(QImageIOHandler::Size).toSize() == image.size(), "the size after a read is not the frame's");
    if (i == 0 && !(selector & 0x20)) Require(image.size() == announced, "frame 1 not the size announced");
  }
  Require(!handler.jumpToImage(count), "a jump past the last frame");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const uint8_t selector = data[0];
  if (selector & 0x80) {
    FuzzQt(selector, data + 2, size - 2);
  } else {
    FuzzLoader(selector, data[1], data + 2, size - 2);
  }
  return 0;
}
