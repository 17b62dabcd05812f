// What both simulated shells share: the line, the fault plan, the storage root, and the two
// transfer helpers that move raw payload bytes while counting them for --stall-after and
// --drop-after.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "Faults.h"
#include "Line.h"

namespace devsim {

class TShellBase {
 public:
  TShellBase(TLine& Line, TFaults& Faults, std::string Root)
      : Line_(Line), Faults_(Faults), Root_(std::move(Root)) {}

 protected:
  enum class TReceive { Done, Stopped, Ended };

  void Send(std::string_view Bytes) { Line_.Write(Bytes); }
  // Sends raw transfer data. False when a payload fault fired (the simulator is stopping) and the
  // shell must return.
  bool SendPayload(std::string_view Data);
  // Reads Count raw payload bytes from the host in pieces of at most PieceSize and hands each to
  // Consume. Done: all arrived. Stopped: Consume returned false (the rest is left unread).
  // Ended: the session ended, the simulator is stopping or a payload fault fired.
  TReceive ReceivePayload(uint64_t Count, size_t PieceSize,
                          const std::function<bool(std::string_view)>& Consume);

  TLine& Line_;
  TFaults& Faults_;
  std::string Root_;
};

}  // namespace devsim
