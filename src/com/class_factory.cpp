#include "com/class_factory.h"

namespace tamsorel {

const InterfaceRow<ClassFactory> ClassFactory::kInterfaces[] = {
    Row<ClassFactory, IClassFactory>(IID_IClassFactory),
    {},
};

HRESULT STDMETHODCALLTYPE ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // An outer object asks for the inner unknown and nothing else.
  if (outer != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return creator_(outer, riid, ppv);
}

HRESULT STDMETHODCALLTYPE ClassFactory::LockServer(BOOL lock) noexcept {
  if (lock)
    LockModule();
  else
    UnlockModule();
  return S_OK;
}

}  // namespace tamsorel
