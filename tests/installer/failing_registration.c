/* A library in the shape of Tamsorel.dll whose registration always fails.
   The installer tests ship it in place of one of the real DLLs to see the
   setup program undo everything it did. */
#include <windows.h>
#include <olectl.h>

STDAPI DllRegisterServer(void) { return SELFREG_E_CLASS; }
STDAPI DllUnregisterServer(void) { return S_OK; }
STDAPI DllCanUnloadNow(void) { return S_OK; }
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  (void)clsid;
  (void)iid;
  if (object != NULL) *object = NULL;
  return CLASS_E_CLASSNOTAVAILABLE;
}
