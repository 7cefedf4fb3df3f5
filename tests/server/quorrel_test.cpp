// The thumbnail handler (CQuorrel), plain and aggregated, linked into this
// test program: identities, aggregation, failed allocations, the path
// rules, the date stamp and the automation interface.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shobjidl.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "com_test_util.h"
#include "thumbnail/quorrel.h"
#include "thumbnail/quorrel_typeinfo.h"
#include "com/module.h"
#include "sprite_fixtures.h"

using testutil::kClsidQuorrel;
using tamsorel::ComRef;
using testutil::CountingOuter;

namespace {

LONG LockCount() { return tamsorel::ModuleLockCount(); }

void* const kGarbage = reinterpret_cast<void*>(static_cast<UINT_PTR>(0xDEADBEEF));

template <class T>
HRESULT NewQuorrel(ComRef<T>* out, const IID& iid) {
  return tamsorel::CreateQuorrel(nullptr, iid, out->out());
}

// ---------------------------------------------------------------------------
// Identities

TEST(QuorrelIdentity, InterfacesOfThePlainObject) {
  ComRef<IUnknown> unknown;
  ASSERT_EQ(NewQuorrel(&unknown, IID_IUnknown), S_OK);
  struct Row {
    const IID* iid;
    const char* name;
  };
  const Row primary[] = {{&IID_IUnknown, "IUnknown"}, {&IID_IDispatch, "IDispatch"}, {&testutil::kIidQuorrel, "IQuorrel"}};
  for (const Row& row : primary) {
    ComRef<IUnknown> answer;
    ASSERT_EQ(unknown->QueryInterface(*row.iid, answer.out()), S_OK) << row.name;
    EXPECT_EQ(answer.get(), unknown.get()) << row.name << " is the primary interface";
  }
  ComRef<IUnknown> image, image2, persist;
  ASSERT_EQ(unknown->QueryInterface(IID_IExtractImage, image.out()), S_OK);
  ASSERT_EQ(unknown->QueryInterface(IID_IExtractImage2, image2.out()), S_OK);
  ASSERT_EQ(unknown->QueryInterface(IID_IPersistFile, persist.out()), S_OK);
  EXPECT_EQ(image.get(), image2.get());
  EXPECT_NE(image.get(), unknown.get());
  EXPECT_NE(persist.get(), unknown.get());
  EXPECT_NE(persist.get(), image.get());

  // Every interface leads back to the same identity and the same count.
  for (IUnknown* from : {image.get(), persist.get()}) {
    ComRef<IUnknown> back;
    ASSERT_EQ(from->QueryInterface(IID_IUnknown, back.out()), S_OK);
    EXPECT_EQ(back.get(), unknown.get());
  }
  const ULONG refs = testutil::CurrentRefs(unknown.get());
  EXPECT_EQ(testutil::CurrentRefs(image.get()), refs);
  EXPECT_EQ(testutil::CurrentRefs(persist.get()), refs);

  for (const IID* refused : {&IID_IClassFactory, &IID_IPersist, &IID_IMarshal, &IID_IStream}) {
    void* object = kGarbage;
    EXPECT_EQ(persist->QueryInterface(*refused, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(image->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(testutil::CurrentRefs(unknown.get()), refs);
}

TEST(QuorrelIdentity, LockCountFollowsLivingObjects) {
  const LONG before = LockCount();
  {
    ComRef<IPersistFile> a, b;
    ASSERT_EQ(NewQuorrel(&a, IID_IPersistFile), S_OK);
    EXPECT_EQ(LockCount(), before + 1);
    ASSERT_EQ(NewQuorrel(&b, IID_IPersistFile), S_OK);
    EXPECT_EQ(LockCount(), before + 2);
    ComRef<IExtractImage> extra;
    ASSERT_EQ(a->QueryInterface(IID_IExtractImage, extra.out()), S_OK);
    a.reset();
    EXPECT_EQ(LockCount(), before + 2) << "the object lives on through IExtractImage";
    extra.reset();
    EXPECT_EQ(LockCount(), before + 1);
  }
  EXPECT_EQ(LockCount(), before);
  void* object = kGarbage;
  EXPECT_EQ(tamsorel::CreateQuorrel(nullptr, IID_IClassFactory, &object), E_NOINTERFACE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(tamsorel::CreateQuorrel(nullptr, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(LockCount(), before);
}

TEST(QuorrelAggregation, InnerUnknownAndDelegatingInterfaces) {
  CountingOuter outer;
  const LONG before = LockCount();
  ASSERT_EQ(tamsorel::CreateQuorrel(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner)), S_OK);
  ASSERT_NE(outer.inner, nullptr);
  EXPECT_EQ(outer.refs, 1) << "creating the aggregate takes no reference on the outer object";
  EXPECT_EQ(LockCount(), before + 1);

  // The inner unknown has its own count.
  EXPECT_EQ(outer.inner->AddRef(), 2u);
  EXPECT_EQ(outer.inner->Release(), 1u);
  ComRef<IUnknown> innerAgain;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, innerAgain.out()), S_OK);
  EXPECT_EQ(innerAgain.get(), outer.inner) << "IUnknown of the inner unknown is the inner unknown";
  innerAgain.reset();

  // Interfaces of the contained object: references go to the outer object.
  IExtractImage2* image = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IExtractImage2, reinterpret_cast<void**>(&image)), S_OK);
  EXPECT_EQ(outer.refs, 2);
  EXPECT_EQ(image->AddRef(), 3u);
  EXPECT_EQ(outer.refs, 3);
  image->Release();
  EXPECT_EQ(outer.refs, 2);
  EXPECT_EQ(outer.inner->AddRef(), 2u) << "the inner count did not move with the outer one";
  outer.inner->Release();

  // QueryInterface on a contained interface is the outer object's.
  const int queriesBefore = outer.queries;
  ComRef<IUnknown> identity;
  ASSERT_EQ(image->QueryInterface(IID_IUnknown, identity.out()), S_OK);
  EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer));
  EXPECT_EQ(outer.queries, queriesBefore + 1);
  identity.reset();
  ComRef<IPersistFile> persist;
  ASSERT_EQ(image->QueryInterface(IID_IPersistFile, persist.out()), S_OK) << "reached through the outer object";
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(persist->QueryInterface(IID_IDispatch, dispatch.out()), S_OK);
  void* refused = kGarbage;
  EXPECT_EQ(persist->QueryInterface(IID_IPersist, &refused), E_NOINTERFACE);
  EXPECT_EQ(refused, nullptr);

  // The contained object works as the plain one does.
  EXPECT_EQ(persist->Load(L"C:\\sprites\\x.c16", STGM_READ), S_OK);
  WCHAR location[32] = {};
  DWORD priority = 0, flags = 0;
  EXPECT_EQ(image->GetLocation(location, 32, &priority, nullptr, 32, &flags), S_OK);
  EXPECT_STREQ(location, L"C:\\sprites\\x.c16");

  persist.reset();
  dispatch.reset();
  image->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(LockCount(), before + 1) << "the aggregate lives until the inner count falls to 0";
  EXPECT_EQ(outer.inner->Release(), 0u);
  outer.inner = nullptr;
  EXPECT_EQ(LockCount(), before);
}

// An outer object asks for the inner unknown and nothing else: no aggregate
// is built for another interface.
TEST(QuorrelAggregation, OuterObjectGetsTheInnerUnknownOnly) {
  CountingOuter outer;
  const LONG before = LockCount();
  void* object = kGarbage;
  EXPECT_EQ(tamsorel::CreateQuorrel(&outer, IID_IPersistFile, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(LockCount(), before);
  EXPECT_EQ(outer.refs, 1);
}

// ---------------------------------------------------------------------------
// Failed allocations

struct AllocationCounter {
  static int calls;
  static int failAt;  // 1-based call that fails, 0 for none
  static int live;
  static void* Allocate(size_t bytes) {
    ++calls;
    if (calls == failAt) return nullptr;
    void* block = tamsorel::kProcessHeap.allocate(bytes);
    if (block != nullptr) ++live;
    return block;
  }
  static void Release(void* block) {
    if (block != nullptr) --live;
    tamsorel::kProcessHeap.release(block);
  }
};
int AllocationCounter::calls = 0;
int AllocationCounter::failAt = 0;
int AllocationCounter::live = 0;

class QuorrelAllocation : public ::testing::TestWithParam<std::tuple<bool, int>> {
 protected:
  void SetUp() override {
    AllocationCounter::calls = 0;
    AllocationCounter::live = 0;
    AllocationCounter::failAt = std::get<1>(GetParam());
  }
  const tamsorel::ObjectMemory memory_ = {&AllocationCounter::Allocate, &AllocationCounter::Release};
};

TEST_P(QuorrelAllocation, NoObjectAndNoLockWhenMemoryRunsOut) {
  const bool aggregated = std::get<0>(GetParam());
  CountingOuter outer;
  const LONG before = LockCount();
  void* object = kGarbage;
  tamsorel::QuorrelSeams seams;
  seams.memory = &memory_;
  const HRESULT hr = tamsorel::CreateQuorrelWith(seams, aggregated ? &outer : nullptr, IID_IUnknown, &object);
  if (AllocationCounter::failAt == 0) {
    ASSERT_EQ(hr, S_OK);
    EXPECT_EQ(AllocationCounter::calls, 1) << "one block: the object with its path and scratch buffer";
    EXPECT_EQ(LockCount(), before + 1);
    static_cast<IUnknown*>(object)->Release();
  } else {
    EXPECT_EQ(hr, E_OUTOFMEMORY);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(AllocationCounter::live, 0) << "every block given back";
  EXPECT_EQ(LockCount(), before);
  EXPECT_EQ(outer.refs, 1);
}

std::string AllocationCaseName(const ::testing::TestParamInfo<std::tuple<bool, int>>& info) {
  static const char* const kWhich[] = {"NoFailure", "ObjectFails"};
  return std::string(std::get<0>(info.param) ? "Aggregated" : "Plain") + kWhich[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(PlainOrAggregated, QuorrelAllocation,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(0, 1)), AllocationCaseName);

// ---------------------------------------------------------------------------
// Path: Load and GetLocation

class QuorrelPath : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(NewQuorrel(&persist_, IID_IPersistFile), S_OK);
    ASSERT_EQ(persist_->QueryInterface(IID_IExtractImage2, image_.out()), S_OK);
  }
  ComRef<IPersistFile> persist_;
  ComRef<IExtractImage2> image_;
};

constexpr WCHAR kSentinel = 0x5A5A;

struct LocationCase {
  const char* name;
  size_t pathLength;  // units of the name given to Load
  DWORD cch;
  HRESULT expected;
  long unitsKept;  // path units in the buffer before the terminator; -1: untouched
};

class GetLocationRules : public QuorrelPath, public ::testing::WithParamInterface<LocationCase> {};

TEST_P(GetLocationRules, CopiesWhatFits) {
  const LocationCase& c = GetParam();
  std::wstring name;
  for (size_t i = 0; i < c.pathLength; ++i) name.push_back(static_cast<WCHAR>(L'a' + i % 26));
  ASSERT_EQ(persist_->Load(name.c_str(), STGM_READ), S_OK);
  std::vector<WCHAR> buffer(400, kSentinel);
  DWORD priority = 0x1234, flags = 0x5678;
  SIZE size = {96, 96};
  EXPECT_EQ(image_->GetLocation(buffer.data(), c.cch, &priority, &size, 32, &flags), c.expected);
  EXPECT_EQ(priority, 0x1234u);
  EXPECT_EQ(flags, 0x5678u);
  if (c.unitsKept < 0) {
    for (WCHAR unit : buffer) ASSERT_EQ(unit, kSentinel);
    return;
  }
  const size_t kept = static_cast<size_t>(c.unitsKept);
  EXPECT_EQ(std::wstring(buffer.data(), kept), name.substr(0, kept));
  EXPECT_EQ(buffer[kept], 0);
  EXPECT_EQ(buffer[kept + 1], kSentinel) << "nothing written past the terminator";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GetLocationRules,
    ::testing::Values(LocationCase{"Fits", 10, 11, S_OK, 10}, LocationCase{"OneShort", 10, 10, E_FAIL, 9},
                      LocationCase{"MuchTooSmall", 10, 3, E_FAIL, 2}, LocationCase{"OneUnit", 10, 1, E_FAIL, 0},
                      LocationCase{"ZeroCount", 10, 0, E_FAIL, -1},
                      LocationCase{"CountAbove2G", 10, 0x80000000u, E_FAIL, -1},
                      LocationCase{"LargestCount", 10, 0x7FFFFFFFu, S_OK, 10},
                      LocationCase{"Exactly259", 259, 260, S_OK, 259},
                      LocationCase{"Exactly259SmallBuffer", 259, 259, E_FAIL, 258}),
    [](const ::testing::TestParamInfo<LocationCase>& info) { return info.param.name; });

TEST_F(QuorrelPath, BeforeLoadThePathIsEmpty) {
  WCHAR buffer[8] = {kSentinel, kSentinel};
  EXPECT_EQ(image_->GetLocation(buffer, 8, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_EQ(buffer[0], 0);
  EXPECT_EQ(buffer[1], kSentinel);
  HBITMAP bitmap = reinterpret_cast<HBITMAP>(kGarbage);
  EXPECT_EQ(image_->Extract(&bitmap), E_FAIL);
  EXPECT_EQ(bitmap, reinterpret_cast<HBITMAP>(kGarbage));
  FILETIME stamp = {0x11111111, 0x22222222};
  EXPECT_EQ(image_->GetDateStamp(&stamp), E_FAIL);
  EXPECT_EQ(stamp.dwLowDateTime, 0x11111111u);
  EXPECT_EQ(stamp.dwHighDateTime, 0x22222222u);
}

TEST_F(QuorrelPath, NullNameKeepsTheEarlierPathAndLaterLoadReplacesIt) {
  ASSERT_EQ(persist_->Load(L"first.s16", 0), S_OK);
  EXPECT_EQ(persist_->Load(nullptr, 0), E_FAIL);
  WCHAR buffer[32];
  ASSERT_EQ(image_->GetLocation(buffer, 32, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_STREQ(buffer, L"first.s16");
  ASSERT_EQ(persist_->Load(L"second.spr", 0), S_OK);
  ASSERT_EQ(image_->GetLocation(buffer, 32, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_STREQ(buffer, L"second.spr");
  ASSERT_EQ(persist_->Load(L"", 0), S_OK);
  ASSERT_EQ(image_->GetLocation(buffer, 32, nullptr, nullptr, 0, nullptr), S_OK);
  EXPECT_STREQ(buffer, L"");
  EXPECT_EQ(image_->GetLocation(nullptr, 32, nullptr, nullptr, 0, nullptr), E_POINTER);
}

TEST_F(QuorrelPath, PathsOf260UnitsOrMoreAreRefusedAndTheLoadedPathStays) {
  // 259 units and a terminator fit; one more unit does not.  The cut that
  // used to happen would also have split the surrogate pair at units
  // 259-260 or changed the extension that decides the kind.
  std::wstring longest(255, L'a');
  longest += L".spr";
  ASSERT_EQ(longest.size(), 259u);
  std::wstring split(258, L'b');
  split += L"\xD83D\xDE00";  // a pair across the last unit that fits
  std::wstring kindChanges(256, L'c');
  kindChanges += L".spr";  // cut after 259 units it would read ".sp"
  const std::wstring tooLong[] = {longest + L"x", split, kindChanges, std::wstring(1000, L'd')};
  const HRESULT kTooLong = HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);

  ASSERT_EQ(persist_->Load(longest.c_str(), STGM_READ), S_OK);
  for (const std::wstring& name : tooLong) {
    SCOPED_TRACE(name.size());
    ASSERT_GE(name.size(), 260u);
    EXPECT_EQ(persist_->Load(name.c_str(), STGM_READ), kTooLong);
    std::vector<WCHAR> buffer(400, kSentinel);
    ASSERT_EQ(image_->GetLocation(buffer.data(), 400, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(std::wstring(buffer.data()), longest);
  }
  // A refused path leaves an object that never loaded one as it was.
  ComRef<IPersistFile> fresh;
  ASSERT_EQ(NewQuorrel(&fresh, IID_IPersistFile), S_OK);
  ComRef<IExtractImage2> freshImage;
  ASSERT_EQ(fresh->QueryInterface(IID_IExtractImage2, freshImage.out()), S_OK);
  EXPECT_EQ(fresh->Load(tooLong[0].c_str(), STGM_READ), kTooLong);
  HBITMAP bitmap = reinterpret_cast<HBITMAP>(kGarbage);
  EXPECT_EQ(freshImage->Extract(&bitmap), E_FAIL);
  EXPECT_EQ(bitmap, reinterpret_cast<HBITMAP>(kGarbage));
}

TEST_F(QuorrelPath, UnsupportedOperationsWriteNothing) {
  CLSID clsid = testutil::kForeignClsid;
  EXPECT_EQ(persist_->GetClassID(&clsid), E_NOTIMPL);
  EXPECT_TRUE(IsEqualCLSID(clsid, testutil::kForeignClsid));
  EXPECT_EQ(persist_->IsDirty(), E_NOTIMPL);
  EXPECT_EQ(persist_->Save(L"x.spr", TRUE), E_NOTIMPL);
  EXPECT_EQ(persist_->SaveCompleted(L"x.spr"), E_NOTIMPL);
  LPOLESTR current = reinterpret_cast<LPOLESTR>(kGarbage);
  EXPECT_EQ(persist_->GetCurFile(&current), E_NOTIMPL);
  EXPECT_EQ(current, reinterpret_cast<LPOLESTR>(kGarbage));
  EXPECT_EQ(image_->Extract(nullptr), E_POINTER);
  EXPECT_EQ(image_->GetDateStamp(nullptr), E_POINTER);
}

// ---------------------------------------------------------------------------
// Date stamp

TEST_F(QuorrelPath, DateStampOfExistingMissingAndLockedFiles) {
  fixtures::TempDir dir;
  const std::wstring path = dir.Write(L"stamp.s16", fixtures::MakeS16(0, 2, 1, {1, 2}));
  ASSERT_FALSE(path.empty());
  // A last-write time of our choosing: 2001-02-03 04:05:06.
  SYSTEMTIME chosen = {2001, 2, 6, 3, 4, 5, 6, 0};
  FILETIME written = {};
  ASSERT_TRUE(SystemTimeToFileTime(&chosen, &written));
  {
    HANDLE file = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
    CloseHandle(file);
  }
  ASSERT_EQ(persist_->Load(path.c_str(), STGM_READ), S_OK);
  FILETIME stamp = {};
  ASSERT_EQ(image_->GetDateStamp(&stamp), S_OK);
  EXPECT_EQ(stamp.dwLowDateTime, written.dwLowDateTime);
  EXPECT_EQ(stamp.dwHighDateTime, written.dwHighDateTime);

  // Another program holds the file open for writing: the stamp cannot be
  // read, and the caller's value stays.
  {
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    FILETIME kept = {7, 8};
    EXPECT_EQ(image_->GetDateStamp(&kept), E_FAIL);
    EXPECT_EQ(kept.dwLowDateTime, 7u);
    EXPECT_EQ(kept.dwHighDateTime, 8u);
    CloseHandle(writer);
  }

  // No handle stays open: the file can be opened exclusively and deleted.
  HANDLE exclusive = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(exclusive, INVALID_HANDLE_VALUE);
  CloseHandle(exclusive);
  ASSERT_TRUE(DeleteFileW(path.c_str()));

  FILETIME kept = {0xAAAA, 0xBBBB};
  EXPECT_EQ(image_->GetDateStamp(&kept), E_FAIL);
  EXPECT_EQ(kept.dwLowDateTime, 0xAAAAu);
  EXPECT_EQ(kept.dwHighDateTime, 0xBBBBu);

  // The null device opens, but has no file times: GetFileTime fails, and
  // that failure is reported with the caller's value untouched.
  ASSERT_EQ(persist_->Load(L"NUL", STGM_READ), S_OK);
  EXPECT_EQ(image_->GetDateStamp(&kept), E_FAIL);
  EXPECT_EQ(kept.dwLowDateTime, 0xAAAAu);
  EXPECT_EQ(kept.dwHighDateTime, 0xBBBBu);
}

// ---------------------------------------------------------------------------
// Automation

TEST(QuorrelDispatch, TypeInfoCountAndNullPointers) {
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(NewQuorrel(&dispatch, IID_IDispatch), S_OK);
  UINT count = 7;
  EXPECT_EQ(dispatch->GetTypeInfoCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_EQ(dispatch->GetTypeInfoCount(nullptr), E_POINTER);
  EXPECT_EQ(dispatch->GetTypeInfo(0, 0, nullptr), E_POINTER);
}

// Registers the type library of a file for the scope and unregisters it.
class TypeLibRegistration {
 public:
  explicit TypeLibRegistration(const std::wstring& file) {
    if (FAILED(LoadTypeLibEx(file.c_str(), REGKIND_NONE, &library_))) return;
    std::wstring path = file;
    result_ = RegisterTypeLib(library_, &path[0], nullptr);
  }
  ~TypeLibRegistration() {
    if (library_ == nullptr) return;
    TLIBATTR* attributes = nullptr;
    if (SUCCEEDED(result_) && SUCCEEDED(library_->GetLibAttr(&attributes))) {
      UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                        attributes->syskind);
      library_->ReleaseTLibAttr(attributes);
    }
    library_->Release();
  }
  TypeLibRegistration(const TypeLibRegistration&) = delete;
  TypeLibRegistration& operator=(const TypeLibRegistration&) = delete;
  HRESULT result() const { return result_; }

 private:
  ITypeLib* library_ = nullptr;
  HRESULT result_ = E_FAIL;
};

// The whole life of the module's type-information cache in this process:
// unregistered, the IDispatch calls fail as LoadRegTypeLib does; once the
// library is registered, the next call loads it and it stays loaded.
TEST(QuorrelDispatch, LoadsTheRegisteredTypeLibraryOnce) {
  constexpr LCID kLcid = 0x0409;
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(NewQuorrel(&dispatch, IID_IDispatch), S_OK);

  ITypeLib* direct = nullptr;
  const HRESULT unregistered = LoadRegTypeLib(testutil::kLibIdTamsorel, 1, 0, kLcid, &direct);
  if (direct != nullptr) direct->Release();
  ASSERT_TRUE(FAILED(unregistered)) << "the type library is registered on this machine already; unregister it";

  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(kGarbage);
  EXPECT_EQ(dispatch->GetTypeInfo(0, kLcid, &info), unregistered);
  EXPECT_EQ(info, nullptr);
  LPOLESTR name = const_cast<LPOLESTR>(L"Release");
  DISPID id = 12345;
  EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &name, 1, kLcid, &id), unregistered);
  EXPECT_EQ(id, 12345);
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  EXPECT_EQ(dispatch->Invoke(1, IID_NULL, kLcid, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr), unregistered);

  TypeLibRegistration registration(fixtures::ProgramDir() + L"\\Tamsorel.dll");
  ASSERT_EQ(registration.result(), S_OK);

  ComRef<ITypeInfo> first, fifth;
  ASSERT_EQ(dispatch->GetTypeInfo(0, kLcid, first.outTyped()), S_OK);
  ASSERT_EQ(dispatch->GetTypeInfo(5, kLcid, fifth.outTyped()), S_OK);
  EXPECT_EQ(first.get(), fifth.get()) << "every index gives the one cached type info";
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(first->GetTypeAttr(&attributes), S_OK);
  EXPECT_TRUE(IsEqualIID(attributes->guid, testutil::kIidQuorrel));
  EXPECT_EQ(attributes->typekind, TKIND_DISPATCH);
  // Stored as 0x11C0; Wine's loader leaves out TYPEFLAG_FOLEAUTOMATION here.
  EXPECT_EQ(attributes->wTypeFlags | TYPEFLAG_FOLEAUTOMATION, 0x11C0);
  const int functions = attributes->cFuncs;
  first->ReleaseTypeAttr(attributes);
  EXPECT_GE(functions, 7) << "the operations of IUnknown and IDispatch";

  // Names: found in the table (exact case) or passed on to the type info.
  for (const wchar_t* text : {L"Release", L"GetTypeInfoCount", L"release", L"NoSuchMember"}) {
    LPOLESTR asked = const_cast<LPOLESTR>(text);
    DISPID ours = 1, theirs = 2;
    const HRESULT expected = first->GetIDsOfNames(&asked, 1, &theirs);
    EXPECT_EQ(dispatch->GetIDsOfNames(IID_NULL, &asked, 1, kLcid, &ours), expected) << text;
    if (SUCCEEDED(expected)) {
      EXPECT_EQ(ours, theirs) << text;
    }
  }

  // Invoke goes to the type info with the object's primary interface.
  const HRESULT invoked = dispatch->Invoke(0x7777, IID_NULL, kLcid, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr);
  EXPECT_EQ(invoked, first->Invoke(dispatch.get(), 0x7777, DISPATCH_METHOD, &none, nullptr, nullptr, nullptr));

  // A second object shares the cache: the same type info, not a new load.
  ComRef<IDispatch> other;
  ASSERT_EQ(NewQuorrel(&other, IID_IDispatch), S_OK);
  ComRef<ITypeInfo> shared;
  ASSERT_EQ(other->GetTypeInfo(0, kLcid, shared.outTyped()), S_OK);
  EXPECT_EQ(shared.get(), first.get());
}

// ---------------------------------------------------------------------------
// The module's type-information cache over a stand-in type info

// A type info whose functions are given by the test.  It counts what the
// cache asks of it and records the last Invoke.
class FakeTypeInfo : public ITypeInfo {
 public:
  struct Function {
    const wchar_t* name;  // null: GetDocumentation fails for it
    MEMBERID memid;
    bool descriptionFails;
  };
  static constexpr DISPID kLookedUp = 4242;
  static constexpr HRESULT kInvokeResult = DISP_E_BADPARAMCOUNT;

  explicit FakeTypeInfo(std::vector<Function> functions) : functions_(std::move(functions)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ITypeInfo)) return E_NOINTERFACE;
    *ppv = static_cast<ITypeInfo*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }

  HRESULT STDMETHODCALLTYPE GetTypeAttr(TYPEATTR** attributes) override {
    ++typeAttrs;
    attributes_ = TYPEATTR{};
    attributes_.typekind = TKIND_DISPATCH;
    attributes_.cFuncs = static_cast<WORD>(functions_.size());
    *attributes = &attributes_;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseTypeAttr(TYPEATTR*) override { --typeAttrs; ++typeAttrReleases; }
  HRESULT STDMETHODCALLTYPE GetFuncDesc(UINT index, FUNCDESC** description) override {
    if (index >= functions_.size() || functions_[index].descriptionFails) return TYPE_E_ELEMENTNOTFOUND;
    ++funcDescs;
    auto* held = new FUNCDESC{};
    held->memid = functions_[index].memid;
    *description = held;
    return S_OK;
  }
  void STDMETHODCALLTYPE ReleaseFuncDesc(FUNCDESC* description) override {
    --funcDescs;
    delete description;
  }
  HRESULT STDMETHODCALLTYPE GetDocumentation(MEMBERID memid, BSTR* name, BSTR* doc, DWORD* context,
                                             BSTR* file) override {
    if (doc != nullptr || context != nullptr || file != nullptr) return E_INVALIDARG;  // the name only
    for (const Function& f : functions_) {
      if (f.memid == memid && f.name != nullptr) {
        *name = SysAllocString(f.name);
        return S_OK;
      }
    }
    return TYPE_E_ELEMENTNOTFOUND;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(LPOLESTR*, UINT cNames, MEMBERID* ids) override {
    ++lookups;
    for (UINT i = 0; i < cNames; ++i) ids[i] = kLookedUp;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(PVOID instance, MEMBERID memid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                   EXCEPINFO* exception, UINT* argErr) override {
    invokedOn = instance;
    invokedMember = memid;
    invokedFlags = flags;
    invokedWith = {params, result, exception, argErr};
    return kInvokeResult;
  }

  HRESULT STDMETHODCALLTYPE GetTypeComp(ITypeComp**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetVarDesc(UINT, VARDESC**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetNames(MEMBERID, BSTR*, UINT, UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRefTypeOfImplType(UINT, HREFTYPE*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetImplTypeFlags(UINT, INT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetDllEntry(MEMBERID, INVOKEKIND, BSTR*, BSTR*, WORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetRefTypeInfo(HREFTYPE, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AddressOfMember(MEMBERID, INVOKEKIND, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID, PVOID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMops(MEMBERID, BSTR*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetContainingTypeLib(ITypeLib**, UINT*) override { return E_NOTIMPL; }
  void STDMETHODCALLTYPE ReleaseVarDesc(VARDESC*) override {}

  LONG refs = 1;  // the cache's
  int typeAttrs = 0, typeAttrReleases = 0, funcDescs = 0, lookups = 0;
  PVOID invokedOn = nullptr;
  MEMBERID invokedMember = 0;
  WORD invokedFlags = 0;
  std::vector<void*> invokedWith;

 private:
  std::vector<Function> functions_;
  TYPEATTR attributes_ = {};
};

// A cache of the test's own holding a stand-in type info, and objects made
// with it instead of the module's cache.
class TypeInfoCacheTest : public ::testing::Test {
 protected:
  FakeTypeInfo& Install(std::vector<FakeTypeInfo::Function> functions) {
    fake_ = std::make_unique<FakeTypeInfo>(std::move(functions));
    cache_.typeInfo = fake_.get();  // the cache's reference: FakeTypeInfo starts with one
    return *fake_;
  }
  void TearDown() override { cache_.Clear(); }
  template <class T>
  HRESULT NewBound(ComRef<T>* out, const IID& iid, IUnknown* outer = nullptr) {
    tamsorel::QuorrelSeams seams;
    seams.typeInfo = &cache_;
    return tamsorel::CreateQuorrelWith(seams, outer, iid, out->out());
  }
  static DISPID IdOf(IDispatch* dispatch, std::vector<const wchar_t*> names) {
    std::vector<DISPID> ids(names.size(), 1);
    const HRESULT hr = dispatch->GetIDsOfNames(IID_NULL, const_cast<LPOLESTR*>(names.data()),
                                               static_cast<UINT>(names.size()), 0x0409, ids.data());
    return hr == S_OK ? ids[0] : 0x7FFFFFFF;
  }

  tamsorel::QuorrelTypeInfoCache cache_{&testutil::kIidQuorrel, &testutil::kLibIdTamsorel, 1, 0};

 private:
  std::unique_ptr<FakeTypeInfo> fake_;
};

TEST_F(TypeInfoCacheTest, NamesAreLookedUpLastEntryFirstWithTheirExactCase) {
  FakeTypeInfo& fake = Install({{L"Alpha", 10, false},
                                {L"Beta", 11, false},
                                {L"Gamma", 12, true},  // no description: no entry
                                {L"Alpha", 13, false},
                                {nullptr, 14, false}});  // no name: no entry
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(NewBound(&dispatch, IID_IDispatch), S_OK);

  struct Case {
    std::vector<const wchar_t*> names;
    DISPID expected;
    int lookups;  // calls passed on to the type info
  } const cases[] = {
      {{L"Alpha"}, 13, 0},
      {{L"Beta"}, 11, 0},
      {{L"alpha"}, FakeTypeInfo::kLookedUp, 1},
      {{L"BETA"}, FakeTypeInfo::kLookedUp, 1},
      {{L"Alph"}, FakeTypeInfo::kLookedUp, 1},
      {{L"Alphas"}, FakeTypeInfo::kLookedUp, 1},
      {{L"Gamma"}, FakeTypeInfo::kLookedUp, 1},
      {{L""}, FakeTypeInfo::kLookedUp, 1},
      {{L"Alpha", L"Beta"}, FakeTypeInfo::kLookedUp, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "first name of " << c.names.size() << ": "
                                    << std::string(c.names[0], c.names[0] + lstrlenW(c.names[0])));
    const int before = fake.lookups;
    EXPECT_EQ(IdOf(dispatch.get(), c.names), c.expected);
    EXPECT_EQ(fake.lookups - before, c.lookups);
  }
  EXPECT_EQ(fake.typeAttrReleases, 1) << "the table is built once";
  EXPECT_EQ(fake.typeAttrs, 0) << "every TYPEATTR released";
  EXPECT_EQ(fake.funcDescs, 0) << "every FUNCDESC released";

  ComRef<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(3, 0x0409, info.outTyped()), S_OK);
  EXPECT_EQ(info.get(), static_cast<ITypeInfo*>(&fake));
  EXPECT_EQ(fake.refs, 2);
  info.reset();
  dispatch.reset();
  cache_.Clear();
  EXPECT_EQ(fake.refs, 0) << "clearing the cache (as the module does when it goes) releases the type info";
  EXPECT_EQ(cache_.typeInfo.load(), nullptr);
  EXPECT_EQ(cache_.names.load(), nullptr);
}

TEST_F(TypeInfoCacheTest, WithoutFunctionsTheTableIsTriedAgainOnEveryCall) {
  FakeTypeInfo& fake = Install({});
  ComRef<IDispatch> dispatch;
  ASSERT_EQ(NewBound(&dispatch, IID_IDispatch), S_OK);
  for (int call = 1; call <= 3; ++call) {
    EXPECT_EQ(IdOf(dispatch.get(), {L"Anything"}), FakeTypeInfo::kLookedUp);
    EXPECT_EQ(fake.typeAttrReleases, call);
  }
  ComRef<ITypeInfo> info;
  ASSERT_EQ(dispatch->GetTypeInfo(0, 0x0409, info.outTyped()), S_OK);
  EXPECT_EQ(fake.typeAttrReleases, 3) << "GetTypeInfo needs the type info only";
  EXPECT_EQ(cache_.names.load(), nullptr);
}

// Invoke reaches the type info with the object's IQuorrel pointer as the
// instance, plain or inside an aggregate, and every argument unchanged.
TEST_F(TypeInfoCacheTest, InvokePassesThePrimaryInterface) {
  FakeTypeInfo& fake = Install({{L"Alpha", 10, false}});
  CountingOuter outer;
  ComRef<IUnknown> inner;
  ASSERT_EQ(NewBound(&inner, IID_IUnknown, &outer), S_OK);
  outer.inner = inner.get();
  ComRef<IDispatch> aggregated;
  ASSERT_EQ(outer.inner->QueryInterface(testutil::kIidQuorrel, aggregated.out()), S_OK);
  ComRef<IDispatch> plain;
  ASSERT_EQ(NewBound(&plain, testutil::kIidQuorrel), S_OK);

  for (IDispatch* dispatch : {plain.get(), aggregated.get()}) {
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    VARIANT result;
    VariantInit(&result);
    EXCEPINFO exception = {};
    UINT argErr = 0;
    EXPECT_EQ(dispatch->Invoke(10, IID_NULL, 0x0409, DISPATCH_PROPERTYGET, &params, &result, &exception, &argErr),
              FakeTypeInfo::kInvokeResult);
    EXPECT_EQ(fake.invokedOn, static_cast<void*>(dispatch));
    EXPECT_EQ(fake.invokedMember, 10);
    EXPECT_EQ(fake.invokedFlags, DISPATCH_PROPERTYGET);
    EXPECT_EQ(fake.invokedWith, (std::vector<void*>{&params, &result, &exception, &argErr}));
  }
  aggregated.reset();
  outer.inner = nullptr;
  EXPECT_EQ(testutil::CurrentRefs(inner.get()), 1u) << "only the test's reference on the inner unknown";
}

}  // namespace
