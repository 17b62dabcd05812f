// Win32 local files: CreateFileA with ANSI paths as the host hands them over; reads and writes
// looped, since one call may move fewer bytes than asked.
#include "platform/LocalFile.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace platform {

struct TLocalFileState {
  HANDLE Handle = INVALID_HANDLE_VALUE;
};

TLocalFile::~TLocalFile() {
  Close();
}

bool TLocalFile::OpenRead(const std::string& Path) {
  Close();
  HANDLE h = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    return false;
  }
  State_ = new TLocalFileState{h};
  return true;
}

bool TLocalFile::Create(const std::string& Path) {
  Close();
  HANDLE h = CreateFileA(Path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  State_ = new TLocalFileState{h};
  return true;
}

void TLocalFile::Close() {
  if (!State_) return;
  CloseHandle(State_->Handle);
  delete State_;
  State_ = nullptr;
}

int64_t TLocalFile::Size() const {
  LARGE_INTEGER size{};
  if (!State_ || !GetFileSizeEx(State_->Handle, &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

bool TLocalFile::Read(void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!State_) return false;
  auto* out = static_cast<char*>(Buf);
  while (Got < Count) {
    DWORD n = 0;
    if (!ReadFile(State_->Handle, out + Got, Count - Got, &n, nullptr)) return false;
    if (n == 0) break;
    Got += n;
  }
  return true;
}

bool TLocalFile::Write(const void* Buf, uint32_t Count) {
  if (!State_) return false;
  const auto* in = static_cast<const char*>(Buf);
  uint32_t done = 0;
  while (done < Count) {
    DWORD n = 0;
    if (!WriteFile(State_->Handle, in + done, Count - done, &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}

bool LocalFileExists(const std::string& Path) {
  DWORD attributes = GetFileAttributesA(Path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool DeleteLocalFile(const std::string& Path) {
  return DeleteFileA(Path.c_str()) != 0;
}

}  // namespace platform
