#include "sprite_plugin.h"

#include <QIODevice>
#include <QImage>
#include <QVariant>

#include <new>
#include <string>

#include "sprite/sprite_format.h"
#include "sprite/sprite_probe.h"

namespace tamsorel {
namespace plugins {
namespace {

constexpr int kFrameMilliseconds = 100;
constexpr qint64 kChunkBytes = 1 << 16;
// The core writes RGBA bytes with straight alpha, which is this format on
// every byte order: frames go straight into the host's image.
constexpr QImage::Format kImageFormat = QImage::Format_RGBA8888;
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
// Qt 5 has no allocation limit of its own; Qt 6's default one applies.
constexpr quint64 kQt5AllocationLimit = quint64{256} << 20;
#endif

bool IsSprFormat(const QByteArray& format) { return format.toLower() == "spr"; }

const uint8_t* Bytes(const QByteArray& bytes) { return reinterpret_cast<const uint8_t*>(bytes.constData()); }

// What the first bytes of `device` say about frame 1, without moving it.
HeaderState PeekFirstFrame(QIODevice* device, bool spr, FirstFrame* first) {
  if (!device || !device->isReadable()) return HeaderState::kRefused;
  const QByteArray head = device->peek(kProbeBytes);
  std::string problem;
  return ReadFirstFrame(Bytes(head), static_cast<std::size_t>(head.size()), spr, first, &problem);
}

// Pixel memory for a `size` frame, taken the way the host wants it taken.
bool AllocateFrame(const QSize& size, QImage* image) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  return QImageIOHandler::allocateImage(size, kImageFormat, image);
#else
  if (size.isEmpty() || quint64{4} * static_cast<quint64>(size.width()) * static_cast<quint64>(size.height()) >
                            kQt5AllocationLimit)
    return false;
  if (image->size() != size || image->format() != kImageFormat) *image = QImage(size, kImageFormat);
  return !image->isNull();
#endif
}

}  // namespace

bool SpriteHandler::CanRead(QIODevice* device, const QByteArray& format) {
  if (!device || !device->isReadable()) return false;
  const QByteArray kind = format.toLower();
  if (!kind.isEmpty() && kind != "spr" && kind != "s16" && kind != "c16") return false;
  const bool spr = kind == "spr";
  const QByteArray head = device->peek(kProbeBytes);
  const qint64 available = device->isSequential() ? device->bytesAvailable() : device->size() - device->pos();
  if (available < 0 ||
      !LooksLikeSprite(Bytes(head), static_cast<std::size_t>(head.size()), static_cast<uint64_t>(available), spr))
    return false;
  FirstFrame first;
  return PeekFirstFrame(device, spr, &first) == HeaderState::kReady;
}

bool SpriteHandler::Spr() const { return IsSprFormat(format()); }

int SpriteHandler::Count() const { return loaded_ ? static_cast<int>(frames_->Count()) : 0; }

bool SpriteHandler::canRead() const {
  if (failed_) return false;
  if (loaded_) return (consumed_ ? current_ + 1 : current_) < Count();
  const QByteArray kind = format().toLower();
  if (!CanRead(device(), kind)) return false;
  if (kind.isEmpty()) {
    const QByteArray flags = device()->peek(4);
    const_cast<SpriteHandler*>(this)->setFormat(LoadLe32(Bytes(flags)) & SPRITE16_COMPRESSED ? "c16" : "s16");
  }
  return true;
}

bool SpriteHandler::Load() {
  if (loaded_ || failed_) return loaded_;
  failed_ = true;
  QIODevice* source = device();
  if (!CanRead(source, format())) return false;
  try {
    // Read in chunks, so that a device of unknown or false size is read no
    // further than the bound.
    for (;;) {
      const int at = bytes_.size();
      if (static_cast<uint64_t>(at) >= kPluginLimits.heldFileBytes) {
        char extra;
        if (source->read(&extra, 1) > 0) return false;  // larger than a sprite may be
        break;
      }
      const qint64 want = qMin<qint64>(kChunkBytes, static_cast<qint64>(kPluginLimits.heldFileBytes) - at);
      bytes_.resize(at + static_cast<int>(want));
      const qint64 got = source->read(bytes_.data() + at, want);
      bytes_.resize(at + static_cast<int>(got > 0 ? got : 0));
      if (got <= 0) {
        if (got < 0) return false;
        if (!source->isSequential() || !source->waitForReadyRead(0)) break;
      }
    }
    frames_.reset(new SpriteFrames);
  } catch (const std::bad_alloc&) {
    bytes_.clear();
    return false;
  }
  // The directory only: pixels are decoded into the host's image by read().
  std::string problem;
  if (!frames_->OpenDirectory(Bytes(bytes_), static_cast<std::size_t>(bytes_.size()), Spr(), &problem)) {
    frames_.reset();
    bytes_.clear();
    return false;
  }
  failed_ = false;
  loaded_ = true;
  return true;
}

bool SpriteHandler::read(QImage* image) {
  if (!image || !Load()) return false;
  const int next = consumed_ ? current_ + 1 : current_;
  if (next >= Count()) return false;
  const uint32_t shown = static_cast<uint32_t>(next);
  const QSize size(static_cast<int>(frames_->Width(shown)), static_cast<int>(frames_->Height(shown)));
  if (!AllocateFrame(size, image)) return false;  // beyond the host's limit, or no memory for it
  if (!frames_->DecodeRgba(shown, image->bits(), static_cast<std::size_t>(image->bytesPerLine())).empty()) {
    *image = QImage();
    return false;
  }
  current_ = next;
  consumed_ = true;
  return true;
}

QVariant SpriteHandler::option(ImageOption option) const {
  switch (option) {
    case ImageFormat:
      return kImageFormat;
    case Animation:
      return const_cast<SpriteHandler*>(this)->Load() && Count() > 1;
    case Size: {
      if (loaded_) {
        const uint32_t shown = static_cast<uint32_t>(current_);
        return QSize(static_cast<int>(frames_->Width(shown)), static_cast<int>(frames_->Height(shown)));
      }
      FirstFrame first;
      if (!failed_ && PeekFirstFrame(device(), Spr(), &first) == HeaderState::kReady) {
        return QSize(static_cast<int>(first.width), static_cast<int>(first.height));
      }
      return QVariant();
    }
    default:
      return QVariant();
  }
}

bool SpriteHandler::supportsOption(ImageOption option) const {
  return option == Size || option == ImageFormat || option == Animation;
}

int SpriteHandler::imageCount() const { return const_cast<SpriteHandler*>(this)->Load() ? Count() : 0; }

bool SpriteHandler::jumpToImage(int imageNumber) {
  if (!Load() || imageNumber < 0 || imageNumber >= Count()) return false;
  current_ = imageNumber;
  consumed_ = false;
  return true;
}

bool SpriteHandler::jumpToNextImage() { return Load() && jumpToImage(current_ + 1); }

int SpriteHandler::currentImageNumber() const { return current_; }

// An animation loops for ever, each frame showing for the same time; a
// single image neither loops nor waits.
int SpriteHandler::loopCount() const { return imageCount() > 1 ? -1 : 0; }

int SpriteHandler::nextImageDelay() const { return imageCount() > 1 ? kFrameMilliseconds : 0; }

QImageIOPlugin::Capabilities SpritePlugin::capabilities(QIODevice* device, const QByteArray& format) const {
  const QByteArray kind = format.toLower();
  if (!kind.isEmpty() && kind != "spr" && kind != "s16" && kind != "c16") return {};
  // Asked about the format alone: it can be read, never written.
  if (!device) return kind.isEmpty() ? Capabilities() : Capabilities(CanRead);
  if (!device->isOpen() || !device->isReadable()) return {};
  return SpriteHandler::CanRead(device, kind) ? Capabilities(CanRead) : Capabilities();
}

QImageIOHandler* SpritePlugin::create(QIODevice* device, const QByteArray& format) const {
  SpriteHandler* handler = new SpriteHandler;
  handler->setDevice(device);
  handler->setFormat(format);
  return handler;
}

}  // namespace plugins
}  // namespace tamsorel
