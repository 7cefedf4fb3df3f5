/* A library in the shape of Tamsorel.dll whose registration fails halfway:
   it writes a key first, as a registration that stops partway would, then
   reports failure.  Unregistering removes the key.  The installer tests ship
   it in place of the x64 DLL to see the setup program undo everything,
   including what the failed registration itself left. */
#include <windows.h>
#include <olectl.h>

static const wchar_t kPartialKey[] = L"Tamsorel.PartialRegistration";

STDAPI DllRegisterServer(void) {
  HKEY key;
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, kPartialKey, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) == ERROR_SUCCESS)
    RegCloseKey(key);
  return SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer(void) {
  const LONG status = RegDeleteKeyW(HKEY_CLASSES_ROOT, kPartialKey);
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

STDAPI DllCanUnloadNow(void) { return S_OK; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  (void)clsid;
  (void)iid;
  if (object != NULL) *object = NULL;
  return CLASS_E_CLASSNOTAVAILABLE;
}
