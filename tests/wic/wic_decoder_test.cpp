// The WIC decoder class under Wine, made directly (not through the
// registry): frames over a stream as 32-bit BGRA, WIC's own format converter
// over them, CopyPixels' rectangles, strides and buffer sizes, and the
// decoder's states and answers.
#include <windows.h>
#include <shlwapi.h>
#include <wincodec.h>

#include <gtest/gtest.h>

#include <vector>

#include "common/win32_owner.h"
#include "expected_bgra.h"
#include "frame_encoder.h"
#include "wic/wic_decoder.h"

namespace tamsorel {
namespace {

using test::EncodeFrames;
using test::ExpectedBgra;
using test::FrameSpec;

class WicDecoder : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
  void TearDown() override { CoUninitialize(); }

  static ComRef<IStream> StreamOf(const std::vector<uint8_t>& bytes) {
    return ComRef<IStream>(SHCreateMemStream(bytes.data(), static_cast<UINT>(bytes.size())));
  }
  // A decoder initialised with `bytes`; `hr` is what Initialize answered.
  static ComRef<IWICBitmapDecoder> Decode(const std::vector<uint8_t>& bytes, HRESULT* hr = nullptr) {
    ComRef<IWICBitmapDecoder> decoder;
    EXPECT_EQ(CreateWicDecoder(nullptr, IID_IWICBitmapDecoder, decoder.out()), S_OK);
    const ComRef<IStream> stream = StreamOf(bytes);
    const HRESULT initialized = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
    if (hr) *hr = initialized;
    else EXPECT_EQ(initialized, S_OK);
    return decoder;
  }
};

const FrameSpec kSmall{3, 2, {0xF800, 0, 0x07E0, 0x001F, 0xFFFF, 0x1234}};
const FrameSpec kTall{2, 3, {0x001F, 0, 0, 0x07E0, 0xF800, 0xFFFF}};

TEST_F(WicDecoder, EveryFrameIsStraightBgraAndWicConvertsIt) {
  ComRef<IWICImagingFactory> factory;
  ASSERT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                             factory.out()),
            S_OK);
  struct Case {
    SpriteKind kind;
    std::vector<FrameSpec> frames;
    const GUID* container;
  } const cases[] = {
      {SpriteKind::kS16, {kSmall, kTall}, &GUID_ContainerFormatTamsorelS16},
      {SpriteKind::kC16, {kTall, kSmall, kTall}, &GUID_ContainerFormatTamsorelC16},
      {SpriteKind::kSpr, {FrameSpec{5, 1, {1, 2, 3, 0, 250}}, FrameSpec{1, 2, {0, 7}}}, &GUID_ContainerFormatTamsorelSpr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(KindName(c.kind));
    const ComRef<IWICBitmapDecoder> decoder = Decode(EncodeFrames(c.kind, 1, c.frames).bytes);
    GUID container{};
    ASSERT_EQ(decoder->GetContainerFormat(&container), S_OK);
    EXPECT_TRUE(IsEqualGUID(container, *c.container));
    UINT count = 0;
    ASSERT_EQ(decoder->GetFrameCount(&count), S_OK);
    ASSERT_EQ(count, c.frames.size());
    for (UINT i = 0; i < count; ++i) {
      const FrameSpec& spec = c.frames[i];
      ComRef<IWICBitmapFrameDecode> frame;
      ASSERT_EQ(decoder->GetFrame(i, frame.outTyped()), S_OK);
      UINT width = 0, height = 0;
      ASSERT_EQ(frame->GetSize(&width, &height), S_OK);
      EXPECT_EQ(width, spec.width);
      EXPECT_EQ(height, spec.height);
      WICPixelFormatGUID format{};
      ASSERT_EQ(frame->GetPixelFormat(&format), S_OK);
      EXPECT_TRUE(IsEqualGUID(format, GUID_WICPixelFormat32bppBGRA));
      double dpiX = 0, dpiY = 0;
      ASSERT_EQ(frame->GetResolution(&dpiX, &dpiY), S_OK);
      EXPECT_EQ(dpiX, 96.0);
      EXPECT_EQ(dpiY, 96.0);

      std::vector<uint8_t> expected;
      for (uint16_t value : spec.pixels) {
        const std::vector<uint8_t> pixel = ExpectedBgra(c.kind, value);
        expected.insert(expected.end(), pixel.begin(), pixel.end());
      }
      std::vector<uint8_t> pixels(expected.size());
      ASSERT_EQ(frame->CopyPixels(nullptr, width * 4, static_cast<UINT>(pixels.size()), pixels.data()), S_OK);
      EXPECT_EQ(pixels, expected) << "frame " << i;

      // Through WIC's own converter: premultiplied is the same, since every
      // pixel is opaque or wholly transparent.
      for (const GUID* to : {&GUID_WICPixelFormat32bppPBGRA, &GUID_WICPixelFormat32bppBGRA}) {
        ComRef<IWICFormatConverter> converter;
        ASSERT_EQ(factory->CreateFormatConverter(converter.outTyped()), S_OK);
        ASSERT_EQ(converter->Initialize(frame.get(), *to, WICBitmapDitherTypeNone, nullptr, 0,
                                        WICBitmapPaletteTypeCustom),
                  S_OK);
        std::vector<uint8_t> converted(expected.size());
        ASSERT_EQ(converter->CopyPixels(nullptr, width * 4, static_cast<UINT>(converted.size()), converted.data()),
                  S_OK);
        EXPECT_EQ(converted, expected) << "frame " << i << " converted";
      }
    }
  }
}

TEST_F(WicDecoder, CopyPixelsTakesRectanglesStridesAndBufferSizes) {
  const ComRef<IWICBitmapDecoder> decoder = Decode(EncodeFrames(SpriteKind::kS16, 1, {kSmall}).bytes);
  ComRef<IWICBitmapFrameDecode> frame;
  ASSERT_EQ(decoder->GetFrame(0, frame.outTyped()), S_OK);
  struct Case {
    const char* what;
    WICRect rect;
    UINT stride, size;
    HRESULT expected;
  } const cases[] = {
      {"the bottom right pixel, odd stride", {2, 1, 1, 1}, 7, 4, S_OK},
      {"two rows of two, odd stride", {1, 0, 2, 2}, 9, 9 + 8, S_OK},
      {"a buffer one byte short", {0, 0, 3, 2}, 13, 13 + 12 - 1, WINCODEC_ERR_INSUFFICIENTBUFFER},
      {"a stride shorter than the row", {0, 0, 3, 2}, 11, 64, E_INVALIDARG},
      {"past the right edge", {1, 0, 3, 1}, 12, 64, E_INVALIDARG},
      {"a negative origin", {-1, 0, 1, 1}, 4, 64, E_INVALIDARG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> buffer(64, 0xCD);
    EXPECT_EQ(frame->CopyPixels(&c.rect, c.stride, c.size, buffer.data()), c.expected);
    if (c.expected != S_OK) {
      EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xCD)) << "nothing written";
      continue;
    }
    for (INT row = 0; row < c.rect.Height; ++row) {
      for (INT column = 0; column < c.rect.Width; ++column) {
        const uint16_t value = kSmall.pixels[(c.rect.Y + row) * kSmall.width + c.rect.X + column];
        const uint8_t* got = &buffer[row * c.stride + column * 4];
        EXPECT_EQ(std::vector<uint8_t>(got, got + 4), ExpectedBgra(SpriteKind::kS16, value));
      }
      for (UINT pad = c.rect.Width * 4; pad < c.stride && row * c.stride + pad < buffer.size(); ++pad)
        EXPECT_EQ(buffer[row * c.stride + pad], 0xCD) << "only the rectangle's bytes of a row are written";
    }
  }
  EXPECT_EQ(frame->CopyPixels(nullptr, 12, 64, nullptr), E_INVALIDARG);
}

TEST_F(WicDecoder, StatesCapabilitiesAndRefusals) {
  const std::vector<uint8_t> s16 = EncodeFrames(SpriteKind::kS16, 1, {kSmall}).bytes;
  const std::vector<uint8_t> spr = EncodeFrames(SpriteKind::kSpr, 0, {FrameSpec{1, 1, {5}}}).bytes;
  const std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};

  ComRef<IWICBitmapDecoder> fresh;
  ASSERT_EQ(CreateWicDecoder(nullptr, IID_IWICBitmapDecoder, fresh.out()), S_OK);
  UINT count = 0;
  EXPECT_EQ(fresh->GetFrameCount(&count), WINCODEC_ERR_NOTINITIALIZED);
  GUID container{};
  EXPECT_EQ(fresh->GetContainerFormat(&container), WINCODEC_ERR_NOTINITIALIZED);

  // Capability from the header alone; the stream's position is kept.
  struct Capability {
    const char* what;
    const std::vector<uint8_t>* bytes;
    DWORD expected;
  } const capabilities[] = {
      {"S16", &s16, WICBitmapDecoderCapabilityCanDecodeAllImages | WICBitmapDecoderCapabilityCanDecodeSomeImages},
      {"SPR (no header to know it by)", &spr, 0},
      {"PNG", &png, 0},
  };
  for (const Capability& c : capabilities) {
    const ComRef<IStream> stream = StreamOf(*c.bytes);
    LARGE_INTEGER three;
    three.QuadPart = 3;
    ASSERT_EQ(stream->Seek(three, STREAM_SEEK_SET, nullptr), S_OK);
    DWORD capability = 0xFFFF;
    EXPECT_EQ(fresh->QueryCapability(stream.get(), &capability), S_OK) << c.what;
    EXPECT_EQ(capability, c.expected) << c.what;
    LARGE_INTEGER none{};
    ULARGE_INTEGER at{};
    ASSERT_EQ(stream->Seek(none, STREAM_SEEK_CUR, &at), S_OK);
    EXPECT_EQ(at.QuadPart, 3u) << c.what << ": position kept";
  }

  const ComRef<IWICBitmapDecoder> decoder = Decode(s16);
  const ComRef<IStream> again = StreamOf(s16);
  EXPECT_EQ(decoder->Initialize(again.get(), WICDecodeMetadataCacheOnDemand), WINCODEC_ERR_WRONGSTATE);
  ComRef<IWICBitmapFrameDecode> frame;
  EXPECT_EQ(decoder->GetFrame(1, frame.outTyped()), WINCODEC_ERR_FRAMEMISSING);
  ComRef<IWICBitmapSource> thumbnail;
  EXPECT_EQ(decoder->GetThumbnail(thumbnail.outTyped()), WINCODEC_ERR_CODECNOTHUMBNAIL);
  ComRef<IWICBitmapSource> preview;
  EXPECT_EQ(decoder->GetPreview(preview.outTyped()), WINCODEC_ERR_UNSUPPORTEDOPERATION);

  // A damaged frame is refused; the sound one beside it is handed out.
  test::EncodedSprite damaged = EncodeFrames(SpriteKind::kS16, 1, {kSmall, kSmall});
  test::frame_encoder_detail::Patch32(damaged.bytes, damaged.entryAt[1], 0x7FFFFFF0);
  const ComRef<IWICBitmapDecoder> partly = Decode(damaged.bytes);
  ComRef<IWICBitmapFrameDecode> sound, broken;
  EXPECT_EQ(partly->GetFrame(0, sound.outTyped()), S_OK);
  EXPECT_EQ(partly->GetFrame(1, broken.outTyped()), WINCODEC_ERR_BADIMAGE);

  // A file cut inside its header, or right after it, holds no frame: no
  // image.  (Bytes that are no 16-bit header are read as SPR, whose bytes
  // carry no mark; a cut 16-bit entry may make a frame of SPR.)
  for (std::size_t cut : {std::size_t{5}, std::size_t{6}}) {
    HRESULT hr = S_OK;
    Decode(std::vector<uint8_t>(s16.begin(), s16.begin() + cut), &hr);
    EXPECT_EQ(hr, WINCODEC_ERR_BADHEADER) << cut << " bytes";
  }
}

}  // namespace
}  // namespace tamsorel
