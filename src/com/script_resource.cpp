#include "com/script_resource.h"

#include <atomic>
#include <memory>
#include <new>

#include "com/module.h"
#include "common/hresult.h"
#include "common/win32_owner.h"
#include "regscript/win32_registry.h"

namespace tamsorel {

HRESULT LastErrorResult() {
  const DWORD code = GetLastError();
  return code == 0 ? E_FAIL : HResultFromWin32(static_cast<long>(code));
}

HRESULT ModulePath(HINSTANCE module, wchar_t (&path)[MAX_PATH]) {
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0) return LastErrorResult();
  if (length >= MAX_PATH) return HResultFromWin32(ERROR_INSUFFICIENT_BUFFER);
  return S_OK;
}

// ---------------------------------------------------------------------------
// Conversion code page

UINT CodePageFromLocaleText(const char* text) {
  UINT value = 0;
  for (const char* c = text; *c != '\0'; ++c) value = value * 10 + static_cast<UINT>(*c - '0');
  return value;
}

UINT ThreadLocaleCodePage() {
  char text[7] = {};
  if (GetLocaleInfoA(GetThreadLocale(), LOCALE_IDEFAULTANSICODEPAGE, text, 7) != 0 && text[0] != '\0') {
    const UINT value = CodePageFromLocaleText(text);
    if (value != 0) return value;
  }
  return GetACP();
}

namespace {

UINT ThreadAcpRule() { return CP_THREAD_ACP; }

using CodePageRule = UINT (*)();
std::atomic<CodePageRule> codePageRule{nullptr};

}  // namespace

UINT GetConversionCodePage() {
  CodePageRule rule = codePageRule.load(std::memory_order_acquire);
  if (rule == nullptr) {
    OSVERSIONINFOW version = {};
    static_assert(sizeof(version) == 276, "OSVERSIONINFOW without the service-pack fields");
    version.dwOSVersionInfoSize = sizeof(version);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const BOOL known = GetVersionExW(&version);
#pragma GCC diagnostic pop
    rule = (known && version.dwPlatformId == VER_PLATFORM_WIN32_NT && version.dwMajorVersion >= 5)
               ? &ThreadAcpRule
               : &ThreadLocaleCodePage;
    codePageRule.store(rule, std::memory_order_release);
  }
  return rule();
}

// ---------------------------------------------------------------------------
// Scripts

// The regscript tool quotes its NAME=VALUE replacements with the same
// function, so a value means the same to both.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source) {
  DoubleApostrophes(reinterpret_cast<char16_t*>(destination), reinterpret_cast<const char16_t*>(source));
}

HRESULT LoadAndRunScript(ScriptRun* run, const wchar_t* path, UINT id, const wchar_t* type, BOOL doRegister) {
  const UniqueModule module(LoadLibraryExW(path, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (!module.valid()) return LastErrorResult();
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
    HRESULT hr = run.AddPair(u"APPID", reinterpret_cast<const char16_t*>(kAppIdText));
    if (FAILED(hr)) return hr;

    wchar_t path[MAX_PATH];
    hr = ModulePath(ModuleInstance(), path);
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

}  // namespace tamsorel
