// The Qt image plug-in through QImageReader, over the fixtures of
// make_fixtures.py and files made here:
//   - every readable file read three ways (its file under a tight
//     allocation limit, its file under none, a sequential device) gives
//     the frames `tamsorel export` made, pixel for pixel, each reached by
//     jumpToNextImage; the options asked before a read describe the image
//     read, and after it still describe it;
//   - reading on (as QMovie does) and jumping agree on which image is
//     current, in multi-frame files whose frames change size;
//   - damaged files, and files claiming frames larger than the host lets
//     an image be, are refused, the latter before any pixel memory is
//     taken (Qt 6: the host's allocation limit; Qt 5: the plug-in's own);
//   - PNG, JPEG, ICO, PPM and BMP files under sprite names are read as what
//     they are, by Qt's own handlers;
//   - the plug-in writes nothing to the host's log.
// Built for each Qt.
//
// Usage: qt_reader_test FIXTURES PLUGIN_DIR (the folder holding imageformats/)
#include <gtest/gtest.h>

#include <sys/resource.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>
#include <QLibraryInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QtEndian>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

QString g_fixtures;
QTemporaryDir* g_scratch = nullptr;  // files made by the tests
std::vector<QString> g_messages;     // everything logged through Qt

void Collect(QtMsgType, const QMessageLogContext&, const QString& message) { g_messages.push_back(message); }

struct Fixture {
  QString name;
  bool good;
};

std::vector<Fixture> Manifest() {
  std::vector<Fixture> out;
  QFile file(g_fixtures + QStringLiteral("/manifest.txt"));
  if (!file.open(QIODevice::ReadOnly)) return out;
  QTextStream in(&file);
  while (!in.atEnd()) {
    const QStringList words = in.readLine().split(QLatin1Char(' '));
    if (words.size() == 2) out.push_back({words[1], words[0] == QLatin1String("good")});
  }
  return out;
}

QString PathOf(const Fixture& f) { return g_fixtures + QStringLiteral("/files/") + f.name; }
QByteArray FormatOf(const QString& name) { return name.section(QLatin1Char('.'), -1).toLower().toLatin1(); }

QByteArray ReadBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString WriteScratch(const QString& name, const QByteArray& bytes) {
  const QString path = g_scratch->filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) return QString();
  return path;
}

// The PNGs export made of a file, in frame order, as straight RGBA.
std::vector<QImage> Exported(const QString& name) {
  QDir dir(g_fixtures + QStringLiteral("/export/") + name);
  std::vector<QImage> out;
  for (const QString& png : dir.entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name)) {
    out.push_back(QImage(dir.filePath(png)).convertToFormat(QImage::Format_RGBA8888));
  }
  return out;
}

bool SamePixels(const QImage& a, const QImage& b) {
  return a.convertToFormat(QImage::Format_RGBA8888) == b.convertToFormat(QImage::Format_RGBA8888);
}

// QImageReader's allocation limit for a scope (Qt 6; Qt 5 has none: the
// plug-in keeps to Qt 6's default of 256 MiB by itself).
class AllocationLimit {
 public:
  explicit AllocationLimit(int mib) {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    old_ = QImageReader::allocationLimit();
    QImageReader::setAllocationLimit(mib);
#else
    (void)mib;
#endif
  }
  ~AllocationLimit() {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    QImageReader::setAllocationLimit(old_);
#endif
  }

 private:
  int old_ = 0;
};

// A device that cannot seek and tells only what is left, as a pipe or a
// network reply does, over bytes held in memory.
class SequentialDevice : public QIODevice {
 public:
  explicit SequentialDevice(QByteArray bytes) : bytes_(std::move(bytes)) {}
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return bytes_.size() - at_ + QIODevice::bytesAvailable(); }

 protected:
  qint64 readData(char* data, qint64 max) override {
    const qint64 n = qMin<qint64>(max, bytes_.size() - at_);
    std::memcpy(data, bytes_.constData() + at_, static_cast<std::size_t>(n));
    at_ += n;
    return n;
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  QByteArray bytes_;
  qint64 at_ = 0;
};

// The three ways a host reads a file.
enum class Way { kFileLimited, kFileUnlimited, kSequential };
struct WayCase {
  const char* name;
  Way way;
  int limitMiB;  // the allocation limit (0: none); every fixture frame is far below 1 MiB
};
const WayCase kWays[] = {
    {"from its file under a 1 MiB allocation limit", Way::kFileLimited, 1},
    {"from its file without an allocation limit", Way::kFileUnlimited, 0},
    {"from a sequential device", Way::kSequential, 0},
};

// A reader and the device it reads from, the device outliving the reader.
struct Opened {
  std::unique_ptr<QIODevice> device;
  std::unique_ptr<QImageReader> reader;
};

Opened Open(const QString& path, Way way) {
  Opened out;
  if (way == Way::kSequential) {
    out.device.reset(new SequentialDevice(ReadBytes(path)));
    out.device->open(QIODevice::ReadOnly);
    // A stream has no name: the host gives the format (from a MIME type).
    out.reader.reset(new QImageReader(out.device.get(), FormatOf(path)));
  } else {
    out.reader.reset(new QImageReader(path));  // the format from the name
  }
  return out;
}

// Reads every frame of a good file through jumpToNextImage, checking the
// options against each image before and after it is read.
void ExpectEveryFrame(QImageReader& reader, const std::vector<QImage>& pngs, const std::string& what) {
  ASSERT_FALSE(pngs.empty()) << what;
  const int n = static_cast<int>(pngs.size());
  // Before anything else: frame 1's size, from the header alone.
  EXPECT_EQ(reader.size(), pngs[0].size()) << what << ": the size before the file is read";
  EXPECT_TRUE(reader.canRead()) << what;
  EXPECT_EQ(reader.imageCount(), n) << what;
  EXPECT_EQ(reader.supportsAnimation(), n > 1) << what;
  EXPECT_EQ(reader.loopCount(), n > 1 ? -1 : 0) << what;
  EXPECT_EQ(reader.nextImageDelay(), n > 1 ? 100 : 0) << what;
  for (int i = 0; i < n; ++i) {
    const std::string frame = what + " frame " + std::to_string(i + 1);
    if (i > 0) {
      ASSERT_TRUE(reader.jumpToNextImage()) << frame;
    }
    EXPECT_EQ(reader.currentImageNumber(), i) << frame;
    const QSize sizeBefore = reader.size();
    const QImage::Format formatBefore = reader.imageFormat();
    EXPECT_EQ(sizeBefore, pngs[i].size()) << frame << ": the size before reading";
    QImage image;
    ASSERT_TRUE(reader.read(&image)) << frame << ": " << reader.errorString().toStdString();
    EXPECT_EQ(image.size(), sizeBefore) << frame;
    EXPECT_EQ(image.format(), formatBefore) << frame;
    EXPECT_TRUE(SamePixels(image, pngs[i])) << frame << " differs from export's";
    // After the read: the image just read.
    EXPECT_EQ(reader.size(), image.size()) << frame << ": the size after reading";
    EXPECT_EQ(reader.imageFormat(), image.format()) << frame;
    EXPECT_EQ(reader.currentImageNumber(), i) << frame;
    EXPECT_EQ(reader.canRead(), i + 1 < n) << frame;
  }
  EXPECT_FALSE(reader.jumpToNextImage()) << what << ": a jump past the last frame";
  EXPECT_EQ(reader.currentImageNumber(), n - 1) << what;
  QImage past;
  EXPECT_FALSE(reader.read(&past)) << what << ": a frame past the last";
}

TEST(QtReader, ReadsEveryGoodFileThreeWays) {
  int checked = 0;
  g_messages.clear();
  for (const Fixture& f : Manifest()) {
    if (!f.good) continue;
    const std::vector<QImage> pngs = Exported(f.name);
    for (const WayCase& way : kWays) {
      const AllocationLimit limit(way.limitMiB);
      Opened opened = Open(PathOf(f), way.way);
      const std::string what = f.name.toStdString() + " " + way.name;
      EXPECT_EQ(opened.reader->format(), FormatOf(f.name)) << what;
      ExpectEveryFrame(*opened.reader, pngs, what);
    }
    ++checked;
  }
  EXPECT_GE(checked, 10);
  EXPECT_TRUE(g_messages.empty()) << g_messages.size() << " messages, the first: "
                                  << (g_messages.empty() ? "" : g_messages[0].toStdString());
}

// Reading on without jumps (QMovie), jumping without reading, and both
// mixed agree on the current image, whose size is the one reported, in
// every multi-frame file (the fixtures of changing frame size among them).
TEST(QtReader, ReadingOnAndJumpingAgree) {
  enum Op { kRead, kJump, kJumpNext };
  struct Step {
    Op op;
    int arg;      // kJump: the image (negative: counted from the count, -1 -> n - 1; kPast -> n)
    bool ok;      // the call succeeds
    int current;  // currentImageNumber() after it (negative: from the count, as arg)
  };
  constexpr int kPast = 1000;  // stands for the count itself (one past the last)
  constexpr int kBefore = -1000;  // stands for -1 (before the first)
  const Step steps[] = {
      {kRead, 0, true, 0},           {kRead, 0, true, 1},            // reading on
      {kJump, 0, true, 0},           {kJumpNext, 0, true, 1},        // jumping without reading
      {kJumpNext, 0, true, 2},       {kRead, 0, true, 2},            // a jump, then the image jumped to
      {kJump, kPast, false, 2},      {kJump, kBefore, false, 2},     // refused jumps change nothing
      {kJump, -1, true, -1},         {kRead, 0, true, -1},           // the last image
      {kRead, 0, false, -1},         {kJumpNext, 0, false, -1},      // nothing after it
      {kJump, 0, true, 0},           {kRead, 0, true, 0},            // an animation starts over
  };
  int checked = 0;
  for (const Fixture& f : Manifest()) {
    const std::vector<QImage> pngs = f.good ? Exported(f.name) : std::vector<QImage>();
    const int n = static_cast<int>(pngs.size());
    if (n < 3) continue;
    QImageReader reader(PathOf(f));
    auto resolve = [n](int at) { return at == kPast ? n : at == kBefore ? -1 : at < 0 ? n + at : at; };
    for (std::size_t s = 0; s < sizeof steps / sizeof steps[0]; ++s) {
      const Step& step = steps[s];
      const std::string what = f.name.toStdString() + " step " + std::to_string(s + 1);
      const int current = resolve(step.current);
      QImage image;
      bool ok = false;
      switch (step.op) {
        case kRead: ok = reader.read(&image); break;
        case kJump: ok = reader.jumpToImage(resolve(step.arg)); break;
        case kJumpNext: ok = reader.jumpToNextImage(); break;
      }
      ASSERT_EQ(ok, step.ok) << what;
      EXPECT_EQ(reader.currentImageNumber(), current) << what;
      EXPECT_EQ(reader.size(), pngs[current].size()) << what;
      if (step.op == kRead && ok) {
        EXPECT_TRUE(SamePixels(image, pngs[current])) << what;
      }
    }
    ++checked;
  }
  EXPECT_GE(checked, 3);  // sizes.spr, sizes.s16, sizes.c16 at least
}

// S16 and C16 data is recognized from its header with no format given;
// SPR data, which has no flags, is not claimed.
TEST(QtReader, RecognizesSixteenBitHeadersWithoutFormat) {
  for (const char* name : {"sizes.c16", "gradient.s16", "sizes.spr"}) {
    const QString file = QString::fromLatin1(name);
    QByteArray bytes = ReadBytes(g_fixtures + QStringLiteral("/files/") + file);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (FormatOf(file) == "spr") {
      EXPECT_NE(reader.format(), QByteArray("spr")) << name;
      continue;
    }
    EXPECT_EQ(reader.format(), FormatOf(file)) << name;
    EXPECT_TRUE(SamePixels(reader.read(), Exported(file)[0])) << name;
  }
}

// The size of frame 1 is known from the header, even when its pixels are
// cut off (they then read as transparent).
TEST(QtReader, SizeWithoutDecoding) {
  QImageReader reader(g_fixtures + QStringLiteral("/files/truncated.s16"));
  EXPECT_EQ(reader.size(), QSize(20, 20));
  QImage image;
  ASSERT_TRUE(reader.read(&image));
  EXPECT_EQ(image.size(), QSize(20, 20));
  EXPECT_EQ(qAlpha(image.pixel(19, 19)), 0);
}

TEST(QtReader, RefusesDamagedAndHostileFiles) {
  int checked = 0;
  g_messages.clear();
  for (const Fixture& f : Manifest()) {
    if (f.good) continue;
    for (const WayCase& way : kWays) {
      const AllocationLimit limit(way.limitMiB);
      Opened opened = Open(PathOf(f), way.way);
      const std::string what = f.name.toStdString() + " " + way.name;
      QImage image;
      EXPECT_FALSE(opened.reader->read(&image)) << what;
      EXPECT_TRUE(image.isNull()) << what;
      EXPECT_LE(opened.reader->imageCount(), 0) << what;
      EXPECT_FALSE(opened.reader->supportsAnimation()) << what;
    }
    // In a buffer, with the format to be found out.
    QByteArray bytes = ReadBytes(PathOf(f));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader guessed(&buffer);
    EXPECT_TRUE(guessed.read().isNull()) << f.name.toStdString();
    ++checked;
  }
  EXPECT_GE(checked, 6);  // every "bad" fixture of make_fixtures.py
  EXPECT_TRUE(g_messages.empty()) << g_messages.size() << " messages";
}

long PeakKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

QByteArray Header16(uint32_t flags, uint16_t count, uint32_t offset, uint16_t width, uint16_t height, int pixels) {
  QByteArray out(14 + pixels, '\0');
  uchar* p = reinterpret_cast<uchar*>(out.data());
  qToLittleEndian<quint32>(flags, p);
  qToLittleEndian<quint16>(count, p + 4);
  qToLittleEndian<quint32>(offset, p + 6);
  qToLittleEndian<quint16>(width, p + 10);
  qToLittleEndian<quint16>(height, p + 12);
  return out;
}

// Frames larger than the host lets an image be are refused before any
// pixel memory is taken: the process's peak memory does not grow by the
// frame's size (the first rows would have raised it by hundreds of MiB).
// Refusals come first: a read that succeeds raises the peak for good.
TEST(QtReader, RefusesFramesBeyondTheAllocationLimitWithoutAllocating) {
  QByteArray tenBytes(10, '\0');  // one SPR frame of 65535 x 4096 at offset 10
  uchar* p = reinterpret_cast<uchar*>(tenBytes.data());
  qToLittleEndian<quint16>(1, p);
  qToLittleEndian<quint32>(10, p + 2);
  qToLittleEndian<quint16>(65535, p + 6);
  qToLittleEndian<quint16>(4096, p + 8);
  struct Case {
    const char* name;
    QByteArray bytes;
    int limitMiB;
    bool reads;
  };
  const std::vector<Case> cases = {
      // Its pixels cannot be in the file: no sprite at all.
      {"claims-huge.spr", tenBytes, 256, false},
      // 256 MiB stored (within the core's limit), 512 MiB as RGBA.
      {"claims-huge.s16", Header16(1, 1, 14, 65535, 2048, 2), 256, false},
      {"claims-huge.c16", Header16(3, 1, 14 + 4 * 2047, 65535, 2048, 4 * 2047 + 2), 256, false},
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
      // 64 MiB as RGBA: the host's limit decides, not a cap of the plug-in's.
      {"claims-64mib.s16", Header16(0, 1, 14, 4096, 4096, 2), 32, false},
      {"claims-64mib.s16", Header16(0, 1, 14, 4096, 4096, 2), 128, true},
#endif
  };
  for (const Case& c : cases) {
    const QString path = WriteScratch(QString::fromLatin1(c.name), c.bytes);
    ASSERT_FALSE(path.isEmpty());
    for (const WayCase& way : {kWays[0], kWays[2]}) {
      const std::string what = std::string(c.name) + (way.way == Way::kSequential ? " from a sequential device" : " from its file") +
                               " under a " + std::to_string(c.limitMiB) + " MiB allocation limit";
      const AllocationLimit limit(c.limitMiB);
      g_messages.clear();
      const long before = PeakKiB();
      Opened opened = Open(path, way.way);
      QImage image;
      EXPECT_EQ(opened.reader->read(&image), c.reads) << what;
      if (!c.reads) {
        EXPECT_TRUE(image.isNull()) << what;
        EXPECT_LT(PeakKiB() - before, 32 * 1024) << what << ": peak memory grew";
      } else {
        EXPECT_EQ(image.size(), QSize(4096, 4096)) << what;
        EXPECT_EQ(qAlpha(image.pixel(4095, 4095)), 0) << what << ": pixels the file does not hold";
      }
      // Qt itself may say why it refused; the plug-in says nothing.
      for (const QString& message : g_messages) {
        EXPECT_TRUE(message.startsWith(QLatin1String("QImageIOHandler:"))) << what << ": " << message.toStdString();
      }
    }
  }
}

// Files of other formats under a sprite's name are read as what they are:
// the plug-in declines them by their bytes and Qt finds their own handler.
TEST(QtReader, LeavesOtherFormatsUnderSpriteNamesToTheirHandlers) {
  QImage picture(23, 17, QImage::Format_RGB32);
  for (int y = 0; y < picture.height(); ++y) {
    for (int x = 0; x < picture.width(); ++x) picture.setPixel(x, y, qRgb(x * 11, y * 15, (x ^ y) * 8));
  }
  struct Case {
    const char* format;  // as QImageWriter writes it and QImageReader names it
    const char* name;
    bool lossless;
  };
  const Case cases[] = {
      {"png", "picture.s16", true}, {"jpeg", "photo.s16", false}, {"ico", "icon.s16", true},
      {"ppm", "pixmap.spr", true},  {"png", "picture.spr", true},  {"bmp", "bitmap.c16", true},
      {"ppm", "pixmap.c16", true},
  };
  const QList<QByteArray> writable = QImageWriter::supportedImageFormats();
  int checked = 0;
  g_messages.clear();
  for (const Case& c : cases) {
    if (!writable.contains(c.format)) {
      std::printf("not checked: Qt here writes no %s\n", c.format);
      continue;
    }
    const QString path = g_scratch->filePath(QString::fromLatin1(c.name));
    QFile::remove(path);
    QImageWriter writer(path, c.format);
    ASSERT_TRUE(writer.write(picture)) << c.name << ": " << writer.errorString().toStdString();
    const std::string what = std::string(c.format) + " named " + c.name;
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), QByteArray(c.format)) << what;
    QImage image;
    ASSERT_TRUE(reader.read(&image)) << what << ": " << reader.errorString().toStdString();
    EXPECT_EQ(image.size(), picture.size()) << what;
    if (c.lossless) {
      EXPECT_TRUE(SamePixels(image, picture)) << what;
    }
    ++checked;
  }
  EXPECT_GE(checked, 4);  // png, ppm and bmp are Qt's own
  EXPECT_TRUE(g_messages.empty()) << g_messages.size() << " messages";
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    fprintf(stderr, "usage: qt_reader_test FIXTURES PLUGIN_DIR\n");
    return 2;
  }
  g_fixtures = QString::fromLocal8Bit(argv[1]);
  QTemporaryDir scratch;
  if (!scratch.isValid() || !QDir(scratch.path()).mkpath(QStringLiteral("plugins/imageformats"))) {
    fprintf(stderr, "qt_reader_test: no temporary folder\n");
    return 2;
  }
  g_scratch = &scratch;
  // The plug-in built here and Qt's own JPEG and ICO plug-ins, never a
  // sprite plug-in installed on the system.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
  const QString system = QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/imageformats/");
#else
  const QString system = QLibraryInfo::location(QLibraryInfo::PluginsPath) + QStringLiteral("/imageformats/");
#endif
  const QString plugins = scratch.filePath(QStringLiteral("plugins"));
  const QString built =
      QFileInfo(QString::fromLocal8Bit(argv[2]) + QStringLiteral("/imageformats/libtamsorel.so")).absoluteFilePath();
  if (!QFile::link(built, plugins + QStringLiteral("/imageformats/libtamsorel.so"))) {
    fprintf(stderr, "qt_reader_test: cannot link %s\n", qPrintable(built));
    return 2;
  }
  for (const char* name : {"libqjpeg.so", "libqico.so"}) {
    if (QFile::exists(system + QLatin1String(name)))
      QFile::link(system + QLatin1String(name), plugins + QStringLiteral("/imageformats/") + QLatin1String(name));
  }
  QCoreApplication::setLibraryPaths({plugins});
  qInstallMessageHandler(Collect);
  QCoreApplication app(argc, argv);
  if (!QImageReader::supportedImageFormats().contains("s16")) {
    fprintf(stderr, "qt_reader_test: the plug-in %s does not load\n", qPrintable(built));
    return 2;
  }
  return RUN_ALL_TESTS();
}
