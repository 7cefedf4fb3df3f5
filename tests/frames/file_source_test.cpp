// Files on disk as byte sources: reads at any offset, the size, and what is
// refused (missing files, directories, pipes) without ever blocking.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "frame_encoder.h"
#include "platform/file_source.h"
#include "sprite/sprite.h"

namespace tamsorel {
namespace {

std::u16string Utf16(const std::string& path) { return std::u16string(path.begin(), path.end()); }

class FileSourceTest : public testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/frames_tests.XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    for (const std::string& f : made_) ::unlink(f.c_str());
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::string path = Made(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }
  std::string Made(const std::string& name) {
    made_.push_back(dir_ + "/" + name);
    return made_.back();
  }

  std::string dir_;
  std::vector<std::string> made_;
};

TEST_F(FileSourceTest, ReadsGiveTheFileBytesAtAnyOffset) {
  std::vector<uint8_t> bytes(70000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 256);
  const std::string path = Write("data.bin", bytes);
  std::string problem;
  std::unique_ptr<ByteSource> source = OpenFileSource(Utf16(path), &problem);
  ASSERT_TRUE(source) << problem;
  EXPECT_EQ(source->Size(), bytes.size());
  struct Read {
    uint64_t offset;
    uint32_t count;
    uint32_t obtained;
  } const reads[] = {
      {0, 16, 16}, {65530, 100, 100}, {1, 69999, 69999}, {69990, 100, 10}, {70000, 8, 0}, {1u << 20, 8, 0},
  };
  for (const Read& r : reads) {
    SCOPED_TRACE(std::to_string(r.offset) + "+" + std::to_string(r.count));
    std::vector<uint8_t> target(r.count, 0xEE);
    uint32_t obtained = 12345;
    EXPECT_TRUE(source->ReadAt(r.offset, target.data(), r.count, &obtained));
    ASSERT_EQ(obtained, r.obtained);
    EXPECT_TRUE(std::equal(target.begin(), target.begin() + obtained, bytes.begin() + static_cast<std::ptrdiff_t>(r.offset)));
  }
}

TEST_F(FileSourceTest, SpritesReadFromFilesAsFromMemory) {
  using test::PatternFrame;
  const std::vector<test::FrameSpec> specs = {PatternFrame(5, 4, 1, false), PatternFrame(3, 6, 2, false)};
  const test::EncodedSprite e = test::EncodeFrames(SpriteKind::kC16, 1, specs);
  std::string problem;
  std::unique_ptr<ByteSource> source = OpenFileSource(Utf16(Write("two.c16", e.bytes)), &problem);
  ASSERT_TRUE(source) << problem;
  std::unique_ptr<Sprite> sprite = Sprite::Open(*source, false, &problem);
  ASSERT_TRUE(sprite) << problem;
  ASSERT_EQ(sprite->FrameCount(), 2u);
  MemorySource memory(e.bytes.data(), e.bytes.size());
  std::unique_ptr<Sprite> inMemory = Sprite::Open(memory, false, &problem);
  ASSERT_TRUE(inMemory) << problem;
  StoredFrame fromFile, fromMemory;
  for (uint32_t i = 0; i < 2; ++i) {
    ASSERT_EQ(sprite->DecodeFrame(i, &fromFile), "");
    ASSERT_EQ(inMemory->DecodeFrame(i, &fromMemory), "");
    EXPECT_EQ(fromFile.width, specs[i].width);
    EXPECT_EQ(fromFile.pixels, fromMemory.pixels);
  }
}

TEST_F(FileSourceTest, WhatIsNoRegularFileIsRefused) {
  const std::string fifo = Made("pipe.c16");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  struct Case {
    const char* name;
    std::string path;
    const char* reason;
  } const cases[] = {
      {"missing file", dir_ + "/missing.spr", "no such file"},
      {"directory", dir_, "regular file"},
      // Opening a pipe with no writer must come back at once.
      {"pipe", fifo, "regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string problem;
    EXPECT_EQ(OpenFileSource(Utf16(c.path), &problem), nullptr);
    EXPECT_NE(problem.find(c.reason), std::string::npos) << problem;
  }
}

}  // namespace
}  // namespace tamsorel
