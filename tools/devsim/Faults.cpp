// Fault plan of the simulator.
#include "Faults.h"

#include <algorithm>
#include <utility>

namespace devsim {

TFaults::TFaults(std::map<std::string, int> ErrorCommands, bool Noise, int64_t StallAfter,
                 int64_t DropAfter)
    : ErrorCommands_(std::move(ErrorCommands)),
      Noise_(Noise),
      StallAfter_(StallAfter),
      DropAfter_(DropAfter) {}

std::optional<int> TFaults::ErrorFor(std::string_view Command, int DefaultCode,
                                     std::string_view Path) const {
  auto It = ErrorCommands_.find(std::string(Command));
  if (It == ErrorCommands_.end() && !Path.empty()) {
    // "CMD@NAME": only for the entry NAME, the last name of the path.
    size_t Slash = Path.find_last_of('/');
    std::string_view Name = Slash == std::string_view::npos ? Path : Path.substr(Slash + 1);
    It = ErrorCommands_.find(std::string(Command) + "@" + std::string(Name));
  }
  if (It == ErrorCommands_.end()) return std::nullopt;
  return It->second < 0 ? DefaultCode : It->second;
}

uint32_t TFaults::DelayFor(std::string_view Command) const {
  auto It = SlowCommands_.find(std::string(Command));
  return It == SlowCommands_.end() ? 0 : It->second;
}

size_t TFaults::CardWrite(size_t Count) {
  if (CardFree_ < 0) return Count;
  size_t Fits = std::min<size_t>(Count, static_cast<size_t>(CardFree_));
  CardFree_ -= static_cast<int64_t>(Fits);
  return Fits;
}

bool TFaults::FlipsWithin(size_t Count) const {
  auto It = FlipBytes_.lower_bound(PayloadBytes_);
  return It != FlipBytes_.end() && *It < PayloadBytes_ + Count;
}

void TFaults::FlipPayload(char* Data, size_t Count, size_t Offset) const {
  const uint64_t First = PayloadBytes_ + Offset;
  for (auto It = FlipBytes_.lower_bound(First); It != FlipBytes_.end() && *It < First + Count; ++It)
    Data[*It - First] = static_cast<char>(~static_cast<unsigned char>(Data[*It - First]));
}

std::string TFaults::NextNoise() {
  if (!Noise_) return {};
  // Line noise and stray control bytes of the kind a flaky USB bridge produces.
  static constexpr unsigned char Pool[] = {0x00, 0xFF, 0x7E, 0x1A, 0x80, 0xAA, 0x15, 0xF0,
                                           0x11, 0x93, 0x02, 0xC3, 0x7F, 0x5E, 0xE9, 0x06};
  std::string Bytes;
  for (int I = 0; I < 3; ++I) {
    Bytes += static_cast<char>(Pool[NoiseIndex_ % sizeof(Pool)]);
    ++NoiseIndex_;
  }
  return Bytes;
}

size_t TFaults::PayloadAllowance(size_t Count, bool& Fires) const {
  Fires = false;
  int64_t Limit = -1;
  if (StallAfter_ >= 0) Limit = StallAfter_;
  if (DropAfter_ >= 0 && (Limit < 0 || DropAfter_ < Limit)) Limit = DropAfter_;
  if (Limit < 0 || Count == 0) return Count;
  uint64_t Left = static_cast<uint64_t>(Limit) > PayloadBytes_
                      ? static_cast<uint64_t>(Limit) - PayloadBytes_
                      : 0;
  if (Left > Count) return Count;
  Fires = true;
  return static_cast<size_t>(Left);
}

void TFaults::Fire(TLine& Line) {
  bool Drop = DropAfter_ >= 0 && (StallAfter_ < 0 || DropAfter_ <= StallAfter_);
  if (Drop) {
    Line.Drop();
  } else {
    Line.Stall();
  }
}

}  // namespace devsim
