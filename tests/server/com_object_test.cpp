// The object template every class is written with, the class object and the
// class table, tested in this program (the classes and the server linked in)
// on a probe class of the test's own and on the table's classes.
#include <windows.h>
#include <objbase.h>
#include <oleidl.h>

#include <new>
#include <stdexcept>

#include <gtest/gtest.h>

#include "com/class_factory.h"
#include "com/module.h"
#include "com/object.h"
#include "com/script_resource.h"
#include "com_test_util.h"
#include "server/class_table.h"

using tamsorel::ComRef;
using testutil::CountingOuter;
using testutil::kClsidQuorrel;
using testutil::kForeignClsid;

namespace {

LONG LockCount() { return tamsorel::ModuleLockCount(); }

void* const kGarbage = reinterpret_cast<void*>(static_cast<UINT_PTR>(0xDEADBEEF));

// ---------------------------------------------------------------------------
// The template, on a probe class

struct ProbeLife {
  int built = 0, destroyed = 0;
};

// Two interfaces; IPersist answers under two IIDs (IPersistFile's IID stands
// for "an older IID, same pointer"), IOleWindow under its own.
class Probe final : public tamsorel::ComObject<Probe, IPersist, IOleWindow> {
 public:
  static constexpr bool kAggregatable = true;
  static const tamsorel::InterfaceRow<Probe> kInterfaces[];

  Probe(ProbeLife* life, bool throwInConstructor) : life_(life) {
    if (throwInConstructor) throw std::bad_alloc();
    ++life_->built;
  }
  ~Probe() { ++life_->destroyed; }

  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* id) noexcept override {
    *id = kClsidQuorrel;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetWindow(HWND*) noexcept override { return E_FAIL; }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) noexcept override {
    // A method that meets an exception gives an HRESULT.
    return tamsorel::Guarded([]() -> HRESULT { throw std::length_error("too long"); });
  }

 private:
  ProbeLife* life_;
};

const tamsorel::InterfaceRow<Probe> Probe::kInterfaces[] = {
    tamsorel::Row<Probe, IPersist>(IID_IPersist),
    tamsorel::Row<Probe, IOleWindow>(IID_IOleWindow),
    tamsorel::Row<Probe, IPersist>(IID_IPersistFile),
    {},
};

// A class that refuses aggregation.
class LoneProbe final : public tamsorel::ComObject<LoneProbe, IPersist> {
 public:
  static const tamsorel::InterfaceRow<LoneProbe> kInterfaces[];
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID*) noexcept override { return E_NOTIMPL; }
};
const tamsorel::InterfaceRow<LoneProbe> LoneProbe::kInterfaces[] = {
    tamsorel::Row<LoneProbe, IPersist>(IID_IPersist),
    {},
};

// Memory that counts its blocks and can refuse one.
struct CountedMemory {
  static int live;
  static bool refuse;
  static void* Allocate(size_t bytes) {
    if (refuse) return nullptr;
    ++live;
    return tamsorel::kProcessHeap.allocate(bytes);
  }
  static void Release(void* block) {
    --live;
    tamsorel::kProcessHeap.release(block);
  }
};
int CountedMemory::live = 0;
bool CountedMemory::refuse = false;
const tamsorel::ObjectMemory kCounted = {&CountedMemory::Allocate, &CountedMemory::Release};

TEST(ObjectTemplate, TableAnswersInOrderAndIUnknownIsTheFirstRow) {
  ProbeLife life;
  ComRef<IOleWindow> window;
  ASSERT_EQ(Probe::Create(nullptr, IID_IOleWindow, window.out(), &life, false), S_OK);
  ComRef<IUnknown> unknown, persist, persistFile;
  ASSERT_EQ(window->QueryInterface(IID_IUnknown, unknown.out()), S_OK);
  ASSERT_EQ(window->QueryInterface(IID_IPersist, persist.out()), S_OK);
  ASSERT_EQ(window->QueryInterface(IID_IPersistFile, persistFile.out()), S_OK);
  EXPECT_EQ(unknown.get(), persist.get()) << "IID_IUnknown answered by the first row";
  EXPECT_EQ(persistFile.get(), persist.get()) << "two rows, one pointer";
  EXPECT_NE(static_cast<IUnknown*>(window.get()), persist.get());
  for (const IID* refused : {&IID_IDispatch, &IID_IClassFactory, &IID_IStream}) {
    void* object = kGarbage;
    EXPECT_EQ(window->QueryInterface(*refused, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(window->QueryInterface(IID_IUnknown, nullptr), E_POINTER);
  EXPECT_EQ(testutil::CurrentRefs(window.get()), 4u) << "one reference per pointer held, none left by refusals";
  EXPECT_EQ(window->ContextSensitiveHelp(TRUE), E_OUTOFMEMORY) << "Guarded turns the exception into a result";
}

TEST(ObjectTemplate, ObjectLivesWhileReferencedAndHoldsOneModuleLock) {
  ProbeLife life;
  CountedMemory::live = 0;
  const LONG before = LockCount();
  ComRef<IPersist> persist;
  ASSERT_EQ(Probe::CreateIn(kCounted, nullptr, IID_IPersist, persist.out(), &life, false), S_OK);
  EXPECT_EQ(testutil::CurrentRefs(persist.get()), 1u) << "the caller's reference only";
  EXPECT_EQ(LockCount(), before + 1);
  ComRef<IOleWindow> window;
  ASSERT_EQ(persist->QueryInterface(IID_IOleWindow, window.out()), S_OK);
  persist.reset();
  EXPECT_EQ(life.destroyed, 0);
  EXPECT_EQ(LockCount(), before + 1);
  window.reset();
  EXPECT_EQ(life.destroyed, 1);
  EXPECT_EQ(CountedMemory::live, 0) << "the block goes back to the memory it came from";
  EXPECT_EQ(LockCount(), before);
}

TEST(ObjectTemplate, FailedCreationLeavesNothing) {
  const LONG before = LockCount();
  struct Case {
    const char* what;
    bool refuseMemory, throwInConstructor;
    const IID* iid;
    HRESULT expected;
  } const cases[] = {
      {"no memory", true, false, &IID_IPersist, E_OUTOFMEMORY},
      {"constructor throws", false, true, &IID_IPersist, E_OUTOFMEMORY},
      {"interface not served", false, false, &IID_IDispatch, E_NOINTERFACE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ProbeLife life;
    CountedMemory::live = 0;
    CountedMemory::refuse = c.refuseMemory;
    void* object = kGarbage;
    EXPECT_EQ(Probe::CreateIn(kCounted, nullptr, *c.iid, &object, &life, c.throwInConstructor), c.expected);
    CountedMemory::refuse = false;
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(life.built, life.destroyed);
    EXPECT_EQ(CountedMemory::live, 0);
    EXPECT_EQ(LockCount(), before);
  }
  ProbeLife life;
  EXPECT_EQ(Probe::Create(nullptr, IID_IPersist, nullptr, &life, false), E_POINTER);
  EXPECT_EQ(life.built, 0);
}

TEST(ObjectTemplate, AggregatedObjectDelegatesToItsOuterObject) {
  ProbeLife life;
  CountingOuter outer;
  const LONG before = LockCount();
  ASSERT_EQ(Probe::Create(&outer, IID_IUnknown, reinterpret_cast<void**>(&outer.inner), &life, false), S_OK);
  EXPECT_EQ(outer.refs, 1) << "no reference held on the outer object";
  EXPECT_EQ(LockCount(), before + 1);

  ComRef<IUnknown> innerAgain;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IUnknown, innerAgain.out()), S_OK);
  EXPECT_EQ(innerAgain.get(), outer.inner) << "the inner unknown answers IID_IUnknown with itself";
  innerAgain.reset();

  IPersist* persist = nullptr;
  ASSERT_EQ(outer.inner->QueryInterface(IID_IPersist, reinterpret_cast<void**>(&persist)), S_OK);
  EXPECT_EQ(outer.refs, 2) << "interfaces of the aggregate count on the outer object";
  ComRef<IUnknown> identity;
  const int queries = outer.queries;
  ASSERT_EQ(persist->QueryInterface(IID_IUnknown, identity.out()), S_OK);
  EXPECT_EQ(outer.queries, queries + 1);
  EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer)) << "the identity is the outer object's";
  identity.reset();
  persist->Release();
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(life.destroyed, 0) << "only the inner unknown's count destroys the aggregate";
  EXPECT_EQ(outer.inner->Release(), 0u);
  EXPECT_EQ(life.destroyed, 1);
  EXPECT_EQ(LockCount(), before);

  // An outer object may ask for nothing but the inner unknown, and only of
  // a class that can be aggregated.
  void* object = kGarbage;
  EXPECT_EQ(Probe::Create(&outer, IID_IPersist, &object, &life, false), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  object = kGarbage;
  EXPECT_EQ(LoneProbe::Create(&outer, IID_IUnknown, &object), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(outer.refs, 1);
  EXPECT_EQ(LockCount(), before);
}

// ---------------------------------------------------------------------------
// The class table and the class object

TEST(ClassTable, EveryClassHandsOutANewClassObject) {
  EXPECT_EQ(tamsorel::kClassCount, 4u);  // thumbnails, details, preview, the WIC decoder
  for (size_t i = 0; i < tamsorel::kClassCount; ++i) {
    const LONG before = LockCount();
    ComRef<IClassFactory> first, second;
    ASSERT_EQ(tamsorel::GetClassObject(*tamsorel::kClasses[i].clsid, IID_IClassFactory, first.out()), S_OK);
    ASSERT_EQ(tamsorel::GetClassObject(*tamsorel::kClasses[i].clsid, IID_IUnknown, second.out()), S_OK);
    EXPECT_EQ(LockCount(), before + 2) << "a class object holds a module lock while a client holds it";
    first.reset();
    second.reset();
    EXPECT_EQ(LockCount(), before);
  }
  struct Case {
    const CLSID* clsid;
    const IID* iid;
    HRESULT expected;
  } const cases[] = {
      {&kClsidQuorrel, &IID_IDispatch, E_NOINTERFACE},
      {&kClsidQuorrel, &IID_IPersistFile, E_NOINTERFACE},
      {&kForeignClsid, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
      {&testutil::kIidQuorrel, &IID_IUnknown, CLASS_E_CLASSNOTAVAILABLE},
  };
  const LONG before = LockCount();
  for (const Case& c : cases) {
    void* object = kGarbage;
    EXPECT_EQ(tamsorel::GetClassObject(*c.clsid, *c.iid, &object), c.expected);
    EXPECT_EQ(object, nullptr);
  }
  EXPECT_EQ(tamsorel::GetClassObject(kClsidQuorrel, IID_IClassFactory, nullptr), E_POINTER);
  EXPECT_EQ(LockCount(), before);
}

TEST(ClassFactory, LockServerMovesTheModuleCount) {
  ComRef<IClassFactory> factory;
  ASSERT_EQ(tamsorel::GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  const LONG before = LockCount();
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  EXPECT_EQ(LockCount(), before + 2);
  factory.reset();
  EXPECT_EQ(LockCount(), before + 1) << "the server's locks outlive the class object";
  ASSERT_EQ(tamsorel::GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  factory.reset();
  EXPECT_EQ(LockCount(), before - 1);
}

TEST(ClassFactory, CreateInstanceRules) {
  ComRef<IClassFactory> factory;
  ASSERT_EQ(tamsorel::GetClassObject(kClsidQuorrel, IID_IClassFactory, factory.out()), S_OK);
  struct Case {
    const char* name;
    bool withOuter;
    const IID* iid;
    bool nullOut;
    HRESULT expected;
  } const cases[] = {
      {"plain IPersistFile", false, &IID_IPersistFile, false, S_OK},
      {"plain IUnknown", false, &IID_IUnknown, false, S_OK},
      {"plain unsupported", false, &IID_IClassFactory, false, E_NOINTERFACE},
      {"plain IPersist", false, &IID_IPersist, false, E_NOINTERFACE},
      {"aggregated IUnknown", true, &IID_IUnknown, false, S_OK},
      {"aggregated IPersistFile", true, &IID_IPersistFile, false, CLASS_E_NOAGGREGATION},
      {"null out pointer", false, &IID_IUnknown, true, E_POINTER},
      {"null out pointer, refused aggregation", true, &IID_IPersistFile, true, E_POINTER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CountingOuter outer;
    const LONG before = LockCount();
    void* object = kGarbage;
    const HRESULT hr = factory->CreateInstance(c.withOuter ? &outer : nullptr, *c.iid, c.nullOut ? nullptr : &object);
    EXPECT_EQ(hr, c.expected);
    if (hr == S_OK) {
      ASSERT_NE(object, nullptr);
      EXPECT_EQ(LockCount(), before + 1) << "a living object holds one module lock";
      static_cast<IUnknown*>(object)->Release();
    } else if (!c.nullOut) {
      EXPECT_EQ(object, nullptr);
    }
    EXPECT_EQ(LockCount(), before);
    EXPECT_EQ(outer.refs, 1);
  }
}

// ---------------------------------------------------------------------------
// The registry scripts' code page

TEST(ScriptCodePage, ConversionCodePage) {
  // Every NT 5 or later system widens with the thread's ANSI code page.
  EXPECT_EQ(tamsorel::GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
  EXPECT_EQ(tamsorel::GetConversionCodePage(), static_cast<UINT>(CP_THREAD_ACP));
}

// The rule of older systems: the thread locale's default ANSI code page, or
// GetACP() for a locale that has none (its number reads as 0).
TEST(ScriptCodePage, ThreadLocaleCodePage) {
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

}  // namespace
