// What a device shell sees of its serial line: blocking reads of the host's bytes, writes of the
// device's answers, and the two ways a faulty device can stop (freeze or hang up). The shells are
// written against this interface only, so the wire protocol stays apart from the pseudo-terminal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace devsim {

class TLine {
 public:
  virtual ~TLine() = default;
  // Waits for host bytes and copies up to MaxCount of them into Buffer. Returns 0 when the
  // shell's session is over (the port was closed, for a device whose shell lives per session) or
  // the simulator is stopping; the shell must then return.
  virtual size_t Read(char* Buffer, size_t MaxCount) = 0;
  // Queues device bytes for the host. Bytes of a session that has ended are dropped.
  virtual void Write(std::string_view Bytes) = 0;
  // The device is busy for Ms: it reads nothing meanwhile (the host's bytes queue). False when the
  // simulator stops first.
  virtual bool Pause(uint32_t Ms) = 0;
  // The device freezes: it reads nothing and sends nothing more (bytes already queued still go
  // out). Returns when the simulator stops.
  virtual void Stall() = 0;
  // The device goes away: queued bytes are sent, then the line is closed and the simulator stops.
  // Returns when the simulator stops.
  virtual void Drop() = 0;

  bool ReadByte(uint8_t& Byte) {
    char C = 0;
    if (Read(&C, 1) == 0) return false;
    Byte = static_cast<uint8_t>(C);
    return true;
  }
};

}  // namespace devsim
