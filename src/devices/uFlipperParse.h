// The Flipper Zero's command-line answers taken apart, as pure functions over byte strings: the
// cleaning of an answer, one line of a "storage list", the size in a "storage stat" answer, what
// "device_info" and "storage info" say about the device, and how a path must look to be typed
// into a storage command.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "devices/uDeviceTypes.h"

namespace flipper {

// The answer to Cmd without its echo (a line equal to Cmd once both are trimmed), bare prompts
// (">:" or ":"), blank lines and lines that begin with ESC (colour codes). The lines that stay
// keep their own blanks and are joined with LF.
std::string CleanResponse(const std::string& Response, const std::string& Cmd);

// True when a raw answer reached a prompt: every prompt form contains ">:", and an answer
// without one ran into its time-out (the device is silent, busy or gone).
bool HasPrompt(const std::string& Response);

// One line of a cleaned "storage list" answer, classified in the order the listing tests it.
enum class TListLineKind {
  Blank,         // nothing but whitespace
  StorageError,  // "storage error" anywhere, any case: the listing fails with the line
  Error,         // begins with "error", any case: the listing fails with the line
  NoMarker,      // not "[X]" followed by at least one character ("Empty" lands here)
  NotDirOrFile,  // a marker other than "[D]" or "[F]" (lower case included)
  Entry,         // a directory or file; Entry holds it
};
struct TListLine {
  TListLineKind Kind = TListLineKind::Blank;
  std::string Text;  // the line trimmed
  TShellFileEntry Entry;
};
// A directory line "[D] name" keeps every blank of the name; a file line "[F] name 1234b" takes
// the last word as the size (trailing non-digits dropped; anything else not a plain decimal,
// a negative number included, gives 0) and the rest, trimmed, as the name. Names arrive in code
// page 850 and leave as UTF-8.
TListLine ParseListLine(const std::string& Line);

// The size in a cleaned "storage stat" answer ("File, size: 1234b").
enum class TStatKind {
  Size,    // Size holds the digits that follow the first "SIZE:" (any case)
  Error,   // a line containing "error" (any case) came first; ErrorLine holds it, trimmed
  NoSize,  // no "SIZE:" line, or the first one is not followed by a digit
};
TStatKind ParseStatAnswer(const std::string& Body, int64_t& Size, std::string& ErrorLine);

// The first line of Text that reports a storage error ("Storage error: <text>", any case), trimmed,
// in Line; false when there is none.
bool FindStorageError(const std::string& Text, std::string& Line);
// An error line says the path does not exist ("file/dir not exist"): the one answer that means
// absent.
bool SaysNotExist(const std::string& ErrorLine);
// A cleaned "storage stat" answer calls the path a folder ("Directory").
bool SaysDirectory(const std::string& Body);
// The byte count of read_chunks' size line ("Size: 1234"), or -1 when Line is not one.
int64_t ParseSizeLine(const std::string& Line);

// The lines of a cleaned "device_info" answer ("key : value", the key padded with blanks) that
// tell a user which Flipper this is and what it runs, as "Label: value" in a fixed order (name,
// model, hardware version, firmware version, branch, commit, build date, origin); empty when the
// answer has none of them.
std::vector<std::string> DescribeDeviceInfo(const std::string& Body);
// The card's size and free space from a cleaned "storage info /ext" answer ("<n>KiB total",
// "<n>KiB free"); false when either line is missing.
bool ParseStorageSpace(const std::string& Body, uint64_t& TotalKib, uint64_t& FreeKib);
// KiB as a user reads them: "512 KiB", "12.5 MiB", "29.7 GiB" (one decimal from MiB up).
std::string KibText(uint64_t Kib);
// The digest in a cleaned "storage md5" answer: the first line that is 32 hexadecimal digits,
// in lower case; false when there is none (an error line, no answer).
bool ParseMd5Answer(const std::string& Body, std::string& Digest);

// Path as one word of a storage command. Unquoted, the command line ends a path at its first
// blank and takes the rest as arguments ("storage remove /ext/My Garage.sub" removes "/ext/My"),
// so a path with a blank goes inside double quotes; there is no escape for a quote itself.
std::string QuotePath(const std::string& Path);

// Why Path cannot be typed into the Flipper's command line, or empty when it can. Besides the
// control characters that no shell takes, the command line drops bytes from 0x7F up (some even
// move its cursor), so a name with a character outside ASCII (listed from the card in code page
// 850) would reach the device as another name; and a double quote cannot stand inside a quoted
// path.
std::string PathProblem(const std::string& Path);

}  // namespace flipper
