#include "sprite_plugin.h"

#include <QIODevice>
#include <QImage>
#include <QVariant>

#include <cstring>
#include <new>
#include <string>

#include "sprite/sprite_format.h"

namespace tamsorel {
namespace plugins {
namespace {

constexpr int kFrameMilliseconds = 100;
constexpr qint64 kChunkBytes = 1 << 16;

bool IsSprFormat(const QByteArray& format) { return format.toLower() == "spr"; }

// What the first bytes of `device` say about frame 1, without moving it.
HeaderState PeekFirstFrame(QIODevice* device, bool spr, FirstFrame* first) {
  if (!device || !device->isReadable()) return HeaderState::kRefused;
  const QByteArray head = device->peek(kSprite16HeaderSize + kFrameEntrySize);
  std::string problem;
  return ReadFirstFrame(reinterpret_cast<const uint8_t*>(head.constData()), static_cast<std::size_t>(head.size()), spr,
                        first, &problem);
}

}  // namespace

bool SpriteHandler::CanRead(QIODevice* device, const QByteArray& format) {
  FirstFrame first;
  if (format.isEmpty()) {
    if (!device || !device->isReadable()) return false;
    const QByteArray flags = device->peek(4);
    if (flags.size() < 4 || LoadLe32(reinterpret_cast<const uint8_t*>(flags.constData())) > 3) return false;
  }
  return PeekFirstFrame(device, IsSprFormat(format), &first) == HeaderState::kReady;
}

bool SpriteHandler::Spr() const { return IsSprFormat(format()); }

bool SpriteHandler::canRead() const {
  if (failed_) return false;
  if (loaded_) return current_ < static_cast<int>(frames_->Count());
  const QByteArray kind = format().toLower();
  if (!CanRead(device(), kind == "spr" || kind == "s16" || kind == "c16" ? kind : QByteArray())) return false;
  if (kind.isEmpty()) {
    const QByteArray flags = device()->peek(4);
    const_cast<SpriteHandler*>(this)->setFormat(
        LoadLe32(reinterpret_cast<const uint8_t*>(flags.constData())) & SPRITE16_COMPRESSED ? "c16" : "s16");
  }
  return true;
}

bool SpriteHandler::Load() {
  if (loaded_ || failed_) return loaded_;
  failed_ = true;
  QIODevice* source = device();
  if (!source || !source->isReadable()) return false;
  FirstFrame first;
  if (PeekFirstFrame(source, Spr(), &first) != HeaderState::kReady) return false;
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
  std::string problem;
  if (!frames_->Open(reinterpret_cast<const uint8_t*>(bytes_.constData()), static_cast<std::size_t>(bytes_.size()),
                     Spr(), &problem)) {
    qWarning("%s", ("sprite: " + problem).c_str());
    frames_.reset();
    bytes_.clear();
    return false;
  }
  failed_ = false;
  loaded_ = true;
  return true;
}

bool SpriteHandler::read(QImage* image) {
  if (!image || !Load() || current_ >= static_cast<int>(frames_->Count())) return false;
  const uint32_t shown = static_cast<uint32_t>(current_);
  QImage rgba(static_cast<int>(frames_->Width(shown)), static_cast<int>(frames_->Height(shown)),
              QImage::Format_RGBA8888);
  if (rgba.isNull()) return false;  // no memory for it
  const std::string why = frames_->DecodeRgba(shown, rgba.bits(), static_cast<std::size_t>(rgba.bytesPerLine()));
  if (!why.empty()) {
    qWarning("sprite: frame %u cannot be decoded: %s", frames_->FileIndex(shown), why.c_str());
    return false;
  }
  *image = rgba.convertToFormat(QImage::Format_ARGB32);
  if (image->isNull()) return false;
  ++current_;
  return true;
}

QVariant SpriteHandler::option(ImageOption option) const {
  if (option == ImageFormat) return QImage::Format_ARGB32;
  if (option == Animation) return loaded_ ? frames_->Count() > 1 : QVariant(true);
  if (option == Size) {
    if (loaded_) {
      const uint32_t shown = current_ < static_cast<int>(frames_->Count()) ? static_cast<uint32_t>(current_) : 0;
      return QSize(static_cast<int>(frames_->Width(shown)), static_cast<int>(frames_->Height(shown)));
    }
    FirstFrame first;
    if (!failed_ && PeekFirstFrame(device(), Spr(), &first) == HeaderState::kReady) {
      return QSize(static_cast<int>(first.width), static_cast<int>(first.height));
    }
  }
  return QVariant();
}

bool SpriteHandler::supportsOption(ImageOption option) const {
  return option == Size || option == ImageFormat || option == Animation;
}

int SpriteHandler::imageCount() const {
  return const_cast<SpriteHandler*>(this)->Load() ? static_cast<int>(frames_->Count()) : 0;
}

bool SpriteHandler::jumpToImage(int imageNumber) {
  if (!Load() || imageNumber < 0 || imageNumber >= static_cast<int>(frames_->Count())) return false;
  current_ = imageNumber;
  return true;
}

bool SpriteHandler::jumpToNextImage() { return jumpToImage(current_ + 1); }

int SpriteHandler::currentImageNumber() const { return loaded_ ? current_ : 0; }

int SpriteHandler::loopCount() const { return -1; }  // loops for ever

int SpriteHandler::nextImageDelay() const { return kFrameMilliseconds; }

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
