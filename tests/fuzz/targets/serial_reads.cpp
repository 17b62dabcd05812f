// The serial port's reads over the memory line, against what each promises. Input: a control
// piece, then (separated by "\xFF\xFF") the text a prompt must follow, the markers, and last the
// bytes the device sends, which arrive in pieces of a size the control piece chooses, 1 ms apart.
// Control byte 0 chooses the read: ReadUntil (the prompts), ReadLine, ReadExact or Drain.
#include <algorithm>
#include <string>
#include <vector>

#include "FuzzCheck.h"
#include "MemoryLine.h"
#include "serial/uSerial.h"
#include "util/uStrUtils.h"

namespace {

// Reads hand over at most this many bytes at a time (the port's read buffer).
constexpr size_t kReadBuffer = 1024;
constexpr size_t kMaxData = 8000;

class TOneAnswer : public fuzz::TDeviceSide {
 public:
  explicit TOneAnswer(fuzz::TAnswer Answer) : Answer_(std::move(Answer)) {}
  bool Opened(fuzz::TAnswer& Greeting) override {
    Greeting = Answer_;
    return true;
  }
  fuzz::TAnswer Written(const std::string&, size_t&) override { return {}; }
  void Closed() override {}

 private:
  fuzz::TAnswer Answer_;
};

// Where a read that stops at the end of each arrival stops: after every piece, and within a
// piece after every kReadBuffer bytes.
std::vector<size_t> ReadEnds(size_t Size, size_t PieceSize) {
  std::vector<size_t> ends;
  const size_t piece = PieceSize == 0 ? Size : PieceSize;
  for (size_t start = 0; start < Size; start += piece)
    for (size_t at = start; at < std::min(Size, start + piece);)
      ends.push_back(at = std::min({Size, start + piece, at + kReadBuffer}));
  return ends;
}

void CheckReadUntil(TSerialPort& Port, const std::string& After,
                    const std::vector<std::string>& Markers, const std::string& Sent,
                    size_t PieceSize) {
  std::string data;
  int32_t index = -2;
  const bool found = Port.ReadUntil(Markers, 10000, data, index, After);
  // Where the reference says the read ends: at the first read end by which a marker has come
  // whole behind the first occurrence of After.
  size_t base = 0;
  bool afterSeen = true;
  if (!After.empty()) {
    const size_t at = Sent.find(After);
    afterSeen = at != std::string::npos;
    base = afterSeen ? at + After.size() : 0;
  }
  int32_t expectedIndex = -1;
  size_t expectedEnd = Sent.size();
  if (afterSeen && !Markers.empty()) {
    for (size_t end : ReadEnds(Sent.size(), PieceSize)) {
      if (end < base) continue;
      for (size_t i = 0; i < Markers.size() && expectedIndex < 0; ++i) {
        const std::string& marker = Markers[i];
        if (marker.empty() || marker.size() > end) continue;
        const size_t at = Sent.substr(0, end).find(marker, base);
        if (at != std::string::npos) expectedIndex = static_cast<int32_t>(i);
      }
      if (expectedIndex >= 0) {
        expectedEnd = end;
        break;
      }
    }
  }
  if (Markers.empty()) expectedEnd = 0;
  FUZZ_CHECK(found == (expectedIndex >= 0) && index == expectedIndex,
             "ReadUntil matched marker " + std::to_string(index) + ", expected " +
                 std::to_string(expectedIndex));
  FUZZ_CHECK(data == Sent.substr(0, expectedEnd),
             "ReadUntil stopped after " + std::to_string(data.size()) + " bytes, expected " +
                 std::to_string(expectedEnd));
}

void CheckReadLine(TSerialPort& Port, const std::string& Sent) {
  TAnsiStringArray expected = SplitLines(Sent, false);
  const bool endsWithLine = !Sent.empty() && (Sent.back() == '\r' || Sent.back() == '\n');
  std::string partial;
  if (!endsWithLine && !expected.empty()) {
    partial = expected.back();
    expected.pop_back();
  }
  std::string line;
  for (const std::string& want : expected) {
    FUZZ_CHECK(Port.ReadLine(10000, line), "ReadLine missed a line");
    FUZZ_CHECK(line == want, "ReadLine read " + fuzz::Shown(line) + " for " + fuzz::Shown(want));
  }
  FUZZ_CHECK(!Port.ReadLine(10000, line), "ReadLine read a line that was not sent");
  FUZZ_CHECK(line == partial, "ReadLine lost the bytes of an unfinished line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
  std::vector<std::string> pieces = fuzz::SplitInput(Data, Size, "\xFF\xFF");
  const std::string control = fuzz::Piece(pieces, 0) + std::string(3, '\0');
  const std::string after = pieces.size() > 2 ? pieces[1] : std::string();
  std::vector<std::string> markers;
  for (size_t i = 2; i + 1 < pieces.size(); ++i) markers.push_back(pieces[i]);
  if (pieces.size() <= 3) markers = {"\r\nch> ", "ch>"};
  const std::string sent = pieces.back().substr(0, kMaxData);

  fuzz::TAnswer answer;
  answer.Bytes = sent;
  answer.DelayMs = 1;  // after the purge of the port's opening
  answer.PieceSize = static_cast<uint8_t>(control[1]) % 65;
  answer.PieceGapMs = 1;
  TOneAnswer device(answer);
  fuzz::AttachDevice(&device);
  {
    TSerialPort port;
    FUZZ_CHECK(port.Open("ttyFUZZ0", 115200), "the memory line did not open");
    switch (static_cast<uint8_t>(control[0]) % 4) {
      case 0:
        CheckReadUntil(port, after, markers, sent, answer.PieceSize);
        break;
      case 1:
        CheckReadLine(port, sent);
        break;
      case 2: {
        const size_t count = static_cast<uint8_t>(control[2]) * size_t{7};
        std::string data;
        const bool ok = port.ReadExact(static_cast<int32_t>(count), 10000, data);
        FUZZ_CHECK(ok == (count <= sent.size()), "ReadExact's result");
        FUZZ_CHECK(data == sent.substr(0, count), "ReadExact's bytes");
        break;
      }
      case 3: {
        std::string data;
        port.Drain(data, 100);
        FUZZ_CHECK(sent.compare(0, data.size(), data) == 0, "Drain's bytes");
        break;
      }
    }
  }
  fuzz::AttachDevice(nullptr);
  return 0;
}
