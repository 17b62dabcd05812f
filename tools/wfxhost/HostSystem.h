// What the command-line host needs from the operating system: loading a plug-in file and finding
// its exports, the thread's last error as a plug-in leaves it, facts about standard output, and
// the text conversions of the two interfaces. HostSystem.cpp holds both implementations
// (LoadLibraryW on Windows, dlopen elsewhere). The host keeps every text in UTF-8; it converts
// with the system's own converters (MultiByteToWideChar on Windows, iconv elsewhere), not with the
// plug-in's code, so that each side checks the other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace wfxhost {

// An opened plug-in file; a null handle means "not loaded".
using LibraryHandle = void*;

// Loads the library at Path. On failure returns null and puts the system's reason (dlerror text,
// or the Windows error code with its message) into Error.
LibraryHandle LoadPluginLibrary(const std::string& path, std::string& error);
// The address of the export with the plain name Name, or null when the library lacks it.
void* FindExport(LibraryHandle library, const char* name);
void UnloadPluginLibrary(LibraryHandle library);

// The last-error value a plug-in leaves after FsFindFirst fails: GetLastError() on Windows; on
// Linux the plug-in puts the Windows code into errno, as there is no SetLastError there.
void ClearLastError();
uint32_t ReadLastError();

// True when standard output is a terminal (progress is then drawn as one redrawn bar).
bool StdoutIsTerminal();
// Makes standard output write "\n" as it is on every system, so that all three builds print the
// same bytes (Windows would otherwise turn each "\n" into CR LF).
void UseBinaryStdout();
// The system's temporary directory with a trailing separator.
std::string TempDirectory();
// True when a file or folder exists at Path (a local path of this system).
bool LocalPathExists(const std::string& path);
// Opens a file for appending (fopen's "ab"); null when it cannot.
std::FILE* OpenForAppend(const std::string& path);

// The command line's words after the program name, in UTF-8 (on Windows from the wide command
// line, whatever the code pages).
std::vector<std::string> CommandLineWords(int argc, char** argv);

// UTF-8 and UTF-16; what cannot be converted becomes U+FFFD.
std::u16string Utf16FromUtf8(const std::string& text);
std::string Utf8FromUtf16(const std::u16string& text);
// The ANSI interface's code page: the system's ANSI code page on Windows (a character it lacks
// becomes "?"), UTF-8 as it is elsewhere.
std::string AnsiFromUtf8(const std::string& text);
std::string Utf8FromAnsi(const std::string& text);

// The output's code page: UTF-8 elsewhere; on Windows the console's output code page (the OEM
// code page when there is no console), or CodePage when it is not 0. False for a code page the
// system cannot convert to.
bool SetOutputCodePage(uint32_t codePage);
// Text (UTF-8) in the output's code page; a character it lacks becomes "?".
std::string ForOutput(const std::string& text);

}  // namespace wfxhost
