// The entry point and the exported functions of Tamsorel.dll.  Nothing here
// lets an exception escape: the functions they call return results.
#include <windows.h>
#include <objbase.h>

#include "server/module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) return tamsorel::initFailed ? FALSE : TRUE;
  return TRUE;
}

STDAPI DllCanUnloadNow() { return tamsorel::g_serverModule->ModuleLockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
  return tamsorel::GetClassObjectFromTable(&tamsorel::g_classTable, rclsid, riid, ppv);
}
