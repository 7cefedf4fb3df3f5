// libFuzzer target for the image plug-ins' own logic, over the frames core:
//   - the gdk-pixbuf loader (its S16/C16 module) fed the file in chunks of
//     sizes the input chooses, with the size callback sometimes asking for
//     no image, then every frame of an animation shown through its iterator;
//   - the Qt handler reading the file from a QBuffer as SPR, S16, C16 or
//     with the format to be found, with size, count, jumps and reads.
// Input: a selector byte, a chunk-size byte, then the file.
// GLib's headers before Qt's: Qt's "signals" keyword would rename a field of theirs.
#define TAMSOREL_LOADER_SPR 0
#include "loader.cpp"  // the module's code, not loaded as a module

#include <QBuffer>
#include <QImage>

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "fuzz_require.h"
#include "sprite_plugin.h"

namespace {

using tamsorel::fuzz::Require;

struct Seen {
  int prepared = 0;
  int width = 0;
  int height = 0;
  bool noImage = false;
  GdkPixbufAnimation* animation = nullptr;
};

void SizeOf(int* width, int* height, gpointer data) {
  Seen* seen = static_cast<Seen*>(data);
  Require(*width > 0 && *height > 0, "the announced size has no pixels");
  seen->width = *width;
  seen->height = *height;
  if (seen->noImage) *width = *height = 0;
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
  GdkPixbufModule module = {};
  fill_vtable(&module);
  Seen seen;
  seen.noImage = (selector & 0x10) != 0;
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
    G_GNUC_BEGIN_IGNORE_DEPRECATIONS
    GTimeVal start = {1000, 0};
    GdkPixbufAnimationIter* iter = gdk_pixbuf_animation_get_iter(seen.animation, &start);
    for (int step = 1; step <= 40; ++step) {
      GTimeVal now = {1000 + step / 10, (step % 10) * 100000 + 50000};
      gdk_pixbuf_animation_iter_advance(iter, &now);
      Require(gdk_pixbuf_animation_iter_get_pixbuf(iter) != nullptr, "an animation frame without a pixbuf");
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
  const int count = handler.imageCount();
  Require(count >= 0, "a negative frame count");
  if (count > 0 && (selector & 0x20)) Require(handler.jumpToImage(count - 1), "cannot jump to the last frame");
  for (int i = 0; i < 64; ++i) {
    QImage image;
    if (!handler.read(&image)) break;
    Require(image.format() == QImage::Format_ARGB32, "a frame not ARGB32");
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
