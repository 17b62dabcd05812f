// Win32 primitives of the local files: the W calls with the UTF-8 paths converted, so that a local
// name in any language works whichever interface the host called.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "platform/LocalFile.h"
#include "platform/LocalFileOs.h"
#include "platform/win32/WideText.h"

namespace platform {

namespace os {

namespace {

HANDLE AsHandle(intptr_t Handle) {
  return reinterpret_cast<HANDLE>(Handle);
}

intptr_t Open(const std::string& Path, DWORD Access, DWORD Disposition) {
  // Others may read meanwhile but not write: an upload sends one consistent content.
  HANDLE h = CreateFileW(win32::WideFromUtf8(Path).c_str(), Access, FILE_SHARE_READ, nullptr,
                         Disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  return h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

}  // namespace

intptr_t OpenLocalRead(const std::string& Path) {
  intptr_t handle = Open(Path, GENERIC_READ, OPEN_EXISTING);
  if (handle != -1 && GetFileType(AsHandle(handle)) != FILE_TYPE_DISK) {
    CloseHandle(AsHandle(handle));
    return -1;
  }
  return handle;
}

intptr_t CreateLocal(const std::string& Path) {
  return Open(Path, GENERIC_WRITE, CREATE_ALWAYS);
}

void CloseLocal(intptr_t Handle) {
  CloseHandle(AsHandle(Handle));
}

int64_t LocalSize(intptr_t Handle) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(AsHandle(Handle), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

bool ReadLocal(intptr_t Handle, void* Buf, uint32_t Count, uint32_t& Done) {
  DWORD n = 0;
  BOOL ok = ReadFile(AsHandle(Handle), Buf, Count, &n, nullptr);
  Done = ok ? n : 0;
  return ok != 0;
}

bool WriteLocal(intptr_t Handle, const void* Buf, uint32_t Count, uint32_t& Done) {
  DWORD n = 0;
  BOOL ok = WriteFile(AsHandle(Handle), Buf, Count, &n, nullptr);
  Done = ok ? n : 0;
  return ok != 0;
}

uint32_t ProcessId() {
  return static_cast<uint32_t>(GetCurrentProcessId());
}

}  // namespace os

bool LocalFileExists(const std::string& Path) {
  DWORD attributes = GetFileAttributesW(win32::WideFromUtf8(Path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteLocalFile(const std::string& Path) {
  return DeleteFileW(win32::WideFromUtf8(Path).c_str()) != 0;
}

bool LocalFileWritable(const std::string& Path) {
  DWORD attributes = GetFileAttributesW(win32::WideFromUtf8(Path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_READONLY);
}

bool CreateNewLocalFile(const std::string& Path, bool /*OwnerOnly*/, bool& Exists) {
  Exists = false;
  // CREATE_NEW fails on anything at Path, a symbolic link or junction included. The folders this
  // is used in (the user's own TEMP, the target's folder) give their permissions to new files.
  HANDLE h = CreateFileW(win32::WideFromUtf8(Path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    Exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
    return false;
  }
  CloseHandle(h);
  return true;
}

bool ReplaceLocalFile(const std::string& From, const std::string& To) {
  return MoveFileExW(win32::WideFromUtf8(From).c_str(), win32::WideFromUtf8(To).c_str(),
                     MOVEFILE_REPLACE_EXISTING) != 0;
}

std::string ResolveLocalFile(const std::string& Path) {
  return Path;
}

}  // namespace platform
