// The class object of every class of the server: creates instances through
// the class's instance creator.  A class object is an object like any other:
// while a client holds it, it holds a module lock.  Windows only.
#pragma once

#include <windows.h>
#include <objbase.h>

#include "com/object.h"

namespace tamsorel {

// How a class makes an instance: with or without an outer object, asked for
// `riid`.  Each class's Create has this form.
using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);

class ClassFactory final : public ComObject<ClassFactory, IClassFactory> {
 public:
  static const InterfaceRow<ClassFactory> kInterfaces[];

  explicit ClassFactory(InstanceCreator creator) : creator_(creator) {}

  // IClassFactory
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) noexcept override;

 private:
  InstanceCreator creator_;
};

}  // namespace tamsorel
