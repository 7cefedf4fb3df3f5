/* A stand-in for Tamsorel.dll that registers nothing but a marker of its own
   version: HKLM\Software\Tamsorel.TestMarker\MARKER, whose default value is
   the path the DLL was loaded from.  Built once per MARKER (v1, v2), it lets
   the installer tests tell which version's registration is in force after an
   upgrade, a failed upgrade or a move. */
#include <windows.h>
#include <olectl.h>

#ifndef MARKER
#error "define MARKER as a wide string, e.g. L\"v1\""
#endif

static const wchar_t kParent[] = L"Software\\Tamsorel.TestMarker";
static HINSTANCE module;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) module = instance;
  return TRUE;
}

STDAPI DllRegisterServer(void) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return SELFREG_E_CLASS;
  HKEY parent, key;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kParent, 0, NULL, 0, KEY_WRITE, NULL, &parent, NULL) != ERROR_SUCCESS)
    return SELFREG_E_CLASS;
  LONG status = RegCreateKeyExW(parent, MARKER, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL);
  RegCloseKey(parent);
  if (status != ERROR_SUCCESS) return SELFREG_E_CLASS;
  status = RegSetValueExW(key, NULL, 0, REG_SZ, (const BYTE*)path, (length + 1) * sizeof(wchar_t));
  RegCloseKey(key);
  return status == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer(void) {
  HKEY parent;
  LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, kParent, 0, KEY_WRITE, &parent);
  if (status == ERROR_FILE_NOT_FOUND) return S_OK;
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  status = RegDeleteKeyW(parent, MARKER);
  RegCloseKey(parent);
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kParent);  /* only when no other marker is left */
  return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

STDAPI DllCanUnloadNow(void) { return S_OK; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
  (void)clsid;
  (void)iid;
  if (object != NULL) *object = NULL;
  return CLASS_E_CLASSNOTAVAILABLE;
}
