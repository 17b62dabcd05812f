// What the command-line host needs from the operating system: loading a plug-in file and finding
// its exports, the thread's last error as a plug-in leaves it, and facts about standard output.
// HostSystem.cpp holds both implementations (LoadLibraryA on Windows, dlopen elsewhere).
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace wfxhost
