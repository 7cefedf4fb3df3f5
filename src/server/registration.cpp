// Self-registration of Tamsorel.dll.
#include "server/registration.h"

#include <windows.h>
#include <oleauto.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <memory>
#include <new>

#include "common/hresult.h"
#include "regscript/script.h"
#include "regscript/win32_registry.h"

namespace tamsorel {
namespace {

// The HRESULT of the calling thread's last error.  A failing call that left
// no error code behind still fails.
HRESULT LastErrorResult() {
  const DWORD code = GetLastError();
  return code == 0 ? E_FAIL : HResultFromWin32(static_cast<long>(code));
}

const HRESULT kInsufficientBuffer = HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);

// GetModuleFileNameW into a MAX_PATH buffer; a path that fills the buffer
// may have been cut and is refused.
HRESULT ModulePath(HINSTANCE module, wchar_t (&path)[MAX_PATH]) {
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0) return LastErrorResult();
  if (length >= MAX_PATH) return kInsufficientBuffer;
  return S_OK;
}

// The module file mapped as data, released when the scope ends.
class DataFileModule {
 public:
  explicit DataFileModule(const wchar_t* path)
      : module_(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE)) {}
  ~DataFileModule() {
    if (module_) FreeLibrary(module_);
  }
  DataFileModule(const DataFileModule&) = delete;
  DataFileModule& operator=(const DataFileModule&) = delete;
  HMODULE get() const { return module_; }

 private:
  HMODULE module_;
};

// A type library and the path it was loaded from, released at scope end.
struct LoadedTypeLib {
  ITypeLib* lib = nullptr;
  BSTR path = nullptr;
  ~LoadedTypeLib() {
    if (lib) lib->Release();
    SysFreeString(path);
  }
};

}  // namespace

// The regscript tool quotes its NAME=VALUE replacements with the same
// function, so a value means the same to both.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source) {
  DoubleApostrophes(reinterpret_cast<char16_t*>(destination), reinterpret_cast<const char16_t*>(source));
}

HRESULT LoadAndRunScript(ScriptRun* run, const wchar_t* path, UINT id, const wchar_t* type,
                         BOOL doRegister) {
  DataFileModule module(path);
  if (!module.get()) return LastErrorResult();
  HRSRC resource = FindResourceW(module.get(), MAKEINTRESOURCEW(id), type);
  if (!resource) return LastErrorResult();
  HGLOBAL loaded = LoadResource(module.get(), resource);
  if (!loaded) return LastErrorResult();
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  const DWORD count = SizeofResource(module.get(), resource);
  if (!bytes) return LastErrorResult();

  // Small scripts are widened on the stack, larger ones on the heap.
  wchar_t small[512];
  std::unique_ptr<wchar_t[]> large;
  wchar_t* text = small;
  if (static_cast<size_t>(count) * 2 + 2 > sizeof(small)) {
    large.reset(new (std::nothrow) wchar_t[static_cast<size_t>(count) + 1]);
    if (!large) return E_OUTOFMEMORY;
    text = large.get();
  }
  const int widened = MultiByteToWideChar(GetConversionCodePage(), 0, bytes, static_cast<int>(count),
                                          text, static_cast<int>(count));
  if (widened == 0) return LastErrorResult();
  // A multi-byte code page yields fewer characters than bytes: the text ends
  // after the characters actually produced.
  text[widened] = L'\0';

  Win32Registry registry;
  ScriptParser parser(registry, run);
  return parser.RunScript(reinterpret_cast<const char16_t*>(text), doRegister != FALSE);
}

HRESULT RunScriptResource(UINT id, BOOL doRegister, const ReplacementPair* pairs) {
  try {
    ScriptRun run;
    for (; pairs && pairs->key; ++pairs) {
      const HRESULT hr = run.AddPair(reinterpret_cast<const char16_t*>(pairs->key),
                                     reinterpret_cast<const char16_t*>(pairs->value));
      if (FAILED(hr)) return hr;
    }
    HRESULT hr = g_serverModule->AddStandardReplacements(&run);
    if (FAILED(hr)) return hr;

    wchar_t path[MAX_PATH];
    hr = ModulePath(g_moduleInstance.ModuleHandle(), path);
    if (FAILED(hr)) return hr;
    wchar_t doubled[2 * MAX_PATH];
    DoubleSingleQuotes(doubled, path);
    hr = run.AddPair(u"Module", reinterpret_cast<const char16_t*>(doubled));
    if (FAILED(hr)) return hr;
    hr = run.AddPair(u"Module_Raw", reinterpret_cast<const char16_t*>(doubled));
    if (FAILED(hr)) return hr;
    return LoadAndRunScript(&run, path, id, L"REGISTRY", doRegister);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

HRESULT UpdateQuorrelRegistry(BOOL doRegister) {
  return RunScriptResource(kClassScriptId, doRegister, nullptr);
}

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
  LoadedTypeLib loaded;
  HRESULT hr = LoadModuleTypeLib(module, &loaded.lib, &loaded.path);
  if (FAILED(hr)) return hr;
  wchar_t helpDirectory[MAX_PATH];
  lstrcpynW(helpDirectory, loaded.path, MAX_PATH);
  helpDirectory[HelpDirectoryLength(helpDirectory)] = L'\0';
  return RegisterTypeLib(loaded.lib, loaded.path, helpDirectory);
}

HRESULT UnregisterModuleTypeLib(HINSTANCE module) {
  LoadedTypeLib loaded;
  HRESULT hr = LoadModuleTypeLib(module, &loaded.lib, &loaded.path);
  if (FAILED(hr)) return hr;
  TLIBATTR* attributes = nullptr;
  hr = loaded.lib->GetLibAttr(&attributes);
  if (FAILED(hr)) return hr;
  hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum,
                         attributes->lcid, attributes->syskind);
  loaded.lib->ReleaseTLibAttr(attributes);
  return hr;
}

HRESULT RegisterClassEntries(CClassTable* table) {
  for (ClassEntry* const* it = table->begin(); it != table->end(); ++it) {
    ClassEntry* entry = *it;
    if (!entry) continue;
    const HRESULT hr = entry->updateRegistry(TRUE);
    if (FAILED(hr)) return hr;
    // Component categories: this library's class declares none, so there is
    // nothing to write.
  }
  return RegisterModuleTypeLib(table->TypeLibModule());
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
HRESULT UnregisterClassEntries(CClassTable* table) {
  FirstFailure result;
  for (ClassEntry* const* it = table->begin(); it != table->end(); ++it) {
    ClassEntry* entry = *it;
    if (!entry) continue;
    result.Note(entry->updateRegistry(FALSE));
  }
  result.Note(UnregisterModuleTypeLib(table->TypeLibModule()));
  return result.result();
}

}  // namespace tamsorel

namespace {
const tamsorel::ReplacementPair kAppIdPairs[] = {{L"APPID", tamsorel::kAppIdText}, {nullptr, nullptr}};
}  // namespace

STDAPI DllRegisterServer() {
  HRESULT hr = tamsorel::RunScriptResource(tamsorel::kAppIdScriptId, TRUE, kAppIdPairs);
  if (SUCCEEDED(hr)) hr = tamsorel::RegisterClassEntries(&tamsorel::g_classTable);
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}

// Registration stops at its first failure; unregistration runs every step
// (see UnregisterClassEntries) and returns the first failure.
STDAPI DllUnregisterServer() {
  HRESULT hr = tamsorel::UnregisterClassEntries(&tamsorel::g_classTable);
  const HRESULT appId = tamsorel::RunScriptResource(tamsorel::kAppIdScriptId, FALSE, kAppIdPairs);
  if (SUCCEEDED(hr)) hr = appId;
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return hr;
}
