// The property handler in Tamsorel.dll, created through its class object and
// initialised with in-memory streams: the values for every kind, the bound
// on what it reads, streams that misbehave, files that are no sprite, and
// the read-only contract of the store.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sprite/sprite_format.h"
#include "frame_encoder.h"
#include "loaded_dll.h"
#include "test_support.h"

namespace proptest {
namespace {

using tamsorel::SpriteKind;
using tamsorel::test::EncodedSprite;
using tamsorel::test::EncodeFrames;
using tamsorel::test::FrameSpec;
using tamsorel::test::PatternFrame;

class StoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.ok());
    ASSERT_EQ(dll_.GetClassObject(kClsidSpriteProperties, IID_IClassFactory, factory_.out()), S_OK);
  }
  void TearDown() override {
    factory_.reset();
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
  }

  void NewStore(ComRef<IPropertyStore>* store) {
    EXPECT_EQ(factory_->CreateInstance(nullptr, IID_IPropertyStore, store->out()), S_OK);
  }
  HRESULT Initialize(IPropertyStore* store, IStream* stream, DWORD mode = STGM_READ) {
    ComRef<IInitializeWithStream> init;
    const HRESULT hr = store->QueryInterface(IID_IInitializeWithStream, init.out());
    if (FAILED(hr)) return hr;
    return init->Initialize(stream, mode);
  }
  // Initialises a new store with `bytes` named `name`; the stream's record
  // stays in `*stream` when given.
  HRESULT Load(const std::vector<uint8_t>& bytes, const wchar_t* name, ComRef<IPropertyStore>* store,
               StreamFaults faults = {}, ComRef<MemoryStream>* stream = nullptr) {
    NewStore(store);
    MemoryStream* memory = new MemoryStream(bytes, name, faults);
    ComRef<IStream> owner(memory);
    const HRESULT hr = Initialize(store->get(), memory);
    if (stream != nullptr) stream->share(memory);
    return hr;
  }

  // Every property as "name = value" lines, in the store's order.
  static std::string Listing(IPropertyStore* store) {
    DWORD count = 0;
    EXPECT_EQ(store->GetCount(&count), S_OK);
    const struct {
      PROPERTYKEY key;
      const char* name;
    } names[] = {{kHorizontalSize, "HorizontalSize"}, {kVerticalSize, "VerticalSize"},
                 {kDimensions, "Dimensions"},         {kBitDepth, "BitDepth"},
                 {kFrameCount, "FrameCount"},         {kPixelFormat, "PixelFormat"},
                 {kClaimedFrameCount, "ClaimedFrameCount"}};
    std::string text;
    for (DWORD i = 0; i < count; ++i) {
      PROPERTYKEY key;
      EXPECT_EQ(store->GetAt(i, &key), S_OK);
      std::string name = "?";
      for (const auto& n : names)
        if (SameKey(n.key, key)) name = n.name;
      PROPVARIANT value;
      EXPECT_EQ(store->GetValue(key, &value), S_OK);
      text += name + " = ";
      if (value.vt == VT_UI4) {
        text += std::to_string(value.ulVal);
      } else if (value.vt == VT_LPWSTR) {
        const std::wstring wide(value.pwszVal);
        text += std::string(wide.begin(), wide.end());
      } else {
        text += "<vt " + std::to_string(value.vt) + ">";
      }
      text += "\n";
      PropVariantClear(&value);
    }
    return text;
  }

  testutil::LoadedDll dll_{BinDirectory() + L"Tamsorel.dll"};
  ComRef<IClassFactory> factory_;
};

std::vector<FrameSpec> Frames(std::vector<std::pair<uint16_t, uint16_t>> sizes, bool indexed) {
  std::vector<FrameSpec> frames;
  uint32_t seed = 3;
  for (const auto& size : sizes) frames.push_back(PatternFrame(size.first, size.second, seed++, indexed));
  return frames;
}

// The listing of a file; `claimed`, when not 0, is the header's claim that
// differs from the frames held and follows them.
std::string Expected(unsigned w, unsigned h, unsigned depth, unsigned frames, const char* format,
                     unsigned claimed = 0) {
  return "HorizontalSize = " + std::to_string(w) + "\nVerticalSize = " + std::to_string(h) +
         "\nDimensions = " + std::to_string(w) + " x " + std::to_string(h) + "\nBitDepth = " + std::to_string(depth) +
         "\nFrameCount = " + std::to_string(frames) +
         (claimed != 0 ? "\nClaimedFrameCount = " + std::to_string(claimed) : std::string()) +
         "\nPixelFormat = " + format + "\n";
}

// The values of multi-frame files of every kind, and that the store reads
// the header and the frame entries only, every byte of them once.
TEST_F(StoreTest, ValuesOfEveryKindFromTheDirectoryAlone) {
  const struct {
    const wchar_t* name;
    SpriteKind kind;
    uint32_t flags;
    std::vector<FrameSpec> frames;
    std::string expected;
  } cases[] = {
      {L"Z:\\sprites\\walk.spr", SpriteKind::kSpr, 0, Frames({{31, 17}, {5, 5}, {64, 2}}, true),
       Expected(31, 17, 8, 3, "8-bit palette")},
      {L"walk.SPR", SpriteKind::kSpr, 0, Frames({{2, 3}}, true), Expected(2, 3, 8, 1, "8-bit palette")},
      {L"run.s16", SpriteKind::kS16, 1, Frames({{40, 30}, {12, 9}}, false), Expected(40, 30, 16, 2, "16-bit 5-6-5")},
      {L"run-555.s16", SpriteKind::kS16, 0, Frames({{7, 70}}, false), Expected(7, 70, 16, 1, "16-bit 5-5-5")},
      {L"turn.c16", SpriteKind::kC16, 1, Frames({{20, 60}, {33, 3}, {1, 1}, {9, 120}}, false),
       Expected(20, 60, 16, 4, "16-bit 5-6-5, compressed")},
      {L"turn-555.c16", SpriteKind::kC16, 0, Frames({{3, 3}, {4, 4}}, false),
       Expected(3, 3, 16, 2, "16-bit 5-5-5, compressed")},
      // The header's flags decide between S16 and C16, whatever the name.
      {L"named.s16", SpriteKind::kC16, 1, Frames({{5, 6}}, false), Expected(5, 6, 16, 1, "16-bit 5-6-5, compressed")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
    const EncodedSprite e = EncodeFrames(c.kind, c.flags, c.frames);
    ComRef<IPropertyStore> store;
    ComRef<MemoryStream> stream;
    ASSERT_EQ(Load(e.bytes, c.name, &store, {}, &stream), S_OK);
    EXPECT_EQ(Listing(store.get()), c.expected);
    // The header and the entries, each byte once: no C16 line table.
    const uint64_t header = c.kind == SpriteKind::kSpr ? tamsorel::kSprHeaderSize : tamsorel::kSprite16HeaderSize;
    EXPECT_EQ(stream->furthest, e.entryAt.back() + tamsorel::kFrameEntrySize);
    EXPECT_EQ(stream->handedOut, header + tamsorel::kFrameEntrySize * c.frames.size());
    // The stream is not kept once Initialize has returned.
    EXPECT_EQ(stream->AddRef(), 2u);
    stream->Release();
    // The header claims the frames held: no second count, and asking for
    // one gives an empty value.
    PROPVARIANT value;
    ASSERT_EQ(store->GetValue(kClaimedFrameCount, &value), S_OK);
    EXPECT_EQ(value.vt, VT_EMPTY);
  }
}

TEST_F(StoreTest, DamagedFilesGiveWhatCanBeReadAndNoSpriteFails) {
  EncodedSprite claimed = EncodeFrames(SpriteKind::kSpr, 0, Frames({{9, 4}}, true));
  claimed.bytes[0] = claimed.bytes[1] = 0xFF;  // 65535 frames claimed
  EncodedSprite cut = EncodeFrames(SpriteKind::kC16, 1, Frames({{6, 5}, {4, 300}}, false));
  cut.bytes.resize(cut.tableAt[1] + 100);  // the second line table is cut
  const std::string text = "Not a sprite at all: a few words of text.\r\n";

  // A directory cut inside its second of three entries: one held, three
  // claimed.
  EncodedSprite cutEntries = EncodeFrames(SpriteKind::kS16, 0, Frames({{3, 7}, {2, 2}, {5, 1}}, false));
  cutEntries.bytes.resize(cutEntries.entryAt[1] + 3);

  ComRef<IPropertyStore> store;
  ComRef<MemoryStream> stream;
  ASSERT_EQ(Load(claimed.bytes, L"many.spr", &store, {}, &stream), S_OK);
  // The file has room for 5 entries after its header (44 bytes): its own
  // and 4 made of its pixels.  Those are the frames; the header's 65535
  // follows them.  The claim costs no read: the header and the 5 entries,
  // each byte once.
  EXPECT_EQ(Listing(store.get()), Expected(9, 4, 8, 5, "8-bit palette", 65535));
  EXPECT_EQ(stream->handedOut, tamsorel::kSprHeaderSize + 5 * tamsorel::kFrameEntrySize);
  stream.reset();
  PROPVARIANT value;
  ASSERT_EQ(store->GetValue(kClaimedFrameCount, &value), S_OK);
  EXPECT_EQ(value.vt, VT_UI4);
  EXPECT_EQ(value.ulVal, 65535u);
  ASSERT_EQ(Load(cutEntries.bytes, L"cut.s16", &store), S_OK);
  EXPECT_EQ(Listing(store.get()), Expected(3, 7, 16, 1, "16-bit 5-5-5", 3));
  // A line table cut short still holds both entries the header claims.
  ASSERT_EQ(Load(cut.bytes, L"cut.c16", &store), S_OK);
  EXPECT_EQ(Listing(store.get()), Expected(6, 5, 16, 2, "16-bit 5-6-5, compressed"));

  const HRESULT notASprite = HRESULT_FROM_WIN32(ERROR_BAD_FORMAT);
  const struct {
    const wchar_t* name;
    std::vector<uint8_t> bytes;
  } refused[] = {
      {L"text.s16", std::vector<uint8_t>(text.begin(), text.end())},
      {L"text.spr", std::vector<uint8_t>(text.begin(), text.end())},
      {L"empty.c16", {}},
      {L"noframes.s16", {1, 0, 0, 0, 0, 0}},
  };
  for (const auto& r : refused) {
    SCOPED_TRACE(std::string(r.name, r.name + wcslen(r.name)));
    EXPECT_EQ(Load(r.bytes, r.name, &store), notASprite);
    DWORD count = 7;
    EXPECT_EQ(store->GetCount(&count), E_UNEXPECTED);
    EXPECT_EQ(count, 0u);
  }
}

// Streams that misbehave give a clean result: values where the directory
// could be read, a failure otherwise, and never a read past what the stream
// holds.
TEST_F(StoreTest, StreamsThatMisbehave) {
  const EncodedSprite e = EncodeFrames(SpriteKind::kC16, 1, Frames({{12, 40}, {5, 5}}, false));
  const std::string whole = Expected(12, 40, 16, 2, "16-bit 5-6-5, compressed");
  const ULONGLONG size = e.bytes.size();

  ComRef<IPropertyStore> store;
  // One byte a Read.
  ASSERT_EQ(Load(e.bytes, L"a.c16", &store, {~0ull, 1}), S_OK);
  EXPECT_EQ(Listing(store.get()), whole);
  // No Stat: the size comes from a seek to the end.
  StreamFaults noStat;
  noStat.statFails = true;
  ASSERT_EQ(Load(e.bytes, L"a.c16", &store, noStat), S_OK);
  EXPECT_EQ(Listing(store.get()), whole);
  // A stream that states more bytes than it holds: the directory is whole,
  // the frames' pixels are checked against the stated size.
  ASSERT_EQ(Load(e.bytes, L"a.c16", &store, {size + 100000}), S_OK);
  EXPECT_EQ(Listing(store.get()), whole);
  // A stream that holds less than it states, ending inside the directory.
  std::vector<uint8_t> cut(e.bytes.begin(), e.bytes.begin() + 10);
  EXPECT_EQ(Load(cut, L"a.c16", &store, {size}), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  // A stream that states fewer bytes than it holds is read no further.
  ComRef<MemoryStream> stream;
  EXPECT_EQ(Load(e.bytes, L"a.c16", &store, {5}, &stream), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  EXPECT_LE(stream->furthest, 5u);
  stream.reset();
  // Reads that claim more than was asked, and reads that fail.
  StreamFaults over;
  over.overReport = true;
  EXPECT_EQ(Load(e.bytes, L"a.c16", &store, over), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
  StreamFaults failing;
  failing.readFails = true;
  EXPECT_EQ(Load(e.bytes, L"a.c16", &store, failing), HRESULT_FROM_WIN32(ERROR_BAD_FORMAT));
}

TEST_F(StoreTest, ReadOnlyStoreAndItsContract) {
  ComRef<IPropertyStore> store;
  NewStore(&store);
  DWORD count = 0;
  PROPERTYKEY key;
  PROPVARIANT value;
  EXPECT_EQ(store->GetCount(&count), E_UNEXPECTED);
  EXPECT_EQ(store->GetValue(kBitDepth, &value), E_UNEXPECTED);
  EXPECT_EQ(value.vt, VT_EMPTY);

  const EncodedSprite e = EncodeFrames(SpriteKind::kS16, 1, Frames({{3, 2}}, false));
  ComRef<IStream> stream(new MemoryStream(e.bytes, L"x.s16"));
  EXPECT_EQ(Initialize(store.get(), nullptr), E_POINTER);
  EXPECT_EQ(Initialize(store.get(), stream.get(), STGM_READWRITE), STG_E_ACCESSDENIED);
  ASSERT_EQ(Initialize(store.get(), stream.get()), S_OK);
  EXPECT_EQ(Initialize(store.get(), stream.get()), HRESULT_FROM_WIN32(ERROR_ALREADY_INITIALIZED));

  ASSERT_EQ(store->GetCount(&count), S_OK);
  EXPECT_EQ(count, 6u);
  EXPECT_EQ(store->GetAt(count, &key), E_INVALIDARG);
  // A property the file does not have is empty.
  const PROPERTYKEY other = {kImage, 5};
  ASSERT_EQ(store->GetValue(other, &value), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);

  PROPVARIANT newValue;
  PropVariantInit(&newValue);
  newValue.vt = VT_UI4;
  newValue.ulVal = 9;
  EXPECT_EQ(store->SetValue(kBitDepth, newValue), STG_E_ACCESSDENIED);
  EXPECT_EQ(store->Commit(), STG_E_ACCESSDENIED);
  ComRef<IPropertyStoreCapabilities> capabilities;
  ASSERT_EQ(store->QueryInterface(IID_IPropertyStoreCapabilities, capabilities.out()), S_OK);
  for (const PROPERTYKEY& k : {kHorizontalSize, kBitDepth, kFrameCount, kPixelFormat, kClaimedFrameCount})
    EXPECT_EQ(capabilities->IsPropertyWritable(k), S_FALSE);
  ASSERT_EQ(store->GetValue(kBitDepth, &value), S_OK);
  EXPECT_EQ(value.ulVal, 16u);

  // Identity through every interface, nothing else handed out.
  ComRef<IUnknown> a, b;
  ASSERT_EQ(store->QueryInterface(IID_IUnknown, a.out()), S_OK);
  ASSERT_EQ(capabilities->QueryInterface(IID_IUnknown, b.out()), S_OK);
  EXPECT_EQ(a.get(), b.get());
  ComRef<IUnknown> none;
  EXPECT_EQ(store->QueryInterface(IID_IPersistFile, none.out()), E_NOINTERFACE);
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);

  // Aggregation is refused.
  ComRef<IUnknown> inner;
  EXPECT_EQ(factory_->CreateInstance(a.get(), IID_IUnknown, inner.out()), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(inner.get(), nullptr);
}

}  // namespace
}  // namespace proptest
