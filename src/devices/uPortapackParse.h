// The PortaPack driver's pure side: how the Mayhem shell's answers are taken apart (prompts,
// echo, listing lines, size lines, block confirmations) and which command lines the shell cannot
// take as typed. Free functions over byte strings, so they are tested and fuzzed without a port.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "devices/uDeviceTypes.h"

namespace portapack {

// The ChibiOS shell reads a line into a 64-byte buffer and splits it into at most six arguments
// after the command name. Names travel as UTF-8 both ways, so the limit counts bytes.
constexpr size_t kMaxLineLength = 63;
constexpr size_t kMaxArguments = 6;

// The prompt variants that end a command's answer; the order decides the reported index.
const std::vector<std::string>& PromptMarkers();

// The prompt after a raw block ("ch> ", "ch>").
const std::vector<std::string>& BlockPromptMarkers();

// The body of an answer: its lines trimmed, without the echo of Cmd, without prompts (also a
// prompt followed by the echo on one line), without lines starting with ESC and without blank
// lines, joined by LF.
std::string ExtractBody(const std::string& Response, const std::string& Cmd);

// The body holds "ERROR", "FAIL" or "INVALID" in any letter case.
bool HasErrorWord(const std::string& Body);
// The body is one of the shell's answers that mean the command ran not at all or on nothing:
// a usage line, "too many arguments", "file already open", "no open file", or "Cmd ?" (unknown
// command). None of them holds an error word, yet none of them did what was asked.
bool IsRefusal(const std::string& Body, const std::string& Cmd);

// One line of an "ls" answer.
enum class TListLineKind {
  Blank,    // nothing but whitespace
  Error,    // holds "ERROR" or "NOT FOUND": the listing failed
  Usage,    // begins with "USAGE" (any case): ignored
  Dropped,  // parses to an empty name, "." or ".."
  Entry,    // a directory entry
};
struct TListLine {
  TListLineKind Kind = TListLineKind::Blank;
  std::string Line;  // the line trimmed
  TShellFileEntry Entry;
};
// Folders are "name/" or "d name"; a file may carry its size after the last blank or tab
// ("my file.txt 1234"); anything else is a file of size 0 named by the whole line.
TListLine ParseListLine(const std::string& RawLine);
// The entry as the shell's own "ls" writes it: "name/" for a folder, "name" for a file.
TShellFileEntry PlainEntry(const std::string& Line);
// ParseListLine read the line as something other than its plain name (an error or usage line, a
// "d " folder, a trailing size): a real name such as "errors.log", "d 1.txt" or "Take 2" reads
// so too, so the device is asked whether the plain name exists before the line is taken so.
bool NeedsNameCheck(const TListLine& Parsed);

// A "filesize" answer: the first line that is a number >= 0, unless a line holding "ERROR"
// comes first.
enum class TSizeAnswerKind { Size, Error, None };
struct TSizeAnswer {
  TSizeAnswerKind Kind = TSizeAnswerKind::None;
  int64_t Size = 0;
  std::string ErrorLine;  // the trimmed line, for Error
};
TSizeAnswer ParseSizeAnswer(const std::string& Body);

// A "crc32" answer: its value ("CRC32: 0x" and 8 hexadecimal digits), the shell's "crc32 ?" of
// firmware that has no such command (before Mayhem 2.0.1), or anything else (an error line, no
// answer).
enum class TCrcAnswerKind { Value, UnknownCommand, Other };
TCrcAnswerKind ParseCrcAnswer(const std::string& Body, uint32_t& Value);

// The FatFs result number in the file commands' error line ("Error calling delete_file: 4 no
// file" gives 4), or -1 for any other line.
int ErrorResult(const std::string& Line);
constexpr int kNoFile = 4;
constexpr int kNoPath = 5;

// Why the card cannot hold a name of Path, or empty: FAT names take no " * : < > ? | (nor a
// backslash, which the plug-in's paths use as a separator). Opening such a name fails, and a
// failed open keeps the device's only file slot busy until it reboots.
std::string CardNameProblem(const std::string& Path);

// Text the shell sent after a command ran out of time says it now reads upload payload: a "send
// <n> bytes" line after its last prompt. Whatever is typed then becomes file content.
bool WaitsForPayload(const std::string& Text);

// Why the shell cannot take Line as typed so that it acts on the path in it, or empty when it
// can. The shell splits a line at blanks and joins the words of a path with single blanks again,
// so two blanks in a row would become one and a blank at the end would be lost; it cuts a line
// after 63 bytes without a word; and it refuses more than six arguments after the command
// and does nothing. Each of these would act on another file or not at all.
std::string CommandLineProblem(const std::string& Line);

// A line before an upload block's payload says the device is ready ("send <n> bytes").
bool SaysSend(const std::string& Line);
// The text between a raw block and the prompt confirms the block: the device ends a
// complete block with an "ok" line and leaves it out after a short read or an error.
bool BlockConfirmed(const std::string& Tail);

// Parent folder and last name of a normalised remote path ("/a/b" gives "/a" and "b").
std::string ParentPath(const std::string& Path);
std::string BaseName(const std::string& Path);
// Two names (or normalised paths) name the same entry on the card: FAT compares UTF-8 names
// without regard to letter case (ASCII, Latin, Greek and Cyrillic letters; see CardNameKey) and
// drops trailing dots and blanks of each name.
bool SameNameOnCard(const std::string& A, const std::string& B);

}  // namespace portapack
