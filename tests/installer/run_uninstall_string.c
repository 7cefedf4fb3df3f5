/* Runs the command line that Tamsorel's Programs and Features entry gives,
   as Programs and Features or a deployment tool does: reads the value named
   on the command line (UninstallString or QuietUninstallString) from the
   entry (this 64-bit program reads the 64-bit registry view), starts it with CreateProcess, waits for
   that process and exits with its exit code.  Exit status 255 when the entry
   or value is missing or the program cannot be started. */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: run_uninstall_string VALUE-NAME\n", stderr);
    return 255;
  }
  wchar_t command[4096];
  DWORD size = sizeof(command) - sizeof(wchar_t);
  DWORD type = 0;
  const LONG status =
      RegGetValueW(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Tamsorel", argv[1],
                   RRF_RT_REG_SZ, &type, command, &size);
  if (status != ERROR_SUCCESS) {
    fprintf(stderr, "run_uninstall_string: no value %ls (error %ld)\n", argv[1], status);
    return 255;
  }
  printf("%ls\n", command);
  fflush(stdout);
  STARTUPINFOW startup;
  ZeroMemory(&startup, sizeof(startup));
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process;
  if (!CreateProcessW(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
    fprintf(stderr, "run_uninstall_string: cannot start it (error %lu)\n", (unsigned long)GetLastError());
    return 255;
  }
  CloseHandle(process.hThread);
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 255;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  return (int)code;
}
