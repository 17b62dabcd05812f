// The serial line and the clock of the fuzz build. The targets that talk over a serial line link
// this file in place of the platform's serial line (platform/posix/SerialLine.cpp) and clock
// (platform/posix/Clock.cpp), so the drivers run unchanged over a line in memory, at fuzzing speed:
// - The clock is virtual. It advances only when code sleeps or when a read waits for bytes that
//   are due later, by exactly the time the wait would take. Every deadline of the drivers is
//   still enforced, in virtual time, and an operation's virtual duration shows whether it kept
//   to its deadlines. A loop that polls without waiting leaves the clock standing and shows as a
//   real-time hang of the fuzz run; a read that would wait with no time limit on a line where
//   nothing more comes ends the run as a failure.
// - The device is a TDeviceSide: it answers the opening of the port and every write. The line
//   delivers each answer after its delay, whole or in pieces, and its reads follow the Windows
//   COMMTIMEOUTS rules of platform/SerialLine.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz {

struct TAnswer {
  std::string Bytes;
  uint32_t DelayMs = 0;  // after the write or the open that brought it
  // The bytes come in pieces of PieceSize bytes, PieceGapMs apart; all at once when 0.
  size_t PieceSize = 0;
  uint32_t PieceGapMs = 0;
  // The device goes away after these bytes: writes fail at once, reads fail once they are read.
  bool GoneAfter = false;
};

class TDeviceSide {
 public:
  virtual ~TDeviceSide() = default;
  // The port was opened. False refuses the open (the device is not there); otherwise Greeting is
  // what the device sends.
  virtual bool Opened(TAnswer& Greeting) = 0;
  // The host wrote Data. Accepted comes in as Data's size and may be lowered: a write cut short
  // by its time-out. The answer follows the accepted bytes.
  virtual TAnswer Written(const std::string& Data, size_t& Accepted) = 0;
  // The port was closed: what the device had not yet sent is gone.
  virtual void Closed() = 0;
};

// Puts Device behind the line (null: none; opens fail) and resets the line: closed, nothing
// under way, the clock at its start value.
void AttachDevice(TDeviceSide* Device);

// The virtual clock in milliseconds; it starts at kClockStart.
constexpr uint64_t kClockStart = 1000000;
uint64_t Now();

// What the host did on the line since AttachDevice.
struct TLineCounters {
  size_t Opens = 0;
  size_t Writes = 0;
};
const TLineCounters& Counters();

}  // namespace fuzz
