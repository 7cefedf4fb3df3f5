// Process-wide state of the in-process server: the module instance, the class
// table with its class entries, and the server module with its lock count,
// termination callbacks and module critical section.  One of each exists per
// process; they are built before DllMain first runs and torn down after it
// last runs (module_records.cpp).
#pragma once

#include <windows.h>
#include <objbase.h>

#include <atomic>

namespace tamsorel {

class ScriptRun;

// ---------------------------------------------------------------------------
// Shared helpers

// Raises ATL::CAtlException carrying `hr`.
[[noreturn]] void ThrowHResult(HRESULT hr);

// Initialises a critical section.  S_OK, or E_OUTOFMEMORY when the system
// cannot provide the section's resources.
HRESULT TryInitCriticalSection(CRITICAL_SECTION* section);

// Set when a module record cannot initialise its critical section; DllMain
// then refuses the load.
extern bool initFailed;

// A critical section member, initialised through TryInitCriticalSection
// and deleted with its owner if it was made.  What a failure means is up to
// the owner: see status().
class OwnedCriticalSection {
 public:
  OwnedCriticalSection();
  ~OwnedCriticalSection();
  OwnedCriticalSection(const OwnedCriticalSection&) = delete;
  OwnedCriticalSection& operator=(const OwnedCriticalSection&) = delete;
  CRITICAL_SECTION* get() { return &section_; }
  // The result of the initialisation.
  HRESULT status() const { return status_; }

 private:
  CRITICAL_SECTION section_;
  HRESULT status_;
};

// The critical section of a module record: a failure is noted in initFailed.
class RecordSection : public OwnedCriticalSection {
 public:
  RecordSection() {
    if (FAILED(status())) initFailed = true;
  }
};

// The code page that widens the 8-bit registry scripts: CP_THREAD_ACP on NT 5
// and later, the thread locale's default ANSI code page otherwise.
UINT GetConversionCodePage();

// The thread-locale rule of GetConversionCodePage on its own: the thread
// locale's LOCALE_IDEFAULTANSICODEPAGE read as a decimal number, GetACP()
// when the query fails, gives an empty text or reads as 0.
UINT ThreadLocaleCodePage();

// Reads `text` as decimal digits up to its terminator (value * 10 + c - '0'
// for every character, digit or not).  Used by ThreadLocaleCodePage.
UINT CodePageFromLocaleText(const char* text);

// ---------------------------------------------------------------------------
// Class entries and the class table

using InstanceCreator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv);
using ClassObjectCreator = HRESULT (*)(InstanceCreator createInstance, REFIID riid, void** ppv);

// One component category of a class (none for this library's class).
struct CategoryMapEntry {
  int kind;  // 0 ends the list
  const GUID* catid;
};

struct ClassEntry {
  const CLSID* clsid;
  HRESULT (*updateRegistry)(BOOL doRegister);
  ClassObjectCreator createClassObject;
  InstanceCreator createInstance;
  // The cached class object, one reference owned here.  Tested without a
  // lock; set only under the table's critical section, once it is complete.
  std::atomic<IUnknown*> classObject;
  const CategoryMapEntry* (*categoryList)();
  void (*objectMain)(BOOL starting);
};

class CModuleInstance {
 public:
  explicit CModuleInstance(HINSTANCE module) : module_(module) {}
  CModuleInstance(const CModuleInstance&) = delete;
  CModuleInstance& operator=(const CModuleInstance&) = delete;

  HINSTANCE ModuleHandle() const { return module_; }

 private:
  HINSTANCE module_;
  RecordSection section_;  // entered by no operation
};

class CClassTable {
 public:
  CClassTable(HINSTANCE module, ClassEntry* const* begin, ClassEntry* const* end);
  ~CClassTable();
  CClassTable(const CClassTable&) = delete;
  CClassTable& operator=(const CClassTable&) = delete;

  // The class-object lookup behind DllGetClassObject.
  HRESULT GetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);

  HINSTANCE TypeLibModule() const { return typeLibModule_; }
  ClassEntry* const* begin() const { return begin_; }
  ClassEntry* const* end() const { return end_; }

 private:
  UINT liveSize_;
  HINSTANCE typeLibModule_;
  ClassEntry* const* begin_;
  ClassEntry* const* end_;
  RecordSection section_;  // serialises the creation of class objects
};

// DllGetClassObject on a given table: E_INVALIDARG without one.
HRESULT GetClassObjectFromTable(CClassTable* table, REFCLSID rclsid, REFIID riid, void** ppv);

// ---------------------------------------------------------------------------
// The server module

using TerminationFunc = void(CALLBACK*)(DWORD_PTR argument);

class CServerModule {
 public:
  // Builds the module, makes it the process-wide server module and calls
  // objectMain(TRUE) of every entry of `classes`.
  explicit CServerModule(const CClassTable* classes);
  // objectMain(FALSE) of every entry, then the termination callbacks, newest
  // first.
  virtual ~CServerModule();
  CServerModule(const CServerModule&) = delete;
  CServerModule& operator=(const CServerModule&) = delete;

  virtual LONG LockModule();
  virtual LONG UnlockModule();
  virtual LONG ModuleLockCount();
  // Adds the replacements every registry script of the module receives:
  // "APPID" = the server's AppID.
  virtual HRESULT AddStandardReplacements(ScriptRun* run);

  // Adds a callback to run at termination; see AddTerminationCallback.
  HRESULT AddTermination(TerminationFunc function, DWORD_PTR argument);

  // The module critical section (re-entrant for its owning thread).
  void EnterModuleSection() { EnterCriticalSection(section_.get()); }
  void LeaveModuleSection() { LeaveCriticalSection(section_.get()); }

 private:
  struct TerminationCallback {
    TerminationFunc function;
    DWORD_PTR argument;
    TerminationCallback* next;
  };

  UINT liveSize_;
  LONG lockCount_;
  TerminationCallback* terminationHead_;
  RecordSection section_;  // the module critical section
  const CClassTable* classes_;
};

// E_INVALIDARG for a null module, E_OUTOFMEMORY when the node cannot be
// allocated, else S_OK with the callback at the head of the list.
HRESULT AddTerminationCallback(CServerModule* module, TerminationFunc function, DWORD_PTR argument);

// ---------------------------------------------------------------------------
// The process-wide records (module_records.cpp)

extern CServerModule* g_serverModule;  // set when the record is built, never cleared
extern CModuleInstance g_moduleInstance;
extern CClassTable g_classTable;
extern CServerModule g_server;

// The AppID of the server as it appears in the registry scripts.
constexpr const wchar_t* kAppIdText = L"{C2E79123-B1D3-4352-BDA8-75FC0DFDF96F}";

// The module lock used by every object of the server.
inline LONG LockModule() { return g_serverModule->LockModule(); }
inline LONG UnlockModule() { return g_serverModule->UnlockModule(); }

}  // namespace tamsorel
