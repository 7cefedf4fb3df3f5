// Tamsorel.dll (or another library) loaded through LoadLibrary, with the two
// entry points the tests call.  Free of the test framework, so that the soak
// program shares it with the server tests.
#pragma once

#include <windows.h>

#include <string>

#include "common/win32_owner.h"

namespace testutil {

// A library loaded with LoadLibraryW and freed when this goes away.
class LoadedDll {
 public:
  explicit LoadedDll(const std::wstring& path) : module_(LoadLibraryW(path.c_str())) {
    if (module_.valid()) {
      getClassObject_ = reinterpret_cast<GetClassObjectFunc>(
          reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
      canUnloadNow_ = reinterpret_cast<CanUnloadNowFunc>(
          reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
    }
  }

  bool ok() const { return module_.valid() && getClassObject_ != nullptr && canUnloadNow_ != nullptr; }
  HMODULE module() const { return module_.get(); }
  HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** ppv) const { return getClassObject_(clsid, iid, ppv); }
  HRESULT CanUnloadNow() const { return canUnloadNow_(); }

 private:
  using GetClassObjectFunc = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
  using CanUnloadNowFunc = HRESULT(STDAPICALLTYPE*)();
  tamsorel::UniqueModule module_;
  GetClassObjectFunc getClassObject_ = nullptr;
  CanUnloadNowFunc canUnloadNow_ = nullptr;
};

}  // namespace testutil
