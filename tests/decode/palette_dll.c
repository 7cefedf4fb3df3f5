/* A library carrying only the palette resource, loaded under the file name
   Tamsorel.dll by decode_win32_tests. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)instance;
  (void)reason;
  (void)reserved;
  return TRUE;
}
