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
// After <windows.h>, which it needs.
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace wfxhost {

#ifdef _WIN32

namespace {

std::wstring Wide(UINT codePage, const std::string& text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int count = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (count <= 0) return {};
  std::wstring wide(static_cast<size_t>(count), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), count);
  return wide;
}

// A character the code page lacks becomes "?", never a look-alike (UTF-8 and UTF-7 take no
// default character).
std::string Narrow(UINT codePage, const std::wstring& wide) {
  if (wide.empty()) return {};
  const bool utf = codePage == CP_UTF8 || codePage == CP_UTF7;
  const DWORD flags = utf ? 0 : WC_NO_BEST_FIT_CHARS;
  const char* fallback = utf ? nullptr : "?";
  const int size = static_cast<int>(wide.size());
  const int count =
      WideCharToMultiByte(codePage, flags, wide.data(), size, nullptr, 0, fallback, nullptr);
  if (count <= 0) return {};
  std::string text(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(codePage, flags, wide.data(), size, text.data(), count, fallback, nullptr);
  return text;
}

UINT outputCodePage = 0;

}  // namespace

std::u16string Utf16FromUtf8(const std::string& text) {
  const std::wstring wide = Wide(CP_UTF8, text);
  return std::u16string(wide.begin(), wide.end());
}

std::string Utf8FromUtf16(const std::u16string& text) {
  return Narrow(CP_UTF8, std::wstring(text.begin(), text.end()));
}

std::string AnsiFromUtf8(const std::string& text) {
  return Narrow(CP_ACP, Wide(CP_UTF8, text));
}

std::string Utf8FromAnsi(const std::string& text) {
  return Narrow(CP_UTF8, Wide(CP_ACP, text));
}

bool SetOutputCodePage(uint32_t codePage) {
  if (codePage == 0) {
    codePage = GetConsoleOutputCP();
    if (codePage == 0) codePage = GetOEMCP();  // no console: output redirected from the start
  }
  if (!IsValidCodePage(codePage)) return false;
  outputCodePage = codePage;
  return true;
}

std::string ForOutput(const std::string& text) {
  if (outputCodePage == 0) SetOutputCodePage(0);
  if (outputCodePage == CP_UTF8) return text;
  return Narrow(outputCodePage, Wide(CP_UTF8, text));
}

std::vector<std::string> CommandLineWords(int /*argc*/, char** /*argv*/) {
  std::vector<std::string> words;
  int count = 0;
  LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return words;
  for (int i = 1; i < count; ++i) words.push_back(Narrow(CP_UTF8, arguments[i]));
  LocalFree(arguments);
  return words;
}

LibraryHandle LoadPluginLibrary(const std::string& path, std::string& error) {
  HMODULE module = LoadLibraryW(Wide(CP_UTF8, path).c_str());
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
  error = "LoadLibraryW failed with error " + std::to_string(code);
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
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  if (length == 0 || length >= MAX_PATH + 1) return ".\\";
  std::string directory = Narrow(CP_UTF8, std::wstring(buffer, length));
  if (directory.back() != '\\') directory += '\\';
  return directory;
}

bool LocalPathExists(const std::string& path) {
  return GetFileAttributesW(Wide(CP_UTF8, path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::FILE* OpenForAppend(const std::string& path) {
  return _wfopen(Wide(CP_UTF8, path).c_str(), L"ab");
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

std::FILE* OpenForAppend(const std::string& path) {
  return std::fopen(path.c_str(), "ab");
}

namespace {

// Converts with iconv; a piece it cannot convert becomes Replacement, and Skip bytes of the input
// are passed over.
std::string Convert(const char* to, const char* from, const std::string& input,
                    const std::string& replacement, size_t skip) {
  std::string output;
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return output;
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[4096];
  while (inLeft > 0) {
    char* out = buffer;
    size_t outLeft = sizeof(buffer);
    const size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    output.append(buffer, sizeof(buffer) - outLeft);
    if (done == static_cast<size_t>(-1) && errno != E2BIG) {
      output += replacement;
      const size_t step = skip < inLeft ? skip : inLeft;
      in += step;
      inLeft -= step;
    }
  }
  iconv_close(converter);
  return output;
}

}  // namespace

std::u16string Utf16FromUtf8(const std::string& text) {
  const std::string bytes = Convert("UTF-16LE", "UTF-8", text, std::string("\xFD\xFF", 2), 1);
  std::u16string wide;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    wide.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                         (static_cast<unsigned char>(bytes[i + 1]) << 8)));
  }
  return wide;
}

std::string Utf8FromUtf16(const std::u16string& text) {
  std::string bytes;
  for (const char16_t unit : text) {
    bytes.push_back(static_cast<char>(unit & 0xFF));
    bytes.push_back(static_cast<char>(unit >> 8));
  }
  return Convert("UTF-8", "UTF-16LE", bytes, "\xEF\xBF\xBD", 2);
}

// Double Commander on Linux passes UTF-8 through the ANSI functions.
std::string AnsiFromUtf8(const std::string& text) {
  return text;
}
std::string Utf8FromAnsi(const std::string& text) {
  return text;
}

bool SetOutputCodePage(uint32_t codePage) {
  return codePage == 0 || codePage == 65001;
}
std::string ForOutput(const std::string& text) {
  return text;
}

std::vector<std::string> CommandLineWords(int argc, char** argv) {
  return std::vector<std::string>(argv + 1, argv + argc);
}

#endif

}  // namespace wfxhost
