// The class object of the server's classes: creates instances through the
// instance creator it was made with and ties client references on it to the
// module lock count.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "server/interface_map.h"
#include "server/module.h"

namespace tamsorel {

class CClassFactory : public IClassFactory {
 public:
  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

  virtual ~CClassFactory();

  // The class-object creator stored in the class entries.
  static HRESULT Create(InstanceCreator createInstance, REFIID riid, void** ppv);

 private:
  // A critical section that raises ATL::CAtlException when it cannot be
  // initialised.
  class Section : public OwnedCriticalSection {
   public:
    Section() {
      if (FAILED(status())) ThrowHResult(status());
    }
  };

  CClassFactory();

  static const InterfaceMapEntry kInterfaceMap[];

  LONG refCount_;
  Section unusedSection_;  // initialised first, never entered
  InstanceCreator creator_;
  Section refSection_;     // guards changes of refCount_
};

}  // namespace tamsorel
