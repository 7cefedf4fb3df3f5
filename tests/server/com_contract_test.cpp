// The COM contract of every class Tamsorel.dll serves, checked on the DLL
// itself through DllGetClassObject and DllCanUnloadNow: QueryInterface
// identity, symmetry and transitivity over every interface a class lists,
// refused interfaces, aggregation (served or refused), the module lock that
// objects, class objects and LockServer hold, and unloading after the last
// release.
#include <windows.h>
#include <objbase.h>
#include <propsys.h>
#include <shobjidl.h>
#include <wincodec.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "com_test_util.h"
#include "preview/preview_handler.h"
#include "properties/property_store.h"
#include "wic/wic_decoder.h"
#include "sprite_fixtures.h"

using tamsorel::ComRef;
using testutil::CountingOuter;
using testutil::LoadedDll;

namespace {

struct ClassCase {
  const char* name;
  const CLSID* clsid;
  std::vector<const IID*> interfaces;  // every IID the class answers
  bool aggregatable;
};

std::vector<ClassCase> Classes() {
  return {
      {"Thumbnail", &testutil::kClsidQuorrel,
       {&testutil::kIidQuorrel, &IID_IDispatch, &IID_IPersistFile, &IID_IExtractImage, &IID_IExtractImage2},
       true},
      {"Details", &tamsorel::CLSID_SpriteProperties,
       {&IID_IInitializeWithStream, &IID_IPropertyStore, &IID_IPropertyStoreCapabilities}, false},
      {"Preview", &tamsorel::CLSID_TamsorelPreview,
       {&IID_IPreviewHandler, &IID_IInitializeWithStream, &IID_IObjectWithSite, &IID_IOleWindow,
        &IID_IPreviewHandlerVisuals},
       false},
      {"WicDecoder", &tamsorel::CLSID_TamsorelWicDecoder, {&IID_IWICBitmapDecoder}, false},
  };
}

std::wstring DllPath() { return fixtures::ProgramDir() + L"\\Tamsorel.dll"; }

class ComContract : public ::testing::TestWithParam<ClassCase> {
 protected:
  void SetUp() override { ASSERT_TRUE(dll_.ok()) << "cannot load Tamsorel.dll beside the test program"; }
  LoadedDll dll_{DllPath()};
};

TEST_P(ComContract, QueryInterfaceIsReflexiveSymmetricAndTransitive) {
  const ClassCase& c = GetParam();
  ComRef<IClassFactory> factory;
  ASSERT_EQ(dll_.GetClassObject(*c.clsid, IID_IClassFactory, factory.out()), S_OK);
  ComRef<IUnknown> identity;
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, identity.out()), S_OK);
  factory.reset();

  for (const IID* from : c.interfaces) {
    ComRef<IUnknown> first;
    ASSERT_EQ(identity->QueryInterface(*from, first.out()), S_OK);
    ComRef<IUnknown> back;
    ASSERT_EQ(first->QueryInterface(IID_IUnknown, back.out()), S_OK);
    EXPECT_EQ(back.get(), identity.get()) << "one identity from every interface";
    for (const IID* to : c.interfaces) {
      ComRef<IUnknown> next;
      ASSERT_EQ(first->QueryInterface(*to, next.out()), S_OK) << "every interface reaches every other";
      ComRef<IUnknown> again;
      EXPECT_EQ(next->QueryInterface(*from, again.out()), S_OK) << "and back";
      EXPECT_EQ(again.get(), first.get()) << "the same pointer for the same IID";
    }
    for (const IID* refused : {&IID_IClassFactory, &IID_IStream, &IID_IMarshal}) {
      void* object = reinterpret_cast<void*>(1);
      EXPECT_EQ(first->QueryInterface(*refused, &object), E_NOINTERFACE);
      EXPECT_EQ(object, nullptr);
    }
  }
  EXPECT_EQ(testutil::CurrentRefs(identity.get()), 1u) << "no reference left behind by the queries";
  identity.reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK) << "the last release leaves the DLL free to go";
}

TEST_P(ComContract, AggregationIsServedOrRefused) {
  const ClassCase& c = GetParam();
  ComRef<IClassFactory> factory;
  ASSERT_EQ(dll_.GetClassObject(*c.clsid, IID_IClassFactory, factory.out()), S_OK);
  CountingOuter outer;
  IUnknown* inner = reinterpret_cast<IUnknown*>(1);
  const HRESULT hr = factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&inner));
  if (!c.aggregatable) {
    EXPECT_EQ(hr, CLASS_E_NOAGGREGATION);
    EXPECT_EQ(inner, nullptr);
  } else {
    ASSERT_EQ(hr, S_OK);
    ComRef<IUnknown> innerAgain;
    ASSERT_EQ(inner->QueryInterface(IID_IUnknown, innerAgain.out()), S_OK);
    EXPECT_EQ(innerAgain.get(), inner) << "the inner unknown is its own identity";
    innerAgain.reset();
    ComRef<IUnknown> some, identity;
    ASSERT_EQ(inner->QueryInterface(*c.interfaces.front(), some.out()), S_OK);
    ASSERT_EQ(some->QueryInterface(IID_IUnknown, identity.out()), S_OK);
    EXPECT_EQ(identity.get(), static_cast<IUnknown*>(&outer)) << "an aggregated interface names the outer object";
    identity.reset();
    some.reset();
    EXPECT_EQ(inner->Release(), 0u);
  }
  EXPECT_EQ(outer.refs, 1) << "no reference left on the outer object";
  void* object = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(&outer, *c.interfaces.front(), &object), CLASS_E_NOAGGREGATION)
      << "an outer object asks for IUnknown only";
  EXPECT_EQ(object, nullptr);
  factory.reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_P(ComContract, ObjectsClassObjectsAndLockServerKeepTheDllLoaded) {
  const ClassCase& c = GetParam();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
  ComRef<IClassFactory> factory;
  ASSERT_EQ(dll_.GetClassObject(*c.clsid, IID_IClassFactory, factory.out()), S_OK);
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "a client holds the class object";
  ComRef<IUnknown> object;
  ASSERT_EQ(factory->CreateInstance(nullptr, *c.interfaces.front(), object.out()), S_OK);
  ASSERT_EQ(factory->LockServer(TRUE), S_OK);
  factory.reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "an object and a server lock";
  object.reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "a server lock";
  ASSERT_EQ(dll_.GetClassObject(*c.clsid, IID_IClassFactory, factory.out()), S_OK);
  ASSERT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE) << "the class object";
  factory.reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

INSTANTIATE_TEST_SUITE_P(EveryClass, ComContract, ::testing::ValuesIn(Classes()),
                         [](const ::testing::TestParamInfo<ClassCase>& info) { return info.param.name; });

}  // namespace
