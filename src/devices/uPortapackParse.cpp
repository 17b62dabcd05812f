// Parsers and line checks of the PortaPack driver (see uPortapackParse.h).
#include "devices/uPortapackParse.h"

#include "util/uStrUtils.h"

namespace portapack {

namespace {

constexpr char kEsc = 27;

bool IsBlank(char C) {
  return C == ' ' || C == '\t';
}

bool StartsWith(const std::string& Text, const std::string& Prefix) {
  return Text.compare(0, Prefix.size(), Prefix) == 0;
}

// The words the shell makes of a line: split at blanks and tabs, runs collapsed.
std::vector<std::string> ShellWords(const std::string& Line) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < Line.size()) {
    while (i < Line.size() && IsBlank(Line[i])) ++i;
    if (i >= Line.size()) break;
    size_t end = i;
    while (end < Line.size() && !IsBlank(Line[end])) ++end;
    words.push_back(Line.substr(i, end - i));
    i = end;
  }
  return words;
}

// A name as FAT compares it: letters folded to upper case, trailing dots and blanks dropped.
std::u32string CardKey(std::string Name) {
  while (!Name.empty() && (Name.back() == '.' || Name.back() == ' ')) Name.pop_back();
  return CardNameKey(Name);
}

// The names of a path as FAT compares them, empty names (from runs of slashes) left out.
std::vector<std::u32string> CardKeys(const std::string& Path) {
  std::vector<std::u32string> keys;
  size_t start = 0;
  while (start <= Path.size()) {
    size_t end = Path.find('/', start);
    if (end == std::string::npos) end = Path.size();
    if (end > start) keys.push_back(CardKey(Path.substr(start, end - start)));
    start = end + 1;
  }
  return keys;
}

}  // namespace

const std::vector<std::string>& PromptMarkers() {
  static const std::vector<std::string> markers = {"\r\nch> ", "\r\nch>", "\rch> ",
                                                   "\rch>",    "ch> ",    "ch>"};
  return markers;
}

const std::vector<std::string>& BlockPromptMarkers() {
  static const std::vector<std::string> markers = {"ch> ", "ch>"};
  return markers;
}

std::string ExtractBody(const std::string& Response, const std::string& Cmd) {
  const std::string trimmedCmd = TrimWS(Cmd);
  auto isEcho = [&](const std::string& Line) { return !trimmedCmd.empty() && Line == trimmedCmd; };
  std::string body;
  for (const std::string& piece : SplitLines(Response, true)) {
    std::string line = TrimWS(piece);
    if (line.empty() || isEcho(line) || line == "ch>") continue;
    if (StartsWith(line, "ch> ")) {
      // The prompt of the previous exchange with this command's echo behind it.
      line = TrimWS(line.substr(4));
      if (line.empty() || isEcho(line)) continue;
    }
    if (line[0] == kEsc) continue;
    if (!body.empty()) body += '\n';
    body += line;
  }
  return body;
}

bool HasErrorWord(const std::string& Body) {
  std::string test = UpperAscii(TrimWS(Body));
  return Contains(test, "ERROR") || Contains(test, "FAIL") || Contains(test, "INVALID");
}

bool IsRefusal(const std::string& Body, const std::string& Cmd) {
  std::vector<std::string> cmdWords = ShellWords(Cmd);
  const std::string unknown = cmdWords.empty() ? std::string() : UpperAscii(cmdWords[0]) + " ?";
  for (const std::string& piece : SplitLines(Body, true)) {
    std::string line = UpperAscii(TrimWS(piece));
    if (StartsWith(line, "USAGE") || line == "TOO MANY ARGUMENTS" || line == "FILE ALREADY OPEN" ||
        line == "NO OPEN FILE" || (!unknown.empty() && line == unknown))
      return true;
  }
  return false;
}

TListLine ParseListLine(const std::string& RawLine) {
  TListLine result;
  result.Line = TrimWS(RawLine);
  const std::string& line = result.Line;
  if (line.empty()) return result;
  std::string upper = UpperAscii(line);
  if (Contains(upper, "ERROR") || Contains(upper, "NOT FOUND")) {
    result.Kind = TListLineKind::Error;
    return result;
  }
  if (StartsWith(upper, "USAGE")) {
    result.Kind = TListLineKind::Usage;
    return result;
  }
  TShellFileEntry& entry = result.Entry;
  size_t lastBlank = line.find_last_of(" \t");
  if (line.back() == '/') {
    entry.Name = TrimWS(line.substr(0, line.size() - 1));
    entry.IsDir = true;
  } else if (line.size() >= 2 && line[0] == 'd' && IsBlank(line[1])) {
    entry.Name = TrimWS(line.substr(2));
    entry.IsDir = true;
  } else if (lastBlank != std::string::npos) {
    std::string namePart = TrimWS(line.substr(0, lastBlank));
    int64_t size = StrToIntDefault(TrimWS(line.substr(lastBlank + 1)), -1);
    if (!namePart.empty() && size >= 0) {
      entry.Name = namePart;
      entry.Size = size;
    } else {
      entry.Name = line;
    }
  } else {
    entry.Name = line;
  }
  bool dropped = entry.Name.empty() || entry.Name == "." || entry.Name == "..";
  result.Kind = dropped ? TListLineKind::Dropped : TListLineKind::Entry;
  return result;
}

TShellFileEntry PlainEntry(const std::string& Line) {
  TShellFileEntry entry;
  std::string line = TrimWS(Line);
  entry.IsDir = !line.empty() && line.back() == '/';
  entry.Name = entry.IsDir ? line.substr(0, line.size() - 1) : line;
  return entry;
}

bool NeedsNameCheck(const TListLine& Parsed) {
  switch (Parsed.Kind) {
    case TListLineKind::Blank:
    case TListLineKind::Dropped:
      return false;
    case TListLineKind::Error:
    case TListLineKind::Usage:
      return true;
    case TListLineKind::Entry:
      break;
  }
  TShellFileEntry plain = PlainEntry(Parsed.Line);
  return plain.Name != Parsed.Entry.Name || plain.IsDir != Parsed.Entry.IsDir ||
         Parsed.Entry.Size != 0;
}

TSizeAnswer ParseSizeAnswer(const std::string& Body) {
  TSizeAnswer answer;
  for (const std::string& piece : SplitLines(Body, true)) {
    std::string line = TrimWS(piece);
    if (line.empty()) continue;
    if (Contains(UpperAscii(line), "ERROR")) {
      answer.Kind = TSizeAnswerKind::Error;
      answer.ErrorLine = line;
      return answer;
    }
    int64_t size = StrToIntDefault(line, -1);
    if (size >= 0) {
      answer.Kind = TSizeAnswerKind::Size;
      answer.Size = size;
      return answer;
    }
  }
  return answer;
}

TCrcAnswerKind ParseCrcAnswer(const std::string& Body, uint32_t& Value) {
  static const std::string prefix = "CRC32: 0X";
  for (const std::string& piece : SplitLines(Body, true)) {
    const std::string line = UpperAscii(TrimWS(piece));
    if (line == "CRC32 ?") return TCrcAnswerKind::UnknownCommand;
    if (StartsWith(line, prefix) && IsHexDigits(line.substr(prefix.size()), 8)) {
      Value = static_cast<uint32_t>(std::stoul(line.substr(prefix.size()), nullptr, 16));
      return TCrcAnswerKind::Value;
    }
  }
  return TCrcAnswerKind::Other;
}

int ErrorResult(const std::string& Line) {
  static const std::string prefix = "Error calling delete_file: ";
  std::string line = TrimWS(Line);
  if (!StartsWith(line, prefix)) return -1;
  size_t digits = prefix.size();
  while (digits < line.size() && line[digits] >= '0' && line[digits] <= '9') ++digits;
  if (digits == prefix.size() || digits - prefix.size() > 6) return -1;
  return static_cast<int>(StrToIntDefault(line.substr(prefix.size(), digits - prefix.size()), -1));
}

std::string CardNameProblem(const std::string& Path) {
  for (char c : Path) {
    if (c == '"' || c == '*' || c == ':' || c == '<' || c == '>' || c == '?' || c == '|' ||
        c == '\\')
      return std::string("Name contains \"") + c +
             "\", which the device's memory card cannot hold in a file or folder name: \"" + Path +
             "\"";
  }
  return {};
}

bool WaitsForPayload(const std::string& Text) {
  size_t prompt = Text.rfind("ch>");
  std::string after = UpperAscii(prompt == std::string::npos ? Text : Text.substr(prompt));
  size_t send = after.find("SEND ");
  return send != std::string::npos && after.find(" BYTES", send) != std::string::npos;
}

std::string CommandLineProblem(const std::string& Line) {
  const std::string quoted = "\"" + Line + "\"";
  if (Contains(Line, "  "))
    return "Path has two blanks in a row, which the device's shell would turn into one: " + quoted;
  if (!Line.empty() && Line.back() == ' ')
    return "Path ends with a blank, which the device's shell would drop: " + quoted;
  if (Line.size() > kMaxLineLength)
    return "Path too long for the device's shell: the command line " + quoted + " has " +
           std::to_string(Line.size()) + " bytes, the shell takes at most " +
           std::to_string(kMaxLineLength) + " (a character outside ASCII takes two to four)";
  size_t words = ShellWords(Line).size();
  if (words > kMaxArguments + 1)
    return "Path has too many blank-separated words for the device's shell: the command line " +
           quoted + " has " + std::to_string(words - 1) + " arguments, the shell takes at most " +
           std::to_string(kMaxArguments);
  return {};
}

bool SaysSend(const std::string& Line) {
  return Contains(UpperAscii(Line), "SEND");
}

bool BlockConfirmed(const std::string& Tail) {
  for (const std::string& piece : SplitLines(Tail, true))
    if (UpperAscii(TrimWS(piece)) == "OK") return true;
  return false;
}

std::string ParentPath(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return Path.substr(0, slash);
}

std::string BaseName(const std::string& Path) {
  size_t slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

bool SameNameOnCard(const std::string& A, const std::string& B) {
  return CardKeys(A) == CardKeys(B);
}

}  // namespace portapack
