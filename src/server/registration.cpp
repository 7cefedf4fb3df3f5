// Self-registration of Tamsorel.dll.
#include "server/registration.h"

#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>

#include "com/module.h"
#include "com/script_resource.h"
#include "common/win32_owner.h"
#include "server/class_table.h"

namespace tamsorel {

HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** typeLib, BSTR* path) {
  *typeLib = nullptr;
  *path = nullptr;
  wchar_t file[MAX_PATH];
  HRESULT hr = ModulePath(module, file);
  if (FAILED(hr)) return hr;
  wchar_t* extension = PathFindExtensionW(file);
  hr = LoadTypeLib(file, typeLib);
  if (FAILED(hr)) {
    // A type library kept beside the module: same name, extension ".tlb".
    if ((extension - file) + 5 > MAX_PATH) return E_FAIL;
    lstrcpyW(extension, L".tlb");
    hr = LoadTypeLib(file, typeLib);
    if (FAILED(hr)) return hr;
  }
  *path = SysAllocString(file);
  return *path ? S_OK : E_OUTOFMEMORY;
}

int HelpDirectoryLength(const wchar_t* path) {
  if (!path) return 0;
  const wchar_t* afterSeparator = path;
  for (const wchar_t* p = path; *p; p = CharNextW(p)) {
    if (*p == L'\\' || *p == L'/' || *p == L':') afterSeparator = p + 1;
  }
  return static_cast<int>(afterSeparator - path);
}

HRESULT RegisterModuleTypeLib(HINSTANCE module) {
  ComRef<ITypeLib> lib;
  UniqueBstr path;
  HRESULT hr = LoadModuleTypeLib(module, lib.outTyped(), path.out());
  if (FAILED(hr)) return hr;
  wchar_t helpDirectory[MAX_PATH];
  lstrcpynW(helpDirectory, path.get(), MAX_PATH);
  helpDirectory[HelpDirectoryLength(helpDirectory)] = L'\0';
  return RegisterTypeLib(lib.get(), path.get(), helpDirectory);
}

HRESULT UnregisterModuleTypeLib(HINSTANCE module) {
  ComRef<ITypeLib> lib;
  UniqueBstr path;
  HRESULT hr = LoadModuleTypeLib(module, lib.outTyped(), path.out());
  if (FAILED(hr)) return hr;
  TLIBATTR* attributes = nullptr;
  hr = lib->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                         attributes->lcid, attributes->syskind);
  lib->ReleaseTLibAttr(attributes);
  return hr;
}

HRESULT RegisterClassEntries() {
  for (size_t i = 0; i < kClassCount; ++i) {
    const HRESULT hr = kClasses[i].updateRegistry(TRUE);
    if (FAILED(hr)) return hr;
  }
  return RegisterModuleTypeLib(ModuleInstance());
}

namespace {

// Keeps the first failure of a sequence of steps that all run.
class FirstFailure {
 public:
  void Note(HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(result_)) result_ = hr;
  }
  HRESULT result() const { return result_; }

 private:
  HRESULT result_ = S_OK;
};

}  // namespace

// Unregistration runs every step even after one fails: a step that can no
// longer succeed (a type library whose file has moved) must not keep the
// others from removing what they can, or the registry would go on naming a
// class that is gone.  The first failure is the result.
HRESULT UnregisterClassEntries() {
  FirstFailure result;
  for (size_t i = 0; i < kClassCount; ++i) result.Note(kClasses[i].updateRegistry(FALSE));
  result.Note(UnregisterModuleTypeLib(ModuleInstance()));
  return result.result();
}

namespace {
const ReplacementPair kAppIdPairs[] = {{L"APPID", kAppIdText}, {nullptr, nullptr}};
}  // namespace

HRESULT RegisterServer() {
  HRESULT hr = RunScriptResource(kAppIdScriptId, TRUE, kAppIdPairs);
  if (SUCCEEDED(hr)) hr = RegisterClassEntries();
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}

HRESULT UnregisterServer() {
  HRESULT hr = UnregisterClassEntries();
  const HRESULT appId = RunScriptResource(kAppIdScriptId, FALSE, kAppIdPairs);
  if (SUCCEEDED(hr)) hr = appId;
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}

}  // namespace tamsorel
