// The module records, the class-object lookup and the class factory, tested
// on the records of this test program (the server's static library).
#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "com_test_util.h"
#include "extractor/quorrel.h"
#include "server/atl_exception.h"
#include "server/class_factory.h"
#include "server/module.h"

using testutil::kClsidQuorrel;
using testutil::kForeignClsid;
using tamsorel::ComRef;

namespace {

LONG LockCount() { return tamsorel::g_serverModule->ModuleLockCount(); }

void* const kGarbage = reinterpret_cast<void*>(static_cast<UINT_PTR>(0xDEADBEEF));

// ---------------------------------------------------------------------------
// Class-object lookup

struct LookupCase {
  const char* name;
  const CLSID* clsid;
  const IID* iid;
  HRESULT expected;
};

class ClassObjectLookup : public ::testing::TestWithParam<LookupCase> {};

TEST_P(ClassObjectLookup, AnswersAndLeavesNoLockBehind) {
  const LookupCase& c = GetParam();
  const LONG before = LockCount();
  void* object = kGarbage;
  EXPECT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, *c.clsid, *c.iid, &object), c.expected);
  if (c.expected == S_OK) {
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(LockCount(), before + 1) << "a client reference on the class object locks the module";
    static_cast<IUnknown*>(object)->Release();
  } else {
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(LockCount(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ClassObjectLookup,
    ::testing::Values(LookupCase{"ClassFactory", &kClsidQuorrel, &IID_IClassFactory, S_OK},
                      LookupCase{"Unknown", &kClsidQuorrel, &IID_IUnknown, S_OK},
                      LookupCase{"Dispatch", &kClsidQuorrel, &IID_IDispatch, E_NOINTERFACE},
                      LookupCase{"PersistFile", &kClsidQuorrel, &IID_IPersistFile, E_NOINTERFACE},
                      LookupCase{"ForeignClass", &kForeignClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
                      LookupCase{"InterfaceIdAsClass", &testutil::kIidQuorrel, &IID_IUnknown,
                                 CLASS_E_CLASSNOTAVAILABLE}),
    [](const ::testing::TestParamInfo<LookupCase>& info) { return info.param.name; });

TEST(ClassObjectLookupErrors, NullOutPointerAndMissingTable) {
  EXPECT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kClsidQuorrel, IID_IClassFactory, nullptr),
            E_POINTER);
  EXPECT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kForeignClsid, IID_IClassFactory, nullptr),
            E_POINTER);
  void* object = kGarbage;
  EXPECT_EQ(tamsorel::GetClassObjectFromTable(nullptr, kClsidQuorrel, IID_IClassFactory, &object), E_INVALIDARG);
}

TEST(ClassObjectLookupErrors, CachedObjectIsHandedOutEveryTime) {
  ComRef<IClassFactory> first, second;
  ASSERT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kClsidQuorrel, IID_IClassFactory, first.out()),
            S_OK);
  void* refused = kGarbage;
  EXPECT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kClsidQuorrel, IID_IPersistFile, &refused),
            E_NOINTERFACE);
  ASSERT_EQ(tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kClsidQuorrel, IID_IUnknown, second.out()),
            S_OK);
  EXPECT_EQ(static_cast<IUnknown*>(first.get()), static_cast<IUnknown*>(second.get()));
}

// A private class table over a copy of the Quorrel entry whose creator is
// counted: shows how often a class object is really built.
std::atomic<int> creations{0};

HRESULT CountingCreator(tamsorel::InstanceCreator createInstance, REFIID riid, void** ppv) {
  ++creations;
  // Give other threads every chance to pass the unlocked test meanwhile.
  Sleep(5);
  return tamsorel::CClassFactory::Create(createInstance, riid, ppv);
}

HRESULT FailingCreator(tamsorel::InstanceCreator, REFIID, void** ppv) {
  ++creations;
  *ppv = nullptr;
  return E_OUTOFMEMORY;
}

tamsorel::ClassEntry CountedEntry(tamsorel::ClassObjectCreator creator) {
  return tamsorel::ClassEntry{&kClsidQuorrel, nullptr, creator, &tamsorel::CreateQuorrel, nullptr, nullptr, nullptr};
}

TEST(ClassTable, ConcurrentRequestsReceiveOneObject) {
  creations = 0;
  tamsorel::ClassEntry entry = CountedEntry(&CountingCreator);
  tamsorel::ClassEntry* entries[] = {nullptr, &entry};
  const LONG before = LockCount();
  {
    tamsorel::CClassTable table(GetModuleHandleW(nullptr), entries, entries + 2);
    constexpr int kThreads = 8;
    std::vector<IUnknown*> objects(kThreads, nullptr);
    std::vector<HRESULT> results(kThreads, E_FAIL);
    HANDLE start = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(start, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
      threads.emplace_back([&, i] {
        WaitForSingleObject(start, INFINITE);
        results[i] = table.GetClassObject(kClsidQuorrel, IID_IUnknown, reinterpret_cast<void**>(&objects[i]));
      });
    }
    SetEvent(start);
    for (auto& t : threads) t.join();
    CloseHandle(start);
    EXPECT_EQ(creations.load(), 1);
    for (int i = 0; i < kThreads; ++i) {
      EXPECT_EQ(results[i], S_OK);
      EXPECT_EQ(objects[i], objects[0]);
    }
    EXPECT_EQ(entry.classObject.load(), objects[0]);
    EXPECT_EQ(LockCount(), before + 1) << "clients hold the class object: one module lock";
    for (IUnknown* o : objects)
      if (o != nullptr) o->Release();
    EXPECT_EQ(LockCount(), before) << "only the cache holds it now";
  }
  EXPECT_EQ(entry.classObject.load(), nullptr) << "the table releases its cached object at teardown";
  EXPECT_EQ(LockCount(), before);
}

TEST(ClassTable, ForeignClassCreatesNothingAndFailedCreationIsRetried) {
  creations = 0;
  tamsorel::ClassEntry entry = CountedEntry(&FailingCreator);
  tamsorel::ClassEntry* entries[] = {&entry};
  tamsorel::CClassTable table(GetModuleHandleW(nullptr), entries, entries + 1);
  void* object = kGarbage;
  EXPECT_EQ(table.GetClassObject(kForeignClsid, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(creations.load(), 0);
  object = kGarbage;
  EXPECT_EQ(table.GetClassObject(kClsidQuorrel, IID_IUnknown, &object), E_OUTOFMEMORY);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(table.GetClassObject(kClsidQuorrel, IID_IUnknown, &object), E_OUTOFMEMORY);
  EXPECT_EQ(creations.load(), 2) << "a failed creation leaves nothing cached";
  EXPECT_EQ(entry.classObject.load(), nullptr);
}

TEST(ClassTable, EntriesWithoutCreatorAreSkipped) {
  tamsorel::ClassEntry entry = CountedEntry(nullptr);
  tamsorel::ClassEntry* entries[] = {&entry};
  tamsorel::CClassTable table(GetModuleHandleW(nullptr), entries, entries + 1);
  void* object = kGarbage;
  EXPECT_EQ(table.GetClassObject(kClsidQuorrel, IID_IUnknown, &object), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(object, nullptr);
}

// ---------------------------------------------------------------------------
// Class factory

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(
        tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, kClsidQuorrel, IID_IClassFactory, factory_.out()),
        S_OK);
  }
  ComRef<IClassFactory> factory_;
};

TEST_F(ClassFactoryTest, ClientReferencesHoldOneModuleLock) {
  const LONG withOneClient = LockCount();
  ComRef<IClassFactory> second;
  ASSERT_EQ(factory_->QueryInterface(IID_IClassFactory, second.out()), S_OK);
  EXPECT_EQ(LockCount(), withOneClient) << "the third reference takes no further lock";
  second.reset();
  EXPECT_EQ(LockCount(), withOneClient);
  factory_.reset();
  EXPECT_EQ(LockCount(), withOneClient - 1) << "back to the cached reference only";
}

TEST_F(ClassFactoryTest, QueryInterfaceForOtherInterfacesLeavesCountUnchanged) {
  const ULONG refs = testutil::CurrentRefs(factory_.get());
  const IID* refused[] = {&IID_IDispatch, &IID_IPersistFile, &IID_IClassFactory2};
  for (const IID* iid : refused) {
    void* object = kGarbage;
    EXPECT_EQ(factory_->QueryInterface(*iid, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(factory_->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(testutil::CurrentRefs(factory_.get()), refs);
  ComRef<IUnknown> unknown;
  ASSERT_EQ(factory_->QueryInterface(IID_IUnknown, unknown.out()), S_OK);
  EXPECT_EQ(unknown.get(), static_cast<IUnknown*>(factory_.get()));
}

TEST_F(ClassFactoryTest, LockServerMovesTheModuleCount) {
  const LONG before = LockCount();
  EXPECT_EQ(factory_->LockServer(TRUE), S_OK);
  EXPECT_EQ(LockCount(), before + 1);
  EXPECT_EQ(factory_->LockServer(TRUE), S_OK);
  EXPECT_EQ(LockCount(), before + 2);
  EXPECT_EQ(factory_->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory_->LockServer(FALSE), S_OK);
  EXPECT_EQ(LockCount(), before);
}

// A minimal outer object for aggregation.
class DummyOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown)) return E_NOINTERFACE;
    *ppv = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  LONG refs = 1;
};

struct CreateCase {
  const char* name;
  bool withOuter;
  const IID* iid;
  bool nullOut;
  HRESULT expected;
};

class CreateInstanceRules : public ClassFactoryTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(CreateInstanceRules, AggregationAndOutPointer) {
  const CreateCase& c = GetParam();
  DummyOuter outer;
  const LONG before = LockCount();
  void* object = kGarbage;
  const HRESULT hr = factory_->CreateInstance(c.withOuter ? &outer : nullptr, *c.iid, c.nullOut ? nullptr : &object);
  EXPECT_EQ(hr, c.expected);
  if (hr == S_OK) {
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(LockCount(), before + 1) << "a living object holds one module lock";
    static_cast<IUnknown*>(object)->Release();
  } else if (!c.nullOut) {
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(LockCount(), before) << "no object and no lock remain";
  EXPECT_EQ(outer.refs, 1) << "the outer object is not referenced by the aggregate";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CreateInstanceRules,
    ::testing::Values(CreateCase{"PlainPersistFile", false, &IID_IPersistFile, false, S_OK},
                      CreateCase{"PlainUnknown", false, &IID_IUnknown, false, S_OK},
                      CreateCase{"PlainExtractImage2", false, &IID_IExtractImage2, false, S_OK},
                      CreateCase{"PlainUnsupported", false, &IID_IClassFactory, false, E_NOINTERFACE},
                      CreateCase{"PlainPersist", false, &IID_IPersist, false, E_NOINTERFACE},
                      CreateCase{"AggregatedUnknown", true, &IID_IUnknown, false, S_OK},
                      CreateCase{"AggregatedPersistFile", true, &IID_IPersistFile, false, CLASS_E_NOAGGREGATION},
                      CreateCase{"AggregatedUnsupported", true, &IID_IClassFactory, false, CLASS_E_NOAGGREGATION},
                      CreateCase{"NullOutPlain", false, &IID_IUnknown, true, E_POINTER},
                      CreateCase{"NullOutRefusedAggregation", true, &IID_IPersistFile, true, E_POINTER}),
    [](const ::testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

// ---------------------------------------------------------------------------
// Termination callbacks and the shared helpers

std::vector<DWORD_PTR>* callOrder = nullptr;

void CALLBACK RecordCall(DWORD_PTR argument) { callOrder->push_back(argument); }

TEST(ServerModule, TerminationCallbacksRunNewestFirst) {
  std::vector<DWORD_PTR> order;
  callOrder = &order;
  tamsorel::CServerModule* const real = tamsorel::g_serverModule;
  {
    tamsorel::CServerModule module(nullptr);
    EXPECT_EQ(tamsorel::g_serverModule, &module);
    EXPECT_EQ(module.ModuleLockCount(), 0);
    for (DWORD_PTR i = 1; i <= 4; ++i)
      EXPECT_EQ(tamsorel::AddTerminationCallback(&module, &RecordCall, i), S_OK);
    EXPECT_TRUE(order.empty());
  }
  tamsorel::g_serverModule = real;
  EXPECT_EQ(order, (std::vector<DWORD_PTR>{4, 3, 2, 1}));
  EXPECT_EQ(tamsorel::AddTerminationCallback(nullptr, &RecordCall, 9), E_INVALIDARG);
  callOrder = nullptr;
}

TEST(ServerModule, LockModuleReturnsTheNewCount) {
  const LONG before = LockCount();
  EXPECT_EQ(tamsorel::g_serverModule->LockModule(), before + 1);
  EXPECT_EQ(tamsorel::g_serverModule->LockModule(), before + 2);
  EXPECT_EQ(tamsorel::g_serverModule->UnlockModule(), before + 1);
  EXPECT_EQ(tamsorel::g_serverModule->UnlockModule(), before);
}

TEST(ServerModule, RecordsAreLiveAndInitialised) {
  EXPECT_FALSE(tamsorel::initFailed);
  EXPECT_EQ(tamsorel::g_serverModule, &tamsorel::g_server);
  EXPECT_EQ(tamsorel::g_moduleInstance.ModuleHandle(), GetModuleHandleW(nullptr));
  EXPECT_EQ(tamsorel::g_classTable.TypeLibModule(), GetModuleHandleW(nullptr));
  EXPECT_EQ(tamsorel::g_classTable.end() - tamsorel::g_classTable.begin(), 3);  // thumbnail, properties, preview
}

TEST(SharedHelpers, ThrowHResultRaisesAtlException) {
  try {
    tamsorel::ThrowHResult(E_ACCESSDENIED);
    FAIL() << "no exception";
  } catch (const ATL::CAtlException& e) {
    EXPECT_EQ(static_cast<HRESULT>(e), E_ACCESSDENIED);
  }
}

TEST(SharedHelpers, TryInitCriticalSection) {
  CRITICAL_SECTION section;
  ASSERT_EQ(tamsorel::TryInitCriticalSection(&section), S_OK);
  EnterCriticalSection(&section);
  EnterCriticalSection(&section);  // re-entry by the owner
  LeaveCriticalSection(&section);
  LeaveCriticalSection(&section);
  DeleteCriticalSection(&section);
}

TEST(SharedHelpers, ConversionCodePage) {
  // Every NT 5 or later system widens with the thread's ANSI code page.
  EXPECT_EQ(tamsorel::GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
  EXPECT_EQ(tamsorel::GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
}

// The rule of older systems: the thread locale's default ANSI code page, or
// GetACP() for a locale that has none (its number reads as 0).
TEST(SharedHelpers, ThreadLocaleCodePage) {
  const LCID previous = GetThreadLocale();
  struct {
    LANGID language;
    UINT codePage;
  } const cases[] = {{MAKELANGID(LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN), 932},
                     {MAKELANGID(LANG_RUSSIAN, SUBLANG_RUSSIAN_RUSSIA), 1251},
                     {MAKELANGID(LANG_GREEK, SUBLANG_GREEK_GREECE), 1253},
                     {MAKELANGID(LANG_HINDI, SUBLANG_HINDI_INDIA), GetACP()}};
  for (const auto& c : cases) {
    ASSERT_TRUE(SetThreadLocale(MAKELCID(c.language, SORT_DEFAULT))) << std::hex << c.language;
    EXPECT_EQ(tamsorel::ThreadLocaleCodePage(), c.codePage) << std::hex << c.language;
  }
  SetThreadLocale(previous);

  struct {
    const char* text;
    UINT value;
  } const texts[] = {{"1252", 1252}, {"65001", 65001}, {"0", 0}, {"", 0}, {"1:", 20}};
  for (const auto& t : texts) EXPECT_EQ(tamsorel::CodePageFromLocaleText(t.text), t.value) << t.text;
}

// ---------------------------------------------------------------------------
// Map-driven QueryInterface

// An object with three interface pointers, each counting its own AddRefs.
struct ThreeFaces {
  struct Face : IUnknown {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++addRefs); }
    ULONG STDMETHODCALLTYPE Release() override { return 0; }
    LONG addRefs = 0;
  };
  Face first, second, third;
};

DWORD_PTR OffsetOf(ThreeFaces::Face ThreeFaces::*face) {
  static ThreeFaces probe;
  return static_cast<DWORD_PTR>(reinterpret_cast<BYTE*>(&(probe.*face)) - reinterpret_cast<BYTE*>(&probe));
}
const DWORD_PTR kFirst = OffsetOf(&ThreeFaces::first);
const DWORD_PTR kSecond = OffsetOf(&ThreeFaces::second);
const DWORD_PTR kThird = OffsetOf(&ThreeFaces::third);

// The first row names IPersistFile, yet answers IID_IUnknown.  IPersist has
// two rows: the first one answers.  IStream follows the end row: never seen.
const tamsorel::InterfaceMapEntry kThreeFacesMap[] = {
    {&IID_IPersistFile, kFirst, 1}, {&IID_IPersist, kSecond, 1}, {&IID_IPersist, kThird, 1},
    {&IID_IDispatch, kThird, 1},    {nullptr, 0, 0},             {&IID_IStream, kSecond, 1},
};

TEST(QueryInterfaceFromMap, RowsAnswerInOrderUntilTheEndRow) {
  struct Case {
    const IID* iid;
    HRESULT expected;
    DWORD_PTR offset;  // of the interface handed out
  } const cases[] = {
      {&IID_IUnknown, S_OK, kFirst},       {&IID_IPersistFile, S_OK, kFirst}, {&IID_IPersist, S_OK, kSecond},
      {&IID_IDispatch, S_OK, kThird},      {&IID_IStream, E_NOINTERFACE, 0},  {&IID_IClassFactory, E_NOINTERFACE, 0},
  };
  for (const Case& c : cases) {
    ThreeFaces object;
    void* answer = kGarbage;
    EXPECT_EQ(tamsorel::QueryInterfaceFromMap(&object, kThreeFacesMap, *c.iid, &answer), c.expected);
    const LONG total = object.first.addRefs + object.second.addRefs + object.third.addRefs;
    if (c.expected == S_OK) {
      EXPECT_EQ(answer, reinterpret_cast<BYTE*>(&object) + c.offset);
      EXPECT_EQ(static_cast<ThreeFaces::Face*>(answer)->addRefs, 1) << "AddRef through the pointer handed out";
      EXPECT_EQ(total, 1);
    } else {
      EXPECT_EQ(answer, nullptr);
      EXPECT_EQ(total, 0);
    }
  }
}

TEST(QueryInterfaceFromMap, ArgumentChecksComeFirst) {
  ThreeFaces object;
  void* answer = kGarbage;
  EXPECT_EQ(tamsorel::QueryInterfaceFromMap(nullptr, kThreeFacesMap, IID_IUnknown, &answer), E_INVALIDARG);
  EXPECT_EQ(tamsorel::QueryInterfaceFromMap(&object, nullptr, IID_IUnknown, &answer), E_INVALIDARG);
  EXPECT_EQ(answer, kGarbage) << "nothing written before the arguments are known good";
  EXPECT_EQ(tamsorel::QueryInterfaceFromMap(nullptr, kThreeFacesMap, IID_IUnknown, nullptr), E_INVALIDARG);
  EXPECT_EQ(tamsorel::QueryInterfaceFromMap(&object, kThreeFacesMap, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(object.first.addRefs + object.second.addRefs + object.third.addRefs, 0);
}

// The class-object creator on its own: the object it hands out carries the
// caller's one reference and no module lock; a refused interface destroys it.
TEST(ClassFactoryCreator, FirstReferenceAndRefusedInterface) {
  const LONG before = LockCount();
  IClassFactory* factory = nullptr;
  ASSERT_EQ(tamsorel::CClassFactory::Create(&tamsorel::CreateQuorrel, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)),
            S_OK);
  EXPECT_EQ(LockCount(), before) << "one reference: only the owner's";
  EXPECT_EQ(factory->AddRef(), 2u);
  EXPECT_EQ(LockCount(), before + 1);
  EXPECT_EQ(factory->Release(), 1u);
  EXPECT_EQ(LockCount(), before);
  EXPECT_EQ(factory->Release(), 0u);
  EXPECT_EQ(LockCount(), before);

  for (const IID* refused : {&IID_IDispatch, &IID_IClassFactory2}) {
    void* object = kGarbage;
    EXPECT_EQ(tamsorel::CClassFactory::Create(&tamsorel::CreateQuorrel, *refused, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(tamsorel::CClassFactory::Create(&tamsorel::CreateQuorrel, IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(LockCount(), before);
}

}  // namespace
