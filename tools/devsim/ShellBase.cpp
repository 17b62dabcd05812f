// Payload helpers shared by the simulated shells.
#include "ShellBase.h"

#include <algorithm>
#include <vector>

namespace devsim {

bool TShellBase::SendPayload(std::string_view Data) {
  bool Fires = false;
  size_t Allowed = Faults_.PayloadAllowance(Data.size(), Fires);
  if (Faults_.FlipsWithin(Allowed)) {
    std::string Flipped(Data.substr(0, Allowed));
    Faults_.FlipPayload(Flipped.data(), Flipped.size());
    Line_.Write(Flipped);
  } else {
    Line_.Write(Data.substr(0, Allowed));
  }
  Faults_.CountPayload(Allowed);
  if (Fires) {
    Faults_.Fire(Line_);
    return false;
  }
  return true;
}

TShellBase::TReceive TShellBase::ReceivePayload(
    uint64_t Count, size_t PieceSize, const std::function<bool(std::string_view)>& Consume) {
  std::vector<char> Piece(PieceSize);
  uint64_t Left = Count;
  while (Left > 0) {
    size_t Want = static_cast<size_t>(std::min<uint64_t>(Left, PieceSize));
    bool Fires = false;
    size_t Allowed = Faults_.PayloadAllowance(Want, Fires);
    if (Allowed == 0 && Fires) {
      Faults_.Fire(Line_);
      return TReceive::Ended;
    }
    // A piece is what the device asked for; fill it completely, as the devices' blocking reads do.
    size_t Got = 0;
    while (Got < Allowed) {
      size_t N = Line_.Read(Piece.data() + Got, Allowed - Got);
      Faults_.FlipPayload(Piece.data() + Got, N, Got);
      if (N == 0) {
        // Session over: what did arrive still lands in the file, as on the device.
        if (Got > 0) Consume(std::string_view(Piece.data(), Got));
        Faults_.CountPayload(Got);
        return TReceive::Ended;
      }
      Got += N;
    }
    Faults_.CountPayload(Got);
    Left -= Got;
    if (!Consume(std::string_view(Piece.data(), Got))) return TReceive::Stopped;
    if (Fires) {
      Faults_.Fire(Line_);
      return TReceive::Ended;
    }
  }
  return TReceive::Done;
}

}  // namespace devsim
