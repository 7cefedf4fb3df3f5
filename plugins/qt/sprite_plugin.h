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
// taken for S16 or C16 (SPR files carry nothing to tell them by).  The
// device is read whole (up to kMaxFileBytes) at the first question about
// the frames; the size of frame 1 is answered from the header alone.
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

  // Whether the device's first bytes are the header of a sprite of the given
  // kind ("spr", "s16" or "c16"; empty: S16 or C16 told by its flags).  The
  // device's position is kept.
  static bool CanRead(QIODevice* device, const QByteArray& format);

 private:
  bool Spr() const;
  bool Load();  // reads the device and opens the frames once

  bool loaded_ = false;
  bool failed_ = false;
  QByteArray bytes_;
  std::unique_ptr<SpriteFrames> frames_;
  int current_ = 0;
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
