// Self-registration: DllRegisterServer and DllUnregisterServer run the
// module's own REGISTRY script (101: AppID and shell bindings), each class's
// registration (its scripts; the property schema) and register or
// unregister the embedded type library.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include "com/script_resource.h"

namespace tamsorel {

constexpr UINT kAppIdScriptId = 101;

// DllRegisterServer: the AppID script, every class's registration, the type
// library; it stops at the first failure.  DllUnregisterServer runs every
// step (see UnregisterClassEntries) and returns the first failure.  Both
// tell the shell that associations changed.
HRESULT RegisterServer();
HRESULT UnregisterServer();

// The class entries' scripts, then the type library.  Registration stops at
// the first failure; unregistration runs every step and returns the first
// failure.
HRESULT RegisterClassEntries();
HRESULT UnregisterClassEntries();

// The module's type library: TYPELIB 1 of the module itself, or the .tlb file
// beside it.  On success *typeLib and *path (the file it came from) belong to
// the caller; with E_OUTOFMEMORY for the path the library is still returned.
HRESULT LoadModuleTypeLib(HINSTANCE module, ITypeLib** typeLib, BSTR* path);
HRESULT RegisterModuleTypeLib(HINSTANCE module);
HRESULT UnregisterModuleTypeLib(HINSTANCE module);

// Length of the directory part of `path`, its last separator ('\\', '/' or
// ':') included; 0 for a null path or a bare file name.
int HelpDirectoryLength(const wchar_t* path);

}  // namespace tamsorel
