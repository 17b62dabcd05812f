// The operating-system seam: everything above src/platform/ reaches the clock, local files,
// serial lines and port discovery through these declarations. Texts and paths are UTF-8 here, on
// every system. Implementations live in
// src/platform/posix/ and src/platform/win32/; no OS header is included here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// ---- Clock and time -------------------------------------------------------------------------

// Monotonic milliseconds (GetTickCount64 on Windows, CLOCK_MONOTONIC elsewhere).
uint64_t TickCountMs();
void SleepMs(uint32_t ms);

struct TLocalTime {
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};
TLocalTime LocalTimeNow();

// ---- Files and environment -----------------------------------------------------------------

// The system's temporary directory (GetTempPathW on Windows; TMPDIR or /tmp elsewhere), or an
// empty string when the system gives none.
std::string TempDirectory();
// The directory separator of local paths: '\\' on Windows, '/' elsewhere.
char PathSeparator();
// Appends Data to the file at Path, creating it if missing, with shared read/write access so that
// other processes may read or append meanwhile. Opens and closes the file on every call.
bool AppendToFile(const std::string& path, const std::string& data);
// Value of an environment variable, or an empty string.
std::string GetEnv(const char* name);

// ---- The host's ANSI interface --------------------------------------------------------------

// The ANSI interface passes names in the system's ANSI code page on Windows (1252 in Western
// Europe) and in UTF-8 on Linux, where these conversions change nothing.
std::string AnsiToUtf8(const std::string& Text);
// A character the code page lacks becomes "?" (never a look-alike letter, which would name another
// file); Lossless, when given, tells whether none did.
std::string Utf8ToAnsi(const std::string& Text, bool* Lossless = nullptr);
// The ANSI code page's number; 65001 where it is UTF-8 (Linux).
uint32_t AnsiCodePage();

// The thread's last-error value that the host reads after FsFindFirst fails (SetLastError on
// Windows; errno elsewhere, where the hosts do not read it).
void SetLastErrorCode(uint32_t code);
uint32_t GetLastErrorCode();

}  // namespace platform
