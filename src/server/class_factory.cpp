#include "server/class_factory.h"

#include <new>

#include "server/atl_exception.h"

namespace tamsorel {

HRESULT QueryInterfaceFromMap(void* object, const InterfaceMapEntry* map, REFIID riid, void** ppv) {
  if (object == nullptr || map == nullptr) return E_INVALIDARG;
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  BYTE* base = static_cast<BYTE*>(object);
  if (IsEqualIID(riid, IID_IUnknown)) {
    IUnknown* unknown = reinterpret_cast<IUnknown*>(base + map[0].offset);
    unknown->AddRef();
    *ppv = unknown;
    return S_OK;
  }
  for (const InterfaceMapEntry* row = map; row->kind != 0; ++row) {
    if (IsEqualIID(*row->iid, riid)) {
      IUnknown* unknown = reinterpret_cast<IUnknown*>(base + row->offset);
      unknown->AddRef();
      *ppv = unknown;
      return S_OK;
    }
  }
  return E_NOINTERFACE;
}

const InterfaceMapEntry CClassFactory::kInterfaceMap[] = {
    {&IID_IClassFactory, 0, 1},
    {nullptr, 0, 0},
};

CClassFactory::CClassFactory() : refCount_(0), unusedSection_(), creator_(nullptr), refSection_() {}

CClassFactory::~CClassFactory() {
  // A stray AddRef or Release during teardown can neither lock, unlock nor
  // destroy the object again.  The sections are deleted by their members,
  // the second before the first.
  refCount_ = static_cast<LONG>(0xC0000001);
}

HRESULT CClassFactory::Create(InstanceCreator createInstance, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  CClassFactory* factory = nullptr;
  try {
    factory = new (std::nothrow) CClassFactory();
  } catch (...) {
    factory = nullptr;
  }
  if (factory == nullptr) return E_OUTOFMEMORY;
  factory->creator_ = createInstance;
  const HRESULT hr = factory->QueryInterface(riid, ppv);
  if (hr != S_OK) {
    *ppv = nullptr;
    delete factory;
  }
  return hr;
}

HRESULT STDMETHODCALLTYPE CClassFactory::QueryInterface(REFIID riid, void** ppv) {
  return QueryInterfaceFromMap(this, kInterfaceMap, riid, ppv);
}

ULONG STDMETHODCALLTYPE CClassFactory::AddRef() {
  EnterCriticalSection(refSection_.get());
  const LONG count = InterlockedIncrement(&refCount_);
  if (count == 2) tamsorel::LockModule();
  LeaveCriticalSection(refSection_.get());
  return static_cast<ULONG>(count);
}

ULONG STDMETHODCALLTYPE CClassFactory::Release() {
  EnterCriticalSection(refSection_.get());
  const LONG count = InterlockedDecrement(&refCount_);
  LeaveCriticalSection(refSection_.get());
  if (count == 0)
    delete this;
  else if (count == 1)
    tamsorel::UnlockModule();
  return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE CClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  if (creator_ == nullptr) return E_UNEXPECTED;
  return creator_(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE CClassFactory::LockServer(BOOL lock) {
  if (lock)
    tamsorel::LockModule();
  else
    tamsorel::UnlockModule();
  return S_OK;
}

}  // namespace tamsorel
