// Self-registration: DllRegisterServer and DllUnregisterServer run the
// REGISTRY scripts carried by the module (101: AppID and shell bindings; 102:
// the Quorrel class and its ProgIDs) through the registry-script interpreter
// and register or unregister the embedded type library.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "regscript/script.h"
#include "server/module.h"

namespace tamsorel {

// A replacement handed to a script run.  Lists end with a null key.
struct ReplacementPair {
  const wchar_t* key;
  const wchar_t* value;
};

constexpr UINT kAppIdScriptId = 101;
constexpr UINT kClassScriptId = 102;

// Runs one REGISTRY resource of this module, with the caller's pairs followed
// by "APPID", "Module" and "Module_Raw".
HRESULT RunScriptResource(UINT id, BOOL doRegister, const ReplacementPair* pairs);

// Loads resource `id` of `type` from the module file at `path` (mapped again
// as a data file), widens it with the conversion code page and runs it.
HRESULT LoadAndRunScript(ScriptRun* run, const wchar_t* path, UINT id, const wchar_t* type,
                         BOOL doRegister);

// Copies `source` into `destination`, writing every apostrophe twice.  The
// destination holds twice the source's length plus the terminator.
void DoubleSingleQuotes(wchar_t* destination, const wchar_t* source);

// The class entries' scripts, then the type library.  Registration stops at
// the first failure; unregistration runs every step and returns the first
// failure.
HRESULT RegisterClassEntries(CClassTable* table);
HRESULT UnregisterClassEntries(CClassTable* table);

// The module's type library: TYPELIB 1 of the module itself, or the .tlb file
// beside it.  On success *typeLib and *path (the file it came from) belong to
// the caller; with E_OUTOFMEMORY for the path the library is still returned.
HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** typeLib, BSTR* path);
HRESULT RegisterModuleTypeLib(HINSTANCE module);
HRESULT UnregisterModuleTypeLib(HINSTANCE module);

// Length of the directory part of `path`, its last separator ('\\', '/' or
// ':') included; 0 for a null path or a bare file name.
int HelpDirectoryLength(const wchar_t* path);

// The Quorrel class entry's updateRegistry: script 102.
HRESULT UpdateQuorrelRegistry(BOOL doRegister);

}  // namespace tamsorel
