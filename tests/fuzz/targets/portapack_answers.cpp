// The PortaPack's answers as the driver takes them apart. Input: the command line, the separator
// "\xFF\xFF", then the raw answer. Everything the driver does with an answer runs here: the body
// without echo and prompts, the error and refusal tests, each listing line, the size answer, the
// FatFs result of an error line, the checksum answer, the prompt markers and the block and upload
// texts.
#include <cstdio>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "devices/uPortapackParse.h"
#include "serial/uSerial.h"
#include "util/uStrUtils.h"

namespace {

constexpr char kEsc = 27;

void CheckBody(const std::string& Body, const std::string& Cmd) {
  const std::string command = TrimWS(Cmd);
  for (const std::string& line : SplitLines(Body, false)) {
    FUZZ_CHECK(!line.empty(), "a blank line in a body");
    FUZZ_CHECK(line == TrimWS(line), "an untrimmed line in a body: " + fuzz::Shown(line));
    FUZZ_CHECK(line[0] != kEsc, "a colour-code line in a body");
    FUZZ_CHECK(command.empty() || line != command, "the echo left in a body");
  }
}

void CheckListLine(const std::string& Raw) {
  const portapack::TListLine parsed = portapack::ParseListLine(Raw);
  FUZZ_CHECK(parsed.Line == TrimWS(Raw), "a listing line not kept trimmed");
  FUZZ_CHECK((parsed.Kind == portapack::TListLineKind::Blank) == parsed.Line.empty(),
             "blank and empty disagree");
  if (parsed.Kind == portapack::TListLineKind::Entry) {
    const TShellFileEntry& entry = parsed.Entry;
    FUZZ_CHECK(!entry.Name.empty() && entry.Name != "." && entry.Name != "..",
               "a listing entry named " + fuzz::Shown(entry.Name));
    FUZZ_CHECK(entry.Size >= 0, "a negative size from " + fuzz::Shown(Raw));
    FUZZ_CHECK(!entry.IsDir || entry.Size == 0, "a folder with a size");
  }
  const TShellFileEntry plain = portapack::PlainEntry(parsed.Line);
  FUZZ_CHECK(plain.Name + (plain.IsDir ? "/" : "") == parsed.Line,
             "the plain entry does not give its line back");
  portapack::NeedsNameCheck(parsed);
}

void CheckSize(const std::string& Body) {
  const portapack::TSizeAnswer answer = portapack::ParseSizeAnswer(Body);
  if (answer.Kind == portapack::TSizeAnswerKind::Size)
    FUZZ_CHECK(answer.Size >= 0, "a negative file size");
  if (answer.Kind == portapack::TSizeAnswerKind::Error)
    FUZZ_CHECK(Contains(UpperAscii(answer.ErrorLine), "ERROR"), "an error line without ERROR");
}

// A checksum's value comes from a line "CRC32: 0x" and eight hexadecimal digits that spell it.
void CheckCrc(const std::string& Body) {
  uint32_t value = 0;
  if (portapack::ParseCrcAnswer(Body, value) != portapack::TCrcAnswerKind::Value) return;
  char spelt[16];
  std::snprintf(spelt, sizeof spelt, "0X%08X", static_cast<unsigned>(value));
  FUZZ_CHECK(UpperAscii(Body).find(std::string("CRC32: ") + spelt) != std::string::npos,
             "a checksum " + std::string(spelt) + " not in " + fuzz::Shown(Body));
}

// The first marker (in the list's order) found anywhere in Data, or -1.
int32_t FirstMarkerAnywhere(const std::string& Data, const std::vector<std::string>& Markers) {
  for (size_t i = 0; i < Markers.size(); ++i)
    if (!Markers[i].empty() && Data.find(Markers[i]) != std::string::npos)
      return static_cast<int32_t>(i);
  return -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  const std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string& cmd = fuzz::Piece(pieces, 0);
  const std::string& response = fuzz::Piece(pieces, 1);

  const std::string body = portapack::ExtractBody(response, cmd);
  CheckBody(body, cmd);
  portapack::HasErrorWord(body);
  portapack::IsRefusal(body, cmd);
  CheckSize(body);
  CheckCrc(body);
  for (const std::string& line : SplitLines(body, true)) CheckListLine(line);
  for (const std::string& line : SplitLines(response, false)) {
    CheckListLine(line);
    const int result = portapack::ErrorResult(line);
    FUZZ_CHECK(result >= -1 && result <= 999999, "FatFs result " + std::to_string(result));
    portapack::SaysSend(line);
  }
  portapack::WaitsForPayload(response);
  portapack::BlockConfirmed(response);
  for (const auto* markers : {&portapack::PromptMarkers(), &portapack::BlockPromptMarkers()}) {
    FUZZ_CHECK(
        TSerialPort::FindMarker(response, *markers, 0) == FirstMarkerAnywhere(response, *markers),
        "FindMarker missed a prompt");
  }
  return 0;
}
