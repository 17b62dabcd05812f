// The in-memory serial line and the virtual clock of the fuzz build (see MemoryLine.h).
#include "MemoryLine.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>

#include "FuzzCheck.h"
#include "platform/Platform.h"
#include "platform/PortName.h"
#include "platform/SerialLine.h"

namespace platform {

// The one line of the fuzz build: a dialogue talks to one device at a time.
struct TSerialLineState {
  bool Open = false;
  TSerialTimeouts Timeouts;
  uint32_t BaudRate = 0;
};

}  // namespace platform

namespace fuzz {

namespace {

constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// Bytes that arrive at a moment of the virtual clock.
struct TPiece {
  uint64_t At = 0;
  std::string Bytes;
};

struct TLine {
  platform::TSerialLineState State;
  TDeviceSide* Device = nullptr;
  std::deque<TPiece> Pending;  // in order of arrival
  std::string Buffered;        // arrived and not yet read
  uint64_t LastArrival = 0;
  bool Gone = false;
  TLineCounters Counters;
};

TLine Line;
uint64_t Clock = kClockStart;

// Moves what has arrived by now into the buffer.
void Arrive() {
  while (!Line.Pending.empty() && Line.Pending.front().At <= Clock) {
    Line.Buffered += Line.Pending.front().Bytes;
    Line.Pending.pop_front();
  }
}

size_t Take(char* Buf, size_t Count) {
  const size_t n = std::min(Count, Line.Buffered.size());
  std::memcpy(Buf, Line.Buffered.data(), n);
  Line.Buffered.erase(0, n);
  return n;
}

// A device sends its bytes in order: nothing overtakes what it sent before.
void Queue(uint64_t At, std::string Bytes) {
  At = std::max(At, Line.LastArrival);
  Line.LastArrival = At;
  Line.Pending.push_back({At, std::move(Bytes)});
}

void Schedule(const TAnswer& Answer) {
  const uint64_t start = Clock + Answer.DelayMs;
  const std::string& bytes = Answer.Bytes;
  if (bytes.empty()) return;
  if (Answer.PieceSize == 0) {
    Queue(start, bytes);
    return;
  }
  for (size_t i = 0, piece = 0; i < bytes.size(); i += Answer.PieceSize, ++piece)
    Queue(start + piece * Answer.PieceGapMs, bytes.substr(i, Answer.PieceSize));
}

bool IsLine(platform::TSerialLine L) {
  return L == &Line.State && Line.State.Open;
}

}  // namespace

void AttachDevice(TDeviceSide* Device) {
  Line.State = platform::TSerialLineState();
  Line.Device = Device;
  Line.Pending.clear();
  Line.Buffered.clear();
  Line.LastArrival = 0;
  Line.Gone = false;
  Line.Counters = TLineCounters();
  Clock = kClockStart;
}

uint64_t Now() {
  return Clock;
}

const TLineCounters& Counters() {
  return Line.Counters;
}

}  // namespace fuzz

namespace platform {

using fuzz::Line;

uint64_t TickCountMs() {
  return fuzz::Clock;
}

void SleepMs(uint32_t ms) {
  fuzz::Clock += ms;
}

TSerialLine SerialOpen(const std::string& Name, std::string& Reason) {
  if (!IsPortName(Name)) {
    Reason = "not a port name";
    return kNoSerialLine;
  }
  if (Line.State.Open) {
    Reason = "in use by another program";
    return kNoSerialLine;
  }
  ++Line.Counters.Opens;
  fuzz::TAnswer greeting;
  if (!Line.Device || !Line.Device->Opened(greeting)) {
    Reason = "No such file or directory";
    return kNoSerialLine;
  }
  Line.State = TSerialLineState();
  Line.State.Open = true;
  // A fresh line returns at once from reads until time-outs are set.
  Line.State.Timeouts.ReadIntervalTimeout = kSerialTimeoutMax;
  Line.Gone = greeting.GoneAfter;
  fuzz::Schedule(greeting);
  return &Line.State;
}

bool SerialConfigure(TSerialLine L, uint32_t BaudRate, std::string& Reason) {
  if (!fuzz::IsLine(L)) {
    Reason = "not open";
    return false;
  }
  L->BaudRate = BaudRate;
  return true;
}

bool SerialGetSettings(TSerialLine L, TSerialSettings& Settings) {
  if (!fuzz::IsLine(L)) return false;
  Settings = TSerialSettings();
  Settings.BaudRate = L->BaudRate;
  Settings.DataBits = 8;
  Settings.StopBits = 1;
  Settings.Raw = true;
  Settings.DtrOn = true;
  Settings.RtsOn = true;
  return true;
}

bool SerialGetTimeouts(TSerialLine L, TSerialTimeouts& Timeouts) {
  if (!fuzz::IsLine(L)) return false;
  Timeouts = L->Timeouts;
  return true;
}

bool SerialSetTimeouts(TSerialLine L, const TSerialTimeouts& Timeouts) {
  if (!fuzz::IsLine(L)) return false;
  L->Timeouts = Timeouts;
  return true;
}

bool SerialSetupQueues(TSerialLine L, uint32_t, uint32_t) {
  return fuzz::IsLine(L);
}

bool SerialPurge(TSerialLine L) {
  if (!fuzz::IsLine(L)) return false;
  fuzz::Arrive();
  Line.Buffered.clear();
  return true;
}

bool SerialRead(TSerialLine L, void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!fuzz::IsLine(L)) return false;
  fuzz::Arrive();
  if (Line.Gone && Line.Buffered.empty() && Line.Pending.empty()) return false;
  if (Count == 0) return true;
  char* bytes = static_cast<char*>(Buf);
  auto take = [&] { Got += static_cast<uint32_t>(fuzz::Take(bytes + Got, Count - Got)); };
  const TSerialTimeouts& t = L->Timeouts;
  const uint32_t interval = t.ReadIntervalTimeout;
  const uint32_t multiplier = t.ReadTotalTimeoutMultiplier;
  const uint32_t constant = t.ReadTotalTimeoutConstant;
  auto nextArrival = [] { return Line.Pending.empty() ? fuzz::kNever : Line.Pending.front().At; };

  if (interval == kSerialTimeoutMax && multiplier == 0 && constant == 0) {
    take();  // what is buffered, possibly nothing
    return true;
  }
  if (interval == kSerialTimeoutMax && multiplier == kSerialTimeoutMax &&
      constant != kSerialTimeoutMax) {
    // What is buffered; else the first bytes that come within the constant.
    if (Line.Buffered.empty()) {
      const uint64_t next = nextArrival();
      if (next > fuzz::Clock + constant) {
        fuzz::Clock += constant;
        return true;
      }
      fuzz::Clock = next;
      fuzz::Arrive();
    }
    take();
    return true;
  }
  // All bytes asked for, or the total time-out, or (below MAX) the interval after a byte.
  const uint64_t total = static_cast<uint64_t>(multiplier) * Count + constant;
  const uint64_t deadline = total == 0 ? fuzz::kNever : fuzz::Clock + total;
  const uint64_t gap = interval == kSerialTimeoutMax ? 0 : interval;
  uint64_t lastByte = fuzz::Clock;
  take();
  while (Got < Count) {
    uint64_t limit = deadline;
    if (Got > 0 && gap > 0) limit = std::min(limit, lastByte + gap);
    const uint64_t next = nextArrival();
    if (next > limit) {
      FUZZ_CHECK(limit != fuzz::kNever,
                 "a read waits without a time limit on a line where nothing more comes");
      fuzz::Clock = limit;
      break;
    }
    fuzz::Clock = next;
    fuzz::Arrive();
    const uint32_t before = Got;
    take();
    if (Got > before) lastByte = fuzz::Clock;
  }
  return true;
}

bool SerialWrite(TSerialLine L, const void* Buf, uint32_t Count, uint32_t& Written) {
  Written = 0;
  if (!fuzz::IsLine(L) || Line.Gone) return false;
  ++Line.Counters.Writes;
  const std::string data(static_cast<const char*>(Buf), Count);
  size_t accepted = data.size();
  fuzz::TAnswer answer = Line.Device->Written(data, accepted);
  Written = static_cast<uint32_t>(std::min<size_t>(accepted, Count));
  fuzz::Schedule(answer);
  if (answer.GoneAfter) Line.Gone = true;
  return true;
}

void SerialClose(TSerialLine L) {
  if (!fuzz::IsLine(L)) return;
  L->Open = false;
  Line.Pending.clear();
  Line.Buffered.clear();
  Line.Gone = false;
  if (Line.Device) Line.Device->Closed();
}

}  // namespace platform
