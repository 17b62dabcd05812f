// A 32-bit Windows plug-in built with the wrong calling convention, for the host's stack check
// (wfxhost --check-stack): FsInit and FsGetDefRootName are __stdcall as the interface requires,
// the three listing functions are cdecl and leave their arguments on the stack. Every folder
// holds one file, file.txt. Built for 32-bit Windows only; the interface header is left out on
// purpose, since it declares every export __stdcall.
#include <windows.h>

#include <cstring>

extern "C" {

int __stdcall FsInit(int, void*, void*, void*) {
  return 0;
}

void __stdcall FsGetDefRootName(char* DefRootName, int maxlen) {
  if (DefRootName != nullptr && maxlen > 0) std::strncpy(DefRootName, "Cdecl", maxlen - 1);
}

HANDLE __cdecl FsFindFirst(char*, WIN32_FIND_DATAA* FindData) {
  std::memset(FindData, 0, sizeof(*FindData));
  FindData->dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
  std::strcpy(FindData->cFileName, "file.txt");
  return reinterpret_cast<HANDLE>(1);
}

BOOL __cdecl FsFindNext(HANDLE, WIN32_FIND_DATAA*) {
  return FALSE;
}

int __cdecl FsFindClose(HANDLE) {
  return 0;
}
}
