/* A library in the shape of Tamsorel.dll whose registration fails halfway:
   it writes a key first, as a registration that stops partway would, then
   reports failure.  Unregistering removes the key.  The installer tests ship
   it in place of the x64 DLL to see the setup program undo everything,
   including what the failed registration itself left.

   Built with LOSE_PREVIOUS it first deletes the previous version's DLL that
   the setup renamed aside beside it (Tamsorel.dll.old1 ...), as a virus
   scanner or a failing disk might: the setup then cannot put the previous
   version back whole and must say so. */
#include <windows.h>
#include <olectl.h>
#include <wchar.h>

static const wchar_t kPartialKey[] = L"Tamsorel.PartialRegistration";
static HINSTANCE module;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) module = instance;
  return TRUE;
}

#ifdef LOSE_PREVIOUS
static void DeletePreviousCopies(void) {
  wchar_t path[MAX_PATH + 8];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  wchar_t* name = wcsrchr(path, L'\\');
  if (name == NULL) return;
  wcscpy(path + length, L".old*");
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (wcslen(found.cFileName) < (size_t)(path + MAX_PATH - name - 1)) {
      wcscpy(name + 1, found.cFileName);
      DeleteFileW(path);
    }
  } while (FindNextFileW(search, &found));
  FindClose(search);
}
#endif

STDAPI DllRegisterServer(void) {
#ifdef LOSE_PREVIOUS
  DeletePreviousCopies();
#endif
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
