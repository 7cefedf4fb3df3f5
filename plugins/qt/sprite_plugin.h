// Qt image-format plug-in for sprite files: Qt programs read SPR, S16 and
// C16 files through QImageReader (and QMovie for their frames).
#pragma once

#include <QImageIOHandler>
#include <QImageIOPlugin>

#include <memory>

#include "sprite_frames.h"

namespace tamsorel {
namespace plugins {

// Reads one sprite from a device.  The kind comes from the format the
// reader was given or took from the file name ("spr", "s16", "c16"); with no
// format, a 16-bit header whose flags are those a writer sets (0 to 3) is
// taken for S16 or C16 (SPR files carry nothing to tell them by).  A name is
// not enough: the device's bytes must look like a sprite of that kind
// (LooksLikeSprite), so that a file of another format under a sprite's name
// is left to the handler of its real format.
//
// The frames are images 0 .. imageCount() - 1, each the size of its own
// frame, RGBA8888 with straight alpha.  The current image is the one read
// last, or, before the first read() and after a jump, the one read next;
// size(), currentImageNumber() and the other options describe it.  read()
// moves on to the image after the one it read last, so that reading again
// and again (QMovie) and reading after each jumpToNextImage() both give
// every frame once.
//
// Bounds: the device is read whole (up to kPluginLimits.heldFileBytes) at
// the first question about more than frame 1's size, which the header
// answers alone; pixel memory is taken through the host's allocation path
// (Qt 6: allocateImage, under QImageReader's allocation limit; Qt 5: the
// same default limit of 256 MiB) only once the frame is known to be
// readable, and the frame is decoded straight into it.
class SpriteHandler : public QImageIOHandler {
 public:
  bool canRead() const override;
  bool read(QImage* image) override;
  QVariant option(ImageOption option) const override;
  bool supportsOption(ImageOption option) const override;
  int imageCount() const override;
  bool jumpToImage(int imageNumber) override;
  bool jumpToNextImage() override;
  int currentImageNumber() const override;
  int loopCount() const override;
  int nextImageDelay() const override;

  // Whether the bytes of `device` from its position on look like a sprite
  // of the given kind ("spr", "s16" or "c16"; empty: S16 or C16 told by its
  // flags) whose frame 1 can be shown.  The device's position is kept.
  static bool CanRead(QIODevice* device, const QByteArray& format);

 private:
  bool Spr() const;
  bool Load();  // reads the device and its frame directory once
  int Count() const;  // the frames, once loaded (0 otherwise)

  bool loaded_ = false;
  bool failed_ = false;
  QByteArray bytes_;
  std::unique_ptr<SpriteFrames> frames_;
  int current_ = 0;       // the current image (see above)
  bool consumed_ = false;  // current_ has been read: the next read() moves on
};

class SpritePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "tamsorel.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device, const QByteArray& format = QByteArray()) const override;
};

}  // namespace plugins
}  // namespace tamsorel
