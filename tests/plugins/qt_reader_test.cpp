// The Qt image plug-in through QImageReader, over the fixtures of
// make_fixtures.py: every readable file, read from its file and from a
// QBuffer, gives the frames `tamsorel export` made, pixel for pixel, as
// ARGB32 images; frame counts, jumps and the size before decoding; damaged
// and hostile files make read() fail without harm.  Built for each Qt.
//
// Usage: qt_reader_test FIXTURES PLUGIN_DIR (the folder holding imageformats/)
#include <gtest/gtest.h>

#include <QBuffer>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTextStream>

#include <string>
#include <vector>

namespace {

QString g_fixtures;

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
QByteArray FormatOf(const Fixture& f) { return f.name.section(QLatin1Char('.'), -1).toLower().toLatin1(); }

// The PNGs export made of a file, in frame order.
std::vector<QImage> Exported(const Fixture& f) {
  QDir dir(g_fixtures + QStringLiteral("/export/") + f.name);
  std::vector<QImage> out;
  for (const QString& png : dir.entryList({QStringLiteral("*.png")}, QDir::Files, QDir::Name)) {
    out.push_back(QImage(dir.filePath(png)).convertToFormat(QImage::Format_ARGB32));
  }
  return out;
}

// Every frame a reader gives, in order, checked against export's PNGs.
void ExpectFrames(QImageReader& reader, const std::vector<QImage>& pngs, const std::string& what) {
  ASSERT_FALSE(pngs.empty()) << what;
  EXPECT_EQ(reader.size(), pngs[0].size()) << what << ": the size before reading";
  EXPECT_EQ(reader.imageCount(), static_cast<int>(pngs.size())) << what;
  EXPECT_EQ(reader.supportsAnimation(), pngs.size() > 1) << what;
  for (std::size_t i = 0; i < pngs.size(); ++i) {
    QImage image;
    ASSERT_TRUE(reader.read(&image)) << what << " frame " << i + 1 << ": " << reader.errorString().toStdString();
    EXPECT_EQ(image.format(), QImage::Format_ARGB32) << what;
    EXPECT_EQ(image, pngs[i]) << what << " frame " << i + 1 << " differs from export's";
  }
  QImage past;
  EXPECT_FALSE(reader.read(&past)) << what << ": a frame past the last";
}

TEST(QtReader, ReadsEveryGoodFileFromFileAndBuffer) {
  int checked = 0;
  for (const Fixture& f : Manifest()) {
    if (!f.good) continue;
    const std::vector<QImage> pngs = Exported(f);
    const std::string name = f.name.toStdString();
    {
      QImageReader reader(PathOf(f));  // the format comes from the name
      EXPECT_EQ(reader.format(), FormatOf(f)) << name;
      ExpectFrames(reader, pngs, name + " from its file");
    }
    QFile file(PathOf(f));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, FormatOf(f));
    ExpectFrames(reader, pngs, name + " from a QBuffer");
    ++checked;
  }
  EXPECT_GE(checked, 10);
}

TEST(QtReader, JumpsBetweenFrames) {
  const Fixture f{QStringLiteral("sizes.spr"), true};
  const std::vector<QImage> pngs = Exported(f);
  ASSERT_EQ(pngs.size(), 4u);
  QImageReader reader(PathOf(f));
  EXPECT_EQ(reader.nextImageDelay(), 100);
  EXPECT_EQ(reader.loopCount(), -1);
  ASSERT_TRUE(reader.jumpToImage(2));
  EXPECT_EQ(reader.currentImageNumber(), 2);
  EXPECT_EQ(reader.read(), pngs[2]);
  ASSERT_TRUE(reader.jumpToImage(0));
  ASSERT_TRUE(reader.jumpToNextImage());
  EXPECT_EQ(reader.read(), pngs[1]);
  EXPECT_FALSE(reader.jumpToImage(4));
  EXPECT_FALSE(reader.jumpToImage(-1));
}

// S16 and C16 data is recognized from its header with no format given;
// SPR data, which has no flags, is not claimed.
TEST(QtReader, RecognizesSixteenBitHeadersWithoutFormat) {
  for (const char* name : {"sizes.c16", "gradient.s16", "sizes.spr"}) {
    const Fixture f{QString::fromLatin1(name), true};
    QFile file(PathOf(f));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    if (FormatOf(f) == "spr") {
      EXPECT_NE(reader.format(), QByteArray("spr")) << name;
      continue;
    }
    EXPECT_EQ(reader.format(), FormatOf(f)) << name;
    EXPECT_EQ(reader.read(), Exported(f)[0]) << name;
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
  for (const Fixture& f : Manifest()) {
    if (f.good) continue;
    const std::string name = f.name.toStdString();
    QImageReader reader(PathOf(f), FormatOf(f));
    QImage image;
    EXPECT_FALSE(reader.read(&image)) << name;
    EXPECT_TRUE(image.isNull()) << name;
    EXPECT_LE(reader.imageCount(), 0) << name;
    // In a buffer, with the format to be found out.
    QFile file(PathOf(f));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray bytes = file.readAll();
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader guessed(&buffer);
    EXPECT_TRUE(guessed.read().isNull()) << name;
    ++checked;
  }
  EXPECT_GE(checked, 6);  // every "bad" fixture of make_fixtures.py
}

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  if (argc != 3) {
    fprintf(stderr, "usage: qt_reader_test FIXTURES PLUGIN_DIR\n");
    return 2;
  }
  g_fixtures = QString::fromLocal8Bit(argv[1]);
  // Only the plug-ins built here, never one installed on the system.
  QCoreApplication::setLibraryPaths({QString::fromLocal8Bit(argv[2])});
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
