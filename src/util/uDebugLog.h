// The debug log file that every layer writes to (devices and the registry too, so it lives at the
// bottom beside the byte-string helpers): quarnel.log in the temporary directory, one
// time-stamped line per call, opened, appended and closed each time so that nothing is lost.
#pragma once

#include <cstdint>
#include <string>

// Appends "hh:mm:ss.mmm  Line" and CR LF; the file is UTF-8 (see the definition).
void DebugLog(const std::string& Line);
// Appends a line describing a buffer: its size, up to 48 bytes in hex and as printable text.
void DebugLogData(const std::string& Label, const void* Buffer, int32_t Count);
// The log file's path (computed at the first use of any log routine).
std::string DebugLogPath();
// Releases the log's state at the unload; a later line would set it up afresh.
void ReleaseDebugLog();

// The path rule: quarnel.log in the temporary directory, with a separator added where the
// directory does not end in one; C:\quarnel.log (Windows) or /tmp/quarnel.log when the system
// names no temporary directory.
std::string DebugLogPathFor(const std::string& TempDirectory, char Separator);

// The text DebugLogData writes, without the time stamp.
std::string FormatDataLine(const std::string& Label, const void* Buffer, int32_t Count);
