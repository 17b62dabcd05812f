// Loader and OS facts for the command-line host, one implementation per system.
#include "HostSystem.h"

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace wfxhost {

#ifdef _WIN32

LibraryHandle LoadPluginLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module != nullptr) return reinterpret_cast<LibraryHandle>(module);
  const DWORD code = GetLastError();
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof(text) - 1, nullptr);
  std::string message = text;
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  error = "LoadLibraryA failed with error " + std::to_string(code);
  if (!message.empty()) error += " (" + message + ")";
  return nullptr;
}

void* FindExport(LibraryHandle library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

void UnloadPluginLibrary(LibraryHandle library) {
  if (library != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(library));
}

void ClearLastError() {
  SetLastError(0);
}
uint32_t ReadLastError() {
  return GetLastError();
}

bool StdoutIsTerminal() {
  return _isatty(_fileno(stdout)) != 0;
}

void UseBinaryStdout() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

std::string TempDirectory() {
  char buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathA(sizeof(buffer), buffer);
  if (length == 0 || length >= sizeof(buffer)) return ".\\";
  std::string directory(buffer, length);
  if (directory.back() != '\\') directory += '\\';
  return directory;
}

bool LocalPathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

#else

LibraryHandle LoadPluginLibrary(const std::string& path, std::string& error) {
  // A bare file name would make dlopen search the library path instead of the current folder.
  const std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  void* library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    const char* reason = dlerror();
    error = reason != nullptr ? reason : "dlopen failed";
  }
  return library;
}

void* FindExport(LibraryHandle library, const char* name) {
  return dlsym(library, name);
}

void UnloadPluginLibrary(LibraryHandle library) {
  if (library != nullptr) dlclose(library);
}

void ClearLastError() {
  errno = 0;
}
uint32_t ReadLastError() {
  return static_cast<uint32_t>(errno);
}

bool StdoutIsTerminal() {
  return isatty(STDOUT_FILENO) != 0;
}

void UseBinaryStdout() {}

std::string TempDirectory() {
  const char* directory = std::getenv("TMPDIR");
  std::string result = directory != nullptr && *directory != '\0' ? directory : "/tmp";
  if (result.back() != '/') result += '/';
  return result;
}

bool LocalPathExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

#endif

}  // namespace wfxhost
