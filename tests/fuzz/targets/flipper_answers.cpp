// The Flipper Zero's answers as the driver takes them apart. Input: the command line, the
// separator "\xFF\xFF", then the raw answer: the cleaned answer, the prompt test, each listing
// line, the stat answer, the md5 answer, storage errors, and the read_chunks size line.
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "devices/uFlipperParse.h"
#include "util/uStrUtils.h"

namespace {

constexpr char kEsc = 27;

void CheckClean(const std::string& Clean, const std::string& Cmd) {
  const std::string command = TrimWS(Cmd);
  for (const std::string& line : SplitLines(Clean, false)) {
    const std::string trimmed = TrimWS(line);
    FUZZ_CHECK(!trimmed.empty(), "a blank line in a cleaned answer");
    FUZZ_CHECK(trimmed[0] != kEsc, "a colour-code line in a cleaned answer");
    FUZZ_CHECK(command.empty() || trimmed != command, "the echo left in a cleaned answer");
    FUZZ_CHECK(trimmed != ">:" && trimmed != ":", "a bare prompt left in a cleaned answer");
  }
}

void CheckListLine(const std::string& Line) {
  const flipper::TListLine parsed = flipper::ParseListLine(Line);
  FUZZ_CHECK(parsed.Text == TrimWS(Line), "a listing line not kept trimmed");
  FUZZ_CHECK((parsed.Kind == flipper::TListLineKind::Blank) == parsed.Text.empty(),
             "blank and empty disagree");
  if (parsed.Kind != flipper::TListLineKind::Entry) return;
  const TShellFileEntry& entry = parsed.Entry;
  FUZZ_CHECK(entry.Size >= 0, "a negative size from " + fuzz::Shown(Line));
  FUZZ_CHECK(!entry.IsDir || entry.Size == 0, "a folder with a size");
  FUZZ_CHECK(!entry.Name.empty() && entry.Name == TrimWS(entry.Name),
             "a listing entry named " + fuzz::Shown(entry.Name));
}

void CheckStat(const std::string& Body) {
  int64_t size = -1;
  std::string errorLine;
  switch (flipper::ParseStatAnswer(Body, size, errorLine)) {
    case flipper::TStatKind::Size:
      FUZZ_CHECK(size >= 0, "a negative stat size");
      break;
    case flipper::TStatKind::Error:
      FUZZ_CHECK(Contains(UpperAscii(errorLine), "ERROR"), "an error line without error");
      flipper::SaysNotExist(errorLine);
      break;
    case flipper::TStatKind::NoSize:
      break;
  }
  flipper::SaysDirectory(Body);
}

// A digest is 32 hexadecimal digits in lower case, a line of the answer but for letter case.
void CheckMd5(const std::string& Body) {
  std::string digest;
  if (!flipper::ParseMd5Answer(Body, digest)) return;
  FUZZ_CHECK(
      digest.size() == 32 && digest.find_first_not_of("0123456789abcdef") == std::string::npos,
      "a digest " + fuzz::Shown(digest));
  bool found = false;
  for (const std::string& line : SplitLines(Body, true))
    found = found || UpperAscii(TrimWS(line)) == UpperAscii(digest);
  FUZZ_CHECK(found, "a digest that is no line of " + fuzz::Shown(Body));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string& cmd = fuzz::Piece(pieces, 0);
  const std::string& response = fuzz::Piece(pieces, 1);

  flipper::HasPrompt(response);
  const std::string clean = flipper::CleanResponse(response, cmd);
  CheckClean(clean, cmd);
  for (const std::string& line : SplitLines(clean, true)) CheckListLine(line);
  CheckStat(clean);
  CheckMd5(clean);
  std::string errorLine;
  if (flipper::FindStorageError(response, errorLine))
    FUZZ_CHECK(Contains(UpperAscii(errorLine), "STORAGE ERROR"),
               "a storage error without its words");
  for (const std::string& line : SplitLines(response, false)) {
    const int64_t size = flipper::ParseSizeLine(line);
    FUZZ_CHECK(size >= -1, "a size line below -1");
    if (size >= 0)
      FUZZ_CHECK(
          TrimWS(line) == "Size: " + std::to_string(size) || TrimWS(line).rfind("Size: 0", 0) == 0,
          "a size line read as " + std::to_string(size));
  }
  return 0;
}
