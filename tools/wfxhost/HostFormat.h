// Texts the command-line host prints: the names of result codes and callback constants, sizes,
// file times and plug-in strings made printable on one line. Pure functions, same output on all
// three builds.
#pragma once

#include <cstdint>
#include <string>

namespace wfxhost {

// "FS_FILE_OK" ... "FS_FILE_EXISTSRESUMEALLOWED"; anything else as "42 (unknown result)".
std::string FileResultName(int result);
// "FS_EXEC_OK", "FS_EXEC_ERROR", "FS_EXEC_YOURSELF", "FS_EXEC_SYMLINK"; else "42 (unknown result)".
std::string ExecResultName(int result);
// FsGetBackgroundFlags' answer as "7 (BG_DOWNLOAD|BG_UPLOAD|BG_ASK_USER)"; "0" for none.
std::string BackgroundFlagsName(int flags);
// "FALSE" for 0, "TRUE" for 1, "TRUE (256)" for any other non-zero value (hosts read any non-zero
// BOOL as true, but a plug-in returning something other than 1 is worth seeing).
std::string BoolResultName(int32_t result);
// MSGTYPE_* without the prefix ("DETAILS"), "?" when unknown.
std::string LogTypeName(int msgType);
// RT_* without the prefix ("MsgOK", "UserName"), "?" when unknown.
std::string RequestTypeName(int requestType);
// True for the request types that ask for a text (RT_Other ... RT_URL).
bool IsInputRequest(int requestType);
// The Windows error name of a last-error value ("ERROR_NO_MORE_FILES"), or "" when not known.
std::string LastErrorName(uint32_t code);
// A FILETIME (100-ns units since 1601-01-01 UTC) as "2024-01-02T03:04:05Z"; "-" for 0 and for
// the "no time" marker 0xFFFFFFFF:0xFFFFFFFE.
std::string FormatFileTime(uint32_t low, uint32_t high);
uint64_t CombineSize(uint32_t low, uint32_t high);
// Control characters as \r, \n, \t or \xNN so that each printed item stays on one line; a null
// pointer as "(null)". Other bytes (backslashes, UTF-8) pass unchanged.
std::string Printable(const char* text);
std::string Printable(const std::string& text);
// A command argument as it would be typed: in double quotes when it is empty or holds a blank.
std::string QuoteArgument(const std::string& argument);

}  // namespace wfxhost
