// Tamsorel.dll as the shell uses it: loaded with LoadLibrary, reached only
// through its exports.
#include <windows.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_test_util.h"
#include "sprite_fixtures.h"

using fixtures::Bytes;
using tamsorel::ComRef;
using tamsorel::UniqueBitmap;
using tamsorel::UniqueBstr;
using tamsorel::UniqueFile;
using tamsorel::UniqueMemoryDc;
using testutil::kClsidQuorrel;
using testutil::LoadedDll;

namespace {

std::wstring DllPath() { return fixtures::ProgramDir() + L"\\Tamsorel.dll"; }

// The palette resource as the library carries it (British English).
Bytes PaletteOf(HMODULE module) {
  HRSRC found = FindResourceExW(module, L"PALETTE", MAKEINTRESOURCEW(202), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_UK));
  if (found == nullptr || SizeofResource(module, found) != 1024) return {};
  HGLOBAL loaded = LoadResource(module, found);
  const auto* bytes = static_cast<const uint8_t*>(LockResource(loaded));
  return bytes == nullptr ? Bytes() : Bytes(bytes, bytes + 1024);
}

// The .bmp file image of a bitmap handed out by Extract, built from what the
// bitmap says about itself.
Bytes BmpOf(HBITMAP bitmap) {
  DIBSECTION section = {};
  if (GetObjectW(bitmap, sizeof(section), &section) != sizeof(section) || section.dsBm.bmBits == nullptr) return {};
  const LONG width = section.dsBm.bmWidth;
  const LONG height = section.dsBm.bmHeight;
  Bytes colours;
  if (section.dsBmih.biBitCount == 8) {
    RGBQUAD table[256] = {};
    const UniqueMemoryDc dc(CreateCompatibleDC(nullptr));
    HGDIOBJ previous = SelectObject(dc.get(), bitmap);
    const UINT got = GetDIBColorTable(dc.get(), 0, 256, table);
    SelectObject(dc.get(), previous);
    if (got != 256) return {};
    const auto* bytes = reinterpret_cast<const uint8_t*>(table);
    colours.assign(bytes, bytes + 1024);
  } else {
    for (DWORD mask : section.dsBitfields) fixtures::PutLe32(colours, mask);
  }
  const uint32_t rowBytes = static_cast<uint32_t>(width) * section.dsBmih.biBitCount / 8;
  Bytes rows;
  const auto* bits = static_cast<const uint8_t*>(section.dsBm.bmBits);
  for (LONG row = 0; row < height; ++row) {
    const uint8_t* start = bits + row * section.dsBm.bmWidthBytes;
    rows.insert(rows.end(), start, start + rowBytes);
    for (LONG pad = static_cast<LONG>(rowBytes); pad < section.dsBm.bmWidthBytes; ++pad)
      if (start[pad] != 0) return {};  // padding must stay zero
  }
  return fixtures::ExpectedBmp(width, height, section.dsBmih.biBitCount, colours, rows);
}

// One thumbnail request through the exports, as the shell makes it.
struct Thumbnail {
  HRESULT load = E_FAIL;
  HRESULT extract = E_FAIL;
  HRESULT stamp = E_FAIL;
  Bytes bmp;
};

Thumbnail Request(const LoadedDll& dll, const std::wstring& sprite) {
  Thumbnail result;
  ComRef<IClassFactory> factory;
  if (dll.GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()) != S_OK) return result;
  ComRef<IPersistFile> persist;
  if (factory->CreateInstance(nullptr, IID_IPersistFile, persist.out()) != S_OK) return result;
  factory.reset();
  result.load = persist->Load(sprite.c_str(), STGM_READ);
  ComRef<IExtractImage2> image;
  if (persist->QueryInterface(IID_IExtractImage2, image.out()) != S_OK) return result;
  persist.reset();
  WCHAR location[MAX_PATH];
  DWORD priority = IEIT_PRIORITY_NORMAL, flags = IEIFLAG_ASPECT | IEIFLAG_OFFLINE;
  SIZE size = {96, 96};
  image->GetLocation(location, MAX_PATH, &priority, &size, 32, &flags);
  UniqueBitmap bitmap;
  result.extract = image->Extract(bitmap.out());
  if (result.extract == S_OK) result.bmp = BmpOf(bitmap.get());
  FILETIME stamp = {};
  result.stamp = image->GetDateStamp(&stamp);
  return result;
}

// The sprites of the end-to-end cases and the .bmp image each must give.
struct SpriteCase {
  const char* name;
  std::wstring file;
  Bytes contents;
  HRESULT expected;
  Bytes (*bmp)(const Bytes& palette);
};

std::vector<SpriteCase> SpriteCases() {
  const std::vector<uint16_t> odd565 = {0xF800, 0x07E0, 0x001F, 0x1234, 0x5678, 0x9ABC};  // 3x2
  const std::vector<uint16_t> even555 = {0x7C00, 0x03E0, 0x001F, 0x7FFF};                 // 2x2
  const Bytes sprPixels = {1, 2, 3, 4, 5, 250, 251, 252, 253, 254};                       // 5x2
  std::vector<SpriteCase> cases;
  cases.push_back({"S16Rgb565OddWidth", L"odd.s16", fixtures::MakeS16(fixtures::kRgb565, 3, 2, odd565), S_OK,
                   [](const Bytes&) {
                     return fixtures::ExpectedBmp(3, 2, 16, fixtures::MaskBytes(fixtures::kRgb565),
                                                  fixtures::PixelBytes16({0xF800, 0x07E0, 0x001F, 0x1234, 0x5678,
                                                                          0x9ABC}));
                   }});
  cases.push_back({"S16Rgb555EvenWidth", L"even.S16", fixtures::MakeS16(0, 2, 2, even555), S_OK, [](const Bytes&) {
                     return fixtures::ExpectedBmp(2, 2, 16, fixtures::MaskBytes(0),
                                                  fixtures::PixelBytes16({0x7C00, 0x03E0, 0x001F, 0x7FFF}));
                   }});
  cases.push_back({"C16Rgb565OddWidth", L"odd.c16", fixtures::MakeC16(fixtures::kRgb565, 3, 2, odd565), S_OK,
                   [](const Bytes&) {
                     return fixtures::ExpectedBmp(3, 2, 16, fixtures::MaskBytes(fixtures::kRgb565),
                                                  fixtures::PixelBytes16({0xF800, 0x07E0, 0x001F, 0x1234, 0x5678,
                                                                          0x9ABC}));
                   }});
  cases.push_back({"SprOddWidth", L"five.SPR", fixtures::MakeSpr(5, 2, sprPixels), S_OK, [](const Bytes& palette) {
                     return fixtures::ExpectedBmp(5, 2, 8, palette, {1, 2, 3, 4, 5, 250, 251, 252, 253, 254});
                   }});
  cases.push_back({"TruncatedSpr", L"short.spr", Bytes{1, 0, 10, 0}, E_FAIL, nullptr});
  cases.push_back({"ZeroFramesS16", L"none.s16", Bytes{0, 0, 0, 0, 0, 0, 14, 0, 0, 0, 1, 0, 1, 0}, E_FAIL, nullptr});
  cases.push_back({"MissingLineOffsets", L"lines.c16", Bytes{2, 0, 0, 0, 1, 0, 14, 0, 0, 0, 2, 0, 5, 0}, E_FAIL,
                   nullptr});
  return cases;
}

class TamsorelDll : public ::testing::Test {
 protected:
  void SetUp() override {
    dll_ = std::make_unique<LoadedDll>(DllPath());
    ASSERT_TRUE(dll_->ok()) << "cannot load Tamsorel.dll beside the test program";
  }
  void TearDown() override {
    if (dll_ && dll_->ok()) {
      EXPECT_EQ(dll_->CanUnloadNow(), S_OK) << "every object and reference was released";
    }
    dll_.reset();
    EXPECT_EQ(GetModuleHandleW(L"Tamsorel.dll"), nullptr) << "the library was unloaded";
  }
  std::unique_ptr<LoadedDll> dll_;
  fixtures::TempDir dir_;
};

TEST_F(TamsorelDll, ExtractsEveryKindAndReleasesTheFile) {
  const Bytes palette = PaletteOf(dll_->module());
  ASSERT_EQ(palette.size(), 1024u) << "PALETTE 202 in British English";
  for (const SpriteCase& c : SpriteCases()) {
    SCOPED_TRACE(c.name);
    const std::wstring path = dir_.Write(c.file, c.contents);
    ASSERT_FALSE(path.empty());
    const Thumbnail result = Request(*dll_, path);
    EXPECT_EQ(result.load, S_OK);
    EXPECT_EQ(result.extract, c.expected);
    EXPECT_EQ(result.stamp, S_OK);
    if (c.bmp != nullptr) {
      EXPECT_EQ(result.bmp, c.bmp(palette));
    }
    // Neither Extract nor GetDateStamp keeps the file: it opens with no
    // sharing at all and can be deleted.
    {
      const UniqueFile exclusive(
          CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      EXPECT_NE(exclusive.get(), INVALID_HANDLE_VALUE);
    }
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    const Thumbnail gone = Request(*dll_, path);
    EXPECT_EQ(gone.extract, E_FAIL);
    EXPECT_EQ(gone.stamp, E_FAIL);
  }
}

TEST_F(TamsorelDll, TwoExtractsGiveIndependentBitmaps) {
  const std::vector<uint16_t> pixels = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::wstring path = dir_.Write(L"twice.s16", fixtures::MakeS16(fixtures::kRgb565, 4, 2, pixels));
  ComRef<IClassFactory> factory;
  ASSERT_EQ(dll_->GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  ComRef<IExtractImage> image;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IExtractImage, image.out()), S_OK);
  ComRef<IPersistFile> persist;
  ASSERT_EQ(image->QueryInterface(IID_IPersistFile, persist.out()), S_OK);
  ASSERT_EQ(persist->Load(path.c_str(), STGM_READ), S_OK);
  UniqueBitmap first, second;
  ASSERT_EQ(image->Extract(first.out()), S_OK);
  ASSERT_EQ(image->Extract(second.out()), S_OK);
  ASSERT_NE(first.get(), second.get());
  const Bytes expected = BmpOf(first.get());
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(BmpOf(second.get()), expected);

  DIBSECTION a = {}, b = {};
  ASSERT_EQ(GetObjectW(first.get(), sizeof(a), &a), static_cast<int>(sizeof(a)));
  ASSERT_EQ(GetObjectW(second.get(), sizeof(b), &b), static_cast<int>(sizeof(b)));
  EXPECT_NE(a.dsBm.bmBits, b.dsBm.bmBits);
  static_cast<uint8_t*>(a.dsBm.bmBits)[0] ^= 0xFF;  // change one, the other stays
  EXPECT_EQ(BmpOf(second.get()), expected);
  first.reset();
  EXPECT_EQ(BmpOf(second.get()), expected) << "deleting one bitmap leaves the other intact";
}

TEST_F(TamsorelDll, LockCountAcrossClassObjectLockServerAndObjects) {
  EXPECT_EQ(dll_->CanUnloadNow(), S_OK);
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(dll_->GetClassObject(testutil::kForeignClsid, IID_IClassFactory, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(dll_->GetClassObject(kClsidQuorrel, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(dll_->CanUnloadNow(), S_OK);

  ComRef<IClassFactory> factory;
  ASSERT_EQ(dll_->GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  EXPECT_EQ(dll_->CanUnloadNow(), S_FALSE) << "a client holds the class object";
  ComRef<IExtractImage2> image;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IExtractImage2, image.out()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  EXPECT_EQ(dll_->CanUnloadNow(), S_FALSE) << "an object and a server lock remain";
  image.reset();
  EXPECT_EQ(dll_->CanUnloadNow(), S_FALSE) << "LockServer(TRUE) without LockServer(FALSE)";

  ASSERT_EQ(dll_->GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(dll_->CanUnloadNow(), S_OK) << "nothing is left";
}

TEST_F(TamsorelDll, ManyCyclesLeaveNoLockBehind) {
  const std::wstring c16 = dir_.Write(L"cycle.c16", fixtures::MakeC16(0, 3, 3, {1, 2, 3, 4, 5, 6, 7, 8, 9}));
  const std::wstring spr = dir_.Write(L"cycle.spr", fixtures::MakeSpr(4, 1, {9, 8, 7, 6}));
  const std::wstring broken = dir_.Write(L"broken.s16", Bytes{1, 0, 0});
  const std::wstring* files[] = {&c16, &spr, &broken};
  for (int cycle = 0; cycle < 300; ++cycle) {
    const std::wstring& path = *files[cycle % 3];
    const Thumbnail result = Request(*dll_, path);
    ASSERT_EQ(result.extract, &path == &broken ? E_FAIL : S_OK) << "cycle " << cycle;
    ASSERT_EQ(result.stamp, S_OK);
  }
  EXPECT_EQ(dll_->CanUnloadNow(), S_OK);
  for (const std::wstring* path : files) {
    const UniqueFile exclusive(
        CreateFileW(path->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_NE(exclusive.get(), INVALID_HANDLE_VALUE);
  }
}

// IQuorrel is stored with TYPEFLAG_FDUAL, FNONEXTENSIBLE, FOLEAUTOMATION and
// FDISPATCHABLE (0x11C0).  Wine's type-library loader does not report
// FOLEAUTOMATION for the dispatch view of a dual interface, so that one bit
// is not asked of the loader.
constexpr WORD kDualDispatchFlags = 0x11C0;
constexpr WORD kLoaderMasked = TYPEFLAG_FOLEAUTOMATION;
const GUID kLibIdStdOle2 = {0x00020430, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The TYPELIB resource declares exactly the library, interface and coclass.
TEST(TamsorelTypeLibrary, DeclarationsOfTheEmbeddedLibrary) {
  ComRef<ITypeLib> library;
  ASSERT_EQ(LoadTypeLibEx(DllPath().c_str(), REGKIND_NONE, library.outTyped()), S_OK);
  TLIBATTR* attributes = nullptr;
  ASSERT_EQ(library->GetLibAttr(&attributes), S_OK);
  EXPECT_TRUE(IsEqualGUID(attributes->guid, testutil::kLibIdTamsorel));
  EXPECT_EQ(attributes->wMajorVerNum, 1);
  EXPECT_EQ(attributes->wMinorVerNum, 0);
  EXPECT_EQ(attributes->lcid, 0x0409u);
  EXPECT_EQ(attributes->syskind, sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32);
  // LIBFLAG_FHASDISKIMAGE is the loader's note that the library came from a
  // file; the library itself declares no flags.
  EXPECT_EQ(attributes->wLibFlags & ~LIBFLAG_FHASDISKIMAGE, 0);
  library->ReleaseTLibAttr(attributes);

  UniqueBstr name, doc;
  ASSERT_EQ(library->GetDocumentation(-1, name.out(), doc.out(), nullptr, nullptr), S_OK);
  EXPECT_STREQ(name.get(), L"TamsorelLib");
  EXPECT_STREQ(doc.get(), L"Tamsorel 1.0 Type Library");

  ASSERT_EQ(library->GetTypeInfoCount(), 2u);
  struct Expected {
    const wchar_t* name;
    const wchar_t* help;
    TYPEKIND kind;
    WORD flags;
    const GUID* guid;
  } const types[] = {{L"Quorrel", L"Quorrel Class", TKIND_COCLASS, TYPEFLAG_FCANCREATE, &kClsidQuorrel},
                     {L"IQuorrel", L"IQuorrel Interface", TKIND_DISPATCH, kDualDispatchFlags, &testutil::kIidQuorrel}};
  for (UINT index = 0; index < 2; ++index) {
    const Expected& e = types[index];
    SCOPED_TRACE(index);
    ComRef<ITypeInfo> info;
    ASSERT_EQ(library->GetTypeInfo(index, info.outTyped()), S_OK);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->typekind, e.kind);
    EXPECT_EQ(type->wTypeFlags | (e.kind == TKIND_DISPATCH ? kLoaderMasked : 0), e.flags);
    EXPECT_TRUE(IsEqualGUID(type->guid, *e.guid));
    EXPECT_EQ(type->wMajorVerNum, 0);
    EXPECT_EQ(type->wMinorVerNum, 0);
    EXPECT_EQ(type->cImplTypes, 1);
    info->ReleaseTypeAttr(type);
    ASSERT_EQ(library->GetDocumentation(static_cast<INT>(index), name.out(), doc.out(), nullptr, nullptr), S_OK);
    EXPECT_STREQ(name.get(), e.name);
    EXPECT_STREQ(doc.get(), e.help);

    // The coclass implements IQuorrel as its default; IQuorrel derives from
    // IDispatch.
    HREFTYPE reference = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(0, &reference), S_OK);
    ComRef<ITypeInfo> base;
    ASSERT_EQ(info->GetRefTypeInfo(reference, base.outTyped()), S_OK);
    UniqueBstr baseName;
    ASSERT_EQ(base->GetDocumentation(MEMBERID_NIL, baseName.out(), nullptr, nullptr, nullptr), S_OK);
    EXPECT_STREQ(baseName.get(), index == 0 ? L"IQuorrel" : L"IDispatch");
    if (index == 1) {
      // IDispatch comes from the imported stdole2.tlb, version 2.0, LCID 0.
      ComRef<ITypeLib> imported;
      UINT position = 0;
      ASSERT_EQ(base->GetContainingTypeLib(imported.outTyped(), &position), S_OK);
      TLIBATTR* stdole = nullptr;
      ASSERT_EQ(imported->GetLibAttr(&stdole), S_OK);
      EXPECT_TRUE(IsEqualGUID(stdole->guid, kLibIdStdOle2));
      EXPECT_EQ(stdole->wMajorVerNum, 2);
      EXPECT_EQ(stdole->wMinorVerNum, 0);
      EXPECT_EQ(stdole->lcid, 0u);
      imported->ReleaseTLibAttr(stdole);
    }
    if (index == 0) {
      INT implFlags = 0;
      ASSERT_EQ(info->GetImplTypeFlags(0, &implFlags), S_OK);
      EXPECT_EQ(implFlags, IMPLTYPEFLAG_FDEFAULT);
    }
  }
}

// A copy of the library under another file name cannot find its palette:
// 8-bit sprites fail while the 16-bit kinds still decode.
TEST(RenamedDll, SprNeedsTheLibraryName) {
  ASSERT_EQ(GetModuleHandleW(L"Tamsorel.dll"), nullptr) << "no Tamsorel.dll may be loaded for this test";
  fixtures::TempDir dir;
  const std::wstring copy = dir.File(L"QuorrelCopy.dll");
  ASSERT_TRUE(CopyFileW(DllPath().c_str(), copy.c_str(), FALSE));
  const std::wstring spr = dir.Write(L"a.spr", fixtures::MakeSpr(4, 1, {1, 2, 3, 4}));
  const std::wstring s16 = dir.Write(L"a.s16", fixtures::MakeS16(0, 1, 1, {7}));
  const std::wstring c16 = dir.Write(L"a.c16", fixtures::MakeC16(0, 1, 1, {7}));
  {
    LoadedDll dll(copy);
    ASSERT_TRUE(dll.ok());
    EXPECT_EQ(Request(dll, spr).extract, E_FAIL);
    EXPECT_EQ(Request(dll, s16).extract, S_OK);
    EXPECT_EQ(Request(dll, c16).extract, S_OK);
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
  }
  EXPECT_TRUE(DeleteFileW(copy.c_str())) << "the copy was unloaded";
}

}  // namespace
