// The entry point and the exported functions of Tamsorel.dll.  Nothing here
// lets an exception escape: the functions they call return results.
#include <windows.h>
#include <objbase.h>

#include "com/module.h"
#include "server/class_table.h"
#include "server/registration.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

STDAPI DllCanUnloadNow() { return tamsorel::ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return tamsorel::GetClassObject(rclsid, riid, ppv);
}

STDAPI DllRegisterServer() { return tamsorel::RegisterServer(); }

STDAPI DllUnregisterServer() { return tamsorel::UnregisterServer(); }
