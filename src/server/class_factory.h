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
  // A critical section initialised through TryInitCriticalSection; raises
  // ATL::CAtlException when it cannot be.
  class Section {
   public:
    Section();
    ~Section();
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;
    CRITICAL_SECTION* get() { return &section_; }

   private:
    CRITICAL_SECTION section_;
  };

  CClassFactory();

  static const InterfaceMapEntry kInterfaceMap[];

  LONG refCount_;
  Section unusedSection_;  // initialised first, never entered
  InstanceCreator creator_;
  Section refSection_;     // guards changes of refCount_
};

}  // namespace tamsorel
