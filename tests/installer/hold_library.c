/* Keeps a library loaded, as Explorer keeps a thumbnail handler: loads the
   library named on the command line, says "loaded" on standard output and
   holds it until standard input ends.  Exit status 1 if it cannot load it. */
#include <windows.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fputs("usage: hold_library PATH\n", stderr);
    return 2;
  }
  HMODULE library = LoadLibraryW(argv[1]);
  if (library == NULL) {
    fprintf(stderr, "hold_library: cannot load the library (error %lu)\n", (unsigned long)GetLastError());
    return 1;
  }
  puts("loaded");
  fflush(stdout);
  while (getchar() != EOF) {
  }
  FreeLibrary(library);
  return 0;
}
