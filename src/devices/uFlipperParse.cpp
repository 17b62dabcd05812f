// Parsers of the Flipper Zero's command-line answers (see uFlipperParse.h).
#include "devices/uFlipperParse.h"

#include <algorithm>

#include "devices/uDeviceBase.h"
#include "util/uStrUtils.h"
#include "util/uUnicode.h"

namespace flipper {

namespace {

constexpr char kEsc = 27;

bool IsDigit(char C) {
  return C >= '0' && C <= '9';
}

}  // namespace

std::string CleanResponse(const std::string& Response, const std::string& Cmd) {
  const std::string command = TrimWS(Cmd);
  std::string result;
  bool first = true;
  for (const std::string& line : SplitLines(Response, true)) {
    const std::string trimmed = TrimWS(line);
    if (trimmed.empty()) continue;
    if (!command.empty() && trimmed == command) continue;
    if (trimmed == ">:" || trimmed == ":") continue;
    if (trimmed[0] == kEsc) continue;
    if (!first) result.push_back('\n');
    result += line;
    first = false;
  }
  return result;
}

bool HasPrompt(const std::string& Response) {
  return Response.find(">:") != std::string::npos;
}

TListLine ParseListLine(const std::string& Line) {
  TListLine result;
  result.Text = TrimWS(Line);
  const std::string& text = result.Text;
  if (text.empty()) return result;
  const std::string upper = UpperAscii(text);
  std::string errorLine;
  if (FindStorageError(text, errorLine)) {
    result.Kind = TListLineKind::StorageError;
    return result;
  }
  if (upper.rfind("ERROR", 0) == 0) {
    result.Kind = TListLineKind::Error;
    return result;
  }
  if (text.size() < 4 || text[0] != '[' || text[2] != ']') {
    result.Kind = TListLineKind::NoMarker;
    return result;
  }
  if (text[1] != 'D' && text[1] != 'F') {
    result.Kind = TListLineKind::NotDirOrFile;
    return result;
  }
  result.Kind = TListLineKind::Entry;
  TShellFileEntry& entry = result.Entry;
  const std::string rest = TrimWS(text.substr(3));
  entry.IsDir = text[1] == 'D';
  size_t blank = entry.IsDir ? std::string::npos : rest.rfind(' ');
  // Names come in code page 850 (the card driver is not Unicode); inside they are UTF-8.
  if (blank == std::string::npos) {
    entry.Name = Cp850ToUtf8(rest);
    return result;
  }
  entry.Name = Cp850ToUtf8(TrimWS(rest.substr(0, blank)));
  std::string size = TrimWS(rest.substr(blank + 1));
  // The device writes sizes as "1234b": the unit goes, anything else must be a plain number. A
  // minus sign makes none either: a negative size would reach the host as some 16 EiB.
  while (!size.empty() && !IsDigit(size.back())) size.pop_back();
  entry.Size = std::max<int64_t>(StrToIntDefault(size, 0), 0);
  return result;
}

TStatKind ParseStatAnswer(const std::string& Body, int64_t& Size, std::string& ErrorLine) {
  Size = 0;
  for (const std::string& line : SplitLines(Body, true)) {
    const std::string text = TrimWS(line);
    if (text.empty()) continue;
    const std::string upper = UpperAscii(text);
    if (upper.find("ERROR") != std::string::npos) {
      ErrorLine = text;
      return TStatKind::Error;
    }
    size_t key = upper.find("SIZE:");
    if (key == std::string::npos) continue;
    const std::string value = TrimWS(text.substr(key + 5));
    size_t digits = 0;
    while (digits < value.size() && IsDigit(value[digits])) ++digits;
    Size = StrToIntDefault(value.substr(0, digits), -1);
    return Size >= 0 ? TStatKind::Size : TStatKind::NoSize;
  }
  return TStatKind::NoSize;
}

bool FindStorageError(const std::string& Text, std::string& Line) {
  for (const std::string& piece : SplitLines(Text, true)) {
    if (Contains(UpperAscii(piece), "STORAGE ERROR")) {
      Line = TrimWS(piece);
      return true;
    }
  }
  return false;
}

bool SaysNotExist(const std::string& ErrorLine) {
  return Contains(UpperAscii(ErrorLine), "FILE/DIR NOT EXIST");
}

bool SaysDirectory(const std::string& Body) {
  for (const std::string& line : SplitLines(Body, true))
    if (TrimWS(line) == "Directory") return true;
  return false;
}

bool ParseMd5Answer(const std::string& Body, std::string& Digest) {
  for (const std::string& piece : SplitLines(Body, true)) {
    std::string line = TrimWS(piece);
    if (!IsHexDigits(line, 32)) continue;
    for (char& c : line)
      if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    Digest = line;
    return true;
  }
  return false;
}

int64_t ParseSizeLine(const std::string& Line) {
  const std::string text = TrimWS(Line);
  if (text.rfind("Size: ", 0) != 0) return -1;
  const std::string digits = text.substr(6);
  if (digits.empty() || digits.size() > 18) return -1;
  for (char c : digits)
    if (!IsDigit(c)) return -1;
  return StrToIntDefault(digits, -1);
}

std::vector<std::string> DescribeDeviceInfo(const std::string& Body) {
  static const struct {
    const char* Key;
    const char* Label;
  } kShown[] = {
      {"hardware_name", "Name"},
      {"hardware_model", "Model"},
      {"hardware_ver", "Hardware version"},
      {"firmware_version", "Firmware version"},
      {"firmware_branch", "Firmware branch"},
      {"firmware_commit", "Firmware commit"},
      {"firmware_build_date", "Firmware built"},
      {"firmware_origin_fork", "Firmware origin"},
  };
  std::vector<std::pair<std::string, std::string>> rows;
  for (const std::string& line : SplitLines(Body, true)) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    rows.emplace_back(TrimWS(line.substr(0, colon)), TrimWS(line.substr(colon + 1)));
  }
  std::vector<std::string> lines;
  for (const auto& shown : kShown) {
    for (const auto& [key, value] : rows) {
      if (key != shown.Key || value.empty()) continue;
      lines.push_back(std::string(shown.Label) + ": " + value);
      break;
    }
  }
  return lines;
}

namespace {

// The number before "KiB <Word>" on a line of its own; false when no line reads so.
bool KibBefore(const std::string& Body, const std::string& Word, uint64_t& Kib) {
  const std::string suffix = "KiB " + Word;
  for (const std::string& line : SplitLines(Body, true)) {
    const std::string text = TrimWS(line);
    if (text.size() <= suffix.size() ||
        text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
      continue;
    const std::string digits = TrimWS(text.substr(0, text.size() - suffix.size()));
    if (digits.empty() || digits.size() > 15 ||
        digits.find_first_not_of("0123456789") != std::string::npos)
      continue;
    Kib = std::stoull(digits);
    return true;
  }
  return false;
}

}  // namespace

bool ParseStorageSpace(const std::string& Body, uint64_t& TotalKib, uint64_t& FreeKib) {
  return KibBefore(Body, "total", TotalKib) && KibBefore(Body, "free", FreeKib);
}

std::string KibText(uint64_t Kib) {
  if (Kib < 1024) return std::to_string(Kib) + " KiB";
  const bool gib = Kib >= 1024 * 1024;
  const uint64_t scale = gib ? 1024 * 1024 : 1024;
  const uint64_t tenths = (Kib * 10 + scale / 2) / scale;  // rounded to one decimal
  return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + (gib ? " GiB" : " MiB");
}

std::string QuotePath(const std::string& Path) {
  if (Path.find(' ') == std::string::npos) return Path;
  return "\"" + Path + "\"";
}

std::string PathProblem(const std::string& Path) {
  std::string reason = TShellDevice::UnsafePathReason(Path);
  if (!reason.empty()) return reason;
  const std::string nonAscii = FirstNonAscii(Path);
  if (!nonAscii.empty())
    return "Cannot use \"" + ValidUtf8(Path) + "\" on the Flipper: its command line cannot take " +
           "characters outside ASCII (\"" + ValidUtf8(nonAscii) + "\"), it drops them or takes " +
           "them for cursor keys; rename the file on the Flipper itself or on its SD card";
  if (Path.find('"') != std::string::npos)
    return "Path contains a double quote, which the Flipper's command line cannot take";
  return {};
}

}  // namespace flipper
