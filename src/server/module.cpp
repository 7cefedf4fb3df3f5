// The module records, the class-object lookup and the shared helpers.
#include "server/module.h"

#include "regscript/script.h"
#include "server/atl_exception.h"

namespace tamsorel {

void ThrowHResult(HRESULT hr) { throw ATL::CAtlException(hr); }

HRESULT TryInitCriticalSection(CRITICAL_SECTION* section) {
  // InitializeCriticalSectionAndSpinCount reports the failure to allocate the
  // section's event instead of raising STATUS_NO_MEMORY.
  return InitializeCriticalSectionAndSpinCount(section, 0) ? S_OK : E_OUTOFMEMORY;
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
// OwnedCriticalSection

OwnedCriticalSection::OwnedCriticalSection() : section_(), status_(TryInitCriticalSection(&section_)) {}

OwnedCriticalSection::~OwnedCriticalSection() {
  if (SUCCEEDED(status_)) DeleteCriticalSection(&section_);
  status_ = E_FAIL;
}

// ---------------------------------------------------------------------------
// CClassTable

CClassTable::CClassTable(HINSTANCE module, ClassEntry* const* begin, ClassEntry* const* end)
    : liveSize_(sizeof(CClassTable)),
      typeLibModule_(module),
      begin_(begin),
      end_(end) {}

CClassTable::~CClassTable() {
  if (liveSize_ == 0) return;
  for (ClassEntry* const* it = begin_; it != end_; ++it) {
    ClassEntry* entry = *it;
    if (entry == nullptr) continue;
    IUnknown* object = entry->classObject.exchange(nullptr);
    if (object != nullptr) object->Release();
  }
  liveSize_ = 0;
}

HRESULT CClassTable::GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (liveSize_ == 0) return E_UNEXPECTED;
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;

  ClassEntry* found = nullptr;
  for (ClassEntry* const* it = begin_; it != end_; ++it) {
    ClassEntry* entry = *it;
    if (entry == nullptr || entry->createClassObject == nullptr) continue;
    if (IsEqualCLSID(*entry->clsid, rclsid)) {
      found = entry;
      break;
    }
  }
  if (found == nullptr) return CLASS_E_CLASSNOTAVAILABLE;

  HRESULT hr = S_OK;
  IUnknown* object = found->classObject.load(std::memory_order_acquire);
  if (object == nullptr) {
    EnterCriticalSection(section_.get());
    object = found->classObject.load(std::memory_order_relaxed);
    if (object == nullptr) {
      void* created = nullptr;
      hr = found->createClassObject(found->createInstance, IID_IUnknown, &created);
      // Published only once it is fully built: other threads load the field
      // without the lock.
      object = static_cast<IUnknown*>(created);
      if (object != nullptr) found->classObject.store(object, std::memory_order_release);
    }
    LeaveCriticalSection(section_.get());
  }
  if (object != nullptr) hr = object->QueryInterface(riid, ppv);
  if (*ppv == nullptr && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
  return hr;
}

HRESULT GetClassObjectFromTable(CClassTable* table, REFCLSID rclsid, REFIID riid, void** ppv) {
  if (table == nullptr) return E_INVALIDARG;
  return table->GetClassObject(rclsid, riid, ppv);
}

// ---------------------------------------------------------------------------
// CServerModule

CServerModule::CServerModule(const CClassTable* classes)
    : liveSize_(sizeof(CServerModule)),
      lockCount_(0),
      terminationHead_(nullptr),
      classes_(classes) {
  g_serverModule = this;
  if (classes_ != nullptr) {
    for (ClassEntry* const* it = classes_->begin(); it != classes_->end(); ++it)
      if (*it != nullptr && (*it)->objectMain != nullptr) (*it)->objectMain(TRUE);
  }
}

CServerModule::~CServerModule() {
  if (classes_ != nullptr) {
    for (ClassEntry* const* it = classes_->begin(); it != classes_->end(); ++it)
      if (*it != nullptr && (*it)->objectMain != nullptr) (*it)->objectMain(FALSE);
  }
  if (liveSize_ == 0) return;
  // Newest first: the list is kept with the newest node at its head.
  while (terminationHead_ != nullptr) {
    TerminationCallback* node = terminationHead_;
    terminationHead_ = node->next;
    node->function(node->argument);
    HeapFree(GetProcessHeap(), 0, node);
  }
  // The module critical section is deleted with its member, after this.
  liveSize_ = 0;
}

LONG CServerModule::LockModule() { return InterlockedIncrement(&lockCount_); }

LONG CServerModule::UnlockModule() { return InterlockedDecrement(&lockCount_); }

LONG CServerModule::ModuleLockCount() { return lockCount_; }

HRESULT CServerModule::AddStandardReplacements(ScriptRun* run) {
  return run->AddPair(u"APPID", reinterpret_cast<const char16_t*>(kAppIdText));
}

HRESULT CServerModule::AddTermination(TerminationFunc function, DWORD_PTR argument) {
  void* memory = HeapAlloc(GetProcessHeap(), 0, sizeof(TerminationCallback));
  if (memory == nullptr) return E_OUTOFMEMORY;
  TerminationCallback* node = static_cast<TerminationCallback*>(memory);
  node->function = function;
  node->argument = argument;
  EnterModuleSection();
  node->next = terminationHead_;
  terminationHead_ = node;
  LeaveModuleSection();
  return S_OK;
}

HRESULT AddTerminationCallback(CServerModule* module, TerminationFunc function, DWORD_PTR argument) {
  if (module == nullptr) return E_INVALIDARG;
  return module->AddTermination(function, argument);
}

}  // namespace tamsorel
