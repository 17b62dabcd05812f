// Names and texts at the host boundary. The host's wide functions speak UTF-16, its ANSI ones the
// system's ANSI code page (UTF-8 on Linux); inside the plug-in every text is UTF-8. Each exported
// function converts its names here on the way in and every text for the host on the way out, so
// that one implementation serves both interfaces. A name that cannot be converted without losing
// what it names is refused with a reason for the host's log window.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/wfxplugin.h"

// A name from the host that cannot name a file: what() says why, for the host's log window.
class TNameError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A plug-in path from the host as UTF-8 (a null pointer counts as empty). Throws TNameError for a
// wide name with an unpaired surrogate or a U+FFFD (which stands for bytes of a device's name that
// were not UTF-8, so the name cannot be typed back), and for an ANSI name on Windows that holds a
// "?" (which stands for a character the ANSI code page lacks).
std::string RemoteNameFromHost(const char* Name);
std::string RemoteNameFromHost(const WCHAR* Name);
// A local path from the host as UTF-8. Throws TNameError for a wide name with an unpaired
// surrogate, which no UTF-8 path can name.
std::string LocalNameFromHost(const char* Name);
std::string LocalNameFromHost(const WCHAR* Name);

// Writable, NUL-terminated copies of Text for the host's callbacks: in the ANSI code page (a
// character it lacks as "?") or in UTF-16 (text that is not UTF-8 as U+FFFD).
std::vector<char> AnsiHostBuffer(const std::string& Text);
std::vector<WCHAR> WideHostBuffer(const std::string& Text);

// Copies Name into a find data's cFileName: cut to 259 characters (never inside a character) and
// NUL-terminated, in the ANSI code page or in UTF-16.
void CopyFindDataName(const std::string& Name, char (&Target)[MAX_PATH]);
void CopyFindDataName(const std::string& Name, WCHAR (&Target)[MAX_PATH]);
