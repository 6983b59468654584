/* Holds a file open the way a program that has not quite let go of it does: read access, sharing
 * reads only (no FILE_SHARE_DELETE), so that nobody can replace or rename it meanwhile.
 *   FileHolder <file> <seconds>
 * Prints "held" once the handle is open (exit 1 when it cannot be opened), then holds it for
 * <seconds> or until the file "<file>.release" appears, whichever comes first. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fputs("usage: FileHolder <file> <seconds>\n", stderr);
    return 2;
  }
  HANDLE h =
      CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (h == INVALID_HANDLE_VALUE) {
    fprintf(stderr, "cannot open the file: error %lu\n", GetLastError());
    return 1;
  }
  printf("held\n");
  fflush(stdout);
  wchar_t release[MAX_PATH + 16];
  swprintf(release, MAX_PATH + 16, L"%ls.release", argv[1]);
  ULONGLONG until = GetTickCount64() + 1000ull * (ULONGLONG)_wtoi(argv[2]);
  while (GetTickCount64() < until && GetFileAttributesW(release) == INVALID_FILE_ATTRIBUTES) Sleep(100);
  CloseHandle(h);
  return 0;
}
