// The input of the device dialogue target, read by the target and written by the seed recorder:
// which device, which operations on which paths, and what the device answers, one segment per
// opening of the port and per write of the host.
//
//   byte 0        bit 0: 0 PortaPack, 1 Flipper Zero; bits 1-2: number of operations - 1
//   one byte per operation (see TOperation)
//   segments      separated by kSegmentSeparator; the first answers the first opening of the
//                 port, each further one the next opening or write, in the order they happen.
//                 Once they run out, the device is silent.
//
// A segment is a header byte and the bytes the device sends. Header bits:
//   bit 0      the device echoes the write first, as its shell does (CR as CR LF, LF dropped)
//   bits 1-3   delay before the answer: kDelaysMs
//   bits 4-5   delivery: whole; a byte each ms; pieces of 16 bytes 60 ms apart (longer than the
//              port's 50 ms read interval); a byte each 45 ms (never a gap of 50 ms, yet slower
//              than any answer should be)
//   bit 6      the write is cut short: the line takes half of its bytes
//   bit 7      the device goes away after the answer (the next opening of the port fails)
// A header of 0 is the plain case: no echo added, no delay, whole, every byte taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "MemoryLine.h"

namespace fuzz {

const std::string kSegmentSeparator = "\xFF\xFF";
constexpr uint32_t kDelaysMs[8] = {0, 5, 40, 120, 600, 2600, 5200, 16000};

enum class TOperationKind : uint8_t {
  List,
  Probe,  // ProbePath, the existence test before a write
  Get,
  Put,
  Delete,
  MakeDir,
  Rename,
  Size,  // GetFileSize
};

// One operation byte: bits 0-2 the kind, bits 3-4 the path, bits 5-6 the size of an upload or
// the target of a rename, bit 7 the host answers "abort" at the first progress call.
struct TOperation {
  TOperationKind Kind = TOperationKind::List;
  uint8_t Path = 0;
  uint8_t Second = 0;
  bool Abort = false;

  static TOperation FromByte(uint8_t Byte) {
    TOperation op;
    op.Kind = static_cast<TOperationKind>(Byte & 7);
    op.Path = static_cast<uint8_t>((Byte >> 3) & 3);
    op.Second = static_cast<uint8_t>((Byte >> 5) & 3);
    op.Abort = (Byte & 0x80) != 0;
    return op;
  }
  uint8_t ToByte() const {
    return static_cast<uint8_t>(static_cast<uint8_t>(Kind) | (Path << 3) | (Second << 5) |
                                (Abort ? 0x80 : 0));
  }
};

// The paths of the operations, by device: folders for listing and making folders, files for the
// others (the last one missing on the simulators' cards), and the targets of renames (the third
// differs from a file's name only in letter case).
inline const char* FolderPath(bool Flipper, uint8_t Index) {
  static const char* const kPortapack[4] = {"/", "/APPS", "/EMPTY", "/new dir"};
  static const char* const kFlipper[4] = {"/ext", "/ext/subghz", "/int", "/ext/new dir"};
  return (Flipper ? kFlipper : kPortapack)[Index & 3];
}
inline const char* FilePath(bool Flipper, uint8_t Index) {
  static const char* const kPortapack[4] = {"/sample.txt", "/my file.txt", "/big.bin", "/new.txt"};
  static const char* const kFlipper[4] = {"/ext/sample.txt", "/ext/subghz/My Garage.sub",
                                          "/int/big.bin", "/ext/new.sub"};
  return (Flipper ? kFlipper : kPortapack)[Index & 3];
}
inline const char* RenameTarget(bool Flipper, uint8_t Index) {
  static const char* const kPortapack[4] = {"/renamed.txt", "/APPS/app2.bin", "/SAMPLE.TXT",
                                            "/new dir/x.txt"};
  static const char* const kFlipper[4] = {"/ext/renamed.txt", "/int/moved.txt", "/ext/SAMPLE.TXT",
                                          "/ext/new dir/x.sub"};
  return (Flipper ? kFlipper : kPortapack)[Index & 3];
}
// Sizes of the local files an upload sends: empty, one byte, one Flipper download chunk and a bit,
// and more than one block of either device.
constexpr int64_t kUploadSizes[4] = {0, 1, 600, 40000};

struct TDialogueScript {
  bool Flipper = false;
  std::vector<TOperation> Operations;  // one to four
  std::vector<std::string> Segments;   // each: header byte, then the device's bytes

  static TDialogueScript Read(const uint8_t* Data, size_t Size) {
    TDialogueScript script;
    const uint8_t first = Size > 0 ? Data[0] : 0;
    script.Flipper = (first & 1) != 0;
    const size_t count = 1 + ((first >> 1) & 3);
    size_t at = 1;
    for (size_t i = 0; i < count; ++i, ++at)
      script.Operations.push_back(TOperation::FromByte(at < Size ? Data[at] : 0));
    if (at < Size) {
      const std::string rest(reinterpret_cast<const char*>(Data) + at, Size - at);
      size_t start = 0;
      for (;;) {
        const size_t end = rest.find(kSegmentSeparator, start);
        script.Segments.push_back(rest.substr(start, end - start));
        if (end == std::string::npos) break;
        start = end + kSegmentSeparator.size();
      }
    }
    return script;
  }

  std::string Write() const {
    std::string out(1, static_cast<char>((Flipper ? 1 : 0) | ((Operations.size() - 1) & 3) << 1));
    for (const TOperation& op : Operations) out.push_back(static_cast<char>(op.ToByte()));
    for (size_t i = 0; i < Segments.size(); ++i) {
      if (i > 0) out += kSegmentSeparator;
      out += Segments[i];
    }
    return out;
  }
};

// A device that answers from a script's segments.
class TScriptedDevice : public TDeviceSide {
 public:
  explicit TScriptedDevice(const std::vector<std::string>& Segments) : Segments_(Segments) {}

  bool Opened(TAnswer& Greeting) override {
    if (Away_) {
      Away_ = false;  // it is back for the opening after this one
      return false;
    }
    size_t accepted = 0;
    Greeting = Next(std::string(), accepted);
    return true;
  }

  TAnswer Written(const std::string& Data, size_t& Accepted) override {
    return Next(Data, Accepted);
  }

  void Closed() override {}

 private:
  TAnswer Next(const std::string& Data, size_t& Accepted) {
    TAnswer answer;
    if (Index_ >= Segments_.size()) return answer;
    const std::string& segment = Segments_[Index_++];
    const uint8_t header = segment.empty() ? 0 : static_cast<uint8_t>(segment[0]);
    if (header & 0x40) Accepted /= 2;
    if (header & 0x01) {
      for (size_t i = 0; i < Accepted; ++i) {
        if (Data[i] == '\r')
          answer.Bytes += "\r\n";
        else if (Data[i] != '\n')
          answer.Bytes += Data[i];
      }
    }
    if (segment.size() > 1) answer.Bytes.append(segment, 1, std::string::npos);
    answer.DelayMs = kDelaysMs[(header >> 1) & 7];
    static const struct {
      size_t Size;
      uint32_t GapMs;
    } kDeliveries[4] = {{0, 0}, {1, 1}, {16, 60}, {1, 45}};
    answer.PieceSize = kDeliveries[(header >> 4) & 3].Size;
    answer.PieceGapMs = kDeliveries[(header >> 4) & 3].GapMs;
    answer.GoneAfter = (header & 0x80) != 0;
    if (answer.GoneAfter) Away_ = true;
    return answer;
  }

  const std::vector<std::string>& Segments_;
  size_t Index_ = 0;
  bool Away_ = false;
};

}  // namespace fuzz
