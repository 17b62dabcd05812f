// The serial port's open, write and four reads, written once over the platform's serial line.
// Each read installs its own driver time-outs for its duration and puts the previous ones back,
// so that device code reading the line directly always runs under the set Open installed.
#include "serial/uSerial.h"

#include <algorithm>

#include "platform/Platform.h"
#include "platform/PortName.h"

namespace {

constexpr char kCR = 13;
constexpr char kLF = 10;

// Base set of Open: a raw read returns 50 ms after the last byte of a burst, or empty after the
// read time-out; a write gives up after 2 s.
constexpr uint32_t kBaseReadIntervalMs = 50;
constexpr uint32_t kWriteTimeoutMs = 2000;
constexpr uint32_t kQueueSize = 8192;

// Per-read driver time-outs and buffer sizes. The short totals pace the loops: a silent line
// costs one wake-up per total, never a spin.
constexpr TSerialReadTimeouts kReadLineTimeouts{0, 0, 50};
constexpr TSerialReadTimeouts kReadExactTimeouts{0, 0, 500};
constexpr uint32_t kDrainIntervalMs = 10;
constexpr uint32_t kChunkSize = 1024;
constexpr uint32_t kExactChunkSize = 4096;
// Pause after a read that failed outright (a vanished device fails every read at once), and
// after an empty read of ReadExact.
constexpr uint32_t kFailedReadPauseMs = 5;

uint64_t ElapsedSince(uint64_t Start) {
  return platform::TickCountMs() - Start;
}

// Set with its read half replaced; the write half stays as it was.
platform::TSerialTimeouts WithRead(platform::TSerialTimeouts Set, const TSerialReadTimeouts& Read) {
  Set.ReadIntervalTimeout = Read.IntervalMs;
  Set.ReadTotalTimeoutMultiplier = Read.TotalMultiplierMs;
  Set.ReadTotalTimeoutConstant = Read.TotalConstantMs;
  return Set;
}

}  // namespace

TSerialPort::TReadTimeoutScope::TReadTimeoutScope(TSerialPort& Port,
                                                  const TSerialReadTimeouts& Read)
    : Port_(Port), Saved_(Port.CurrentTimeouts()) {
  Port_.InstallTimeouts(WithRead(Saved_, Read));
}

TSerialPort::TReadTimeoutScope::~TReadTimeoutScope() {
  Port_.InstallTimeouts(Saved_);
}

TSerialPort::~TSerialPort() {
  Close();
}

bool TSerialPort::Open(const std::string& APortName, uint32_t ABaudRate) {
  Close();
  OpenError_.clear();
  std::string reason;
  platform::TSerialLine line = platform::SerialOpen(APortName, reason);
  if (line != platform::kNoSerialLine && !platform::SerialConfigure(line, ABaudRate, reason)) {
    platform::SerialClose(line);
    line = platform::kNoSerialLine;
  }
  if (line == platform::kNoSerialLine) {
    // A refused name is not repeated: it may hold control characters that garble a log line.
    OpenError_ = platform::IsPortName(APortName) ? "Cannot open port " + APortName + ": " + reason
                                                 : "Cannot open port: " + reason;
    return false;
  }
  Line_ = line;

  platform::TSerialTimeouts base;
  // A base read time-out of 0 would, with the interval, let a raw read wait without limit for its
  // first byte; 0 asks for "what is buffered" instead.
  base.ReadIntervalTimeout =
      ReadTimeoutMs_ != 0 ? kBaseReadIntervalMs : platform::kSerialTimeoutMax;
  base.ReadTotalTimeoutMultiplier = 0;
  base.ReadTotalTimeoutConstant = ReadTimeoutMs_;
  base.WriteTotalTimeoutMultiplier = 0;
  base.WriteTotalTimeoutConstant = kWriteTimeoutMs;
  InstallTimeouts(base);
  Installed_ = base;  // what the port should have, even if the driver refused it
  platform::SerialSetupQueues(Line_, kQueueSize, kQueueSize);
  Purge();
  PortName_ = APortName;
  BaudRate_ = ABaudRate;
  return true;
}

void TSerialPort::Close() {
  if (!IsOpen()) return;
  platform::SerialClose(Line_);
  Line_ = platform::kNoSerialLine;
  PortName_.clear();
  LookAhead_ = -1;
}

int32_t TSerialPort::Write(const void* Buf, int32_t Count) {
  if (!IsOpen() || Count <= 0 || Buf == nullptr) return 0;
  uint32_t written = 0;
  if (!platform::SerialWrite(Line_, Buf, static_cast<uint32_t>(Count), written)) return 0;
  return static_cast<int32_t>(written);
}

int32_t TSerialPort::WriteStr(const std::string& S) {
  if (S.empty()) return 0;
  // Longer strings than a 32-bit count can carry are cut; the caller sees the short count.
  size_t n = std::min<size_t>(S.size(), 0x7FFFFFFF);
  return Write(S.data(), static_cast<int32_t>(n));
}

void TSerialPort::Purge() {
  if (!IsOpen()) return;
  platform::SerialPurge(Line_);
  LookAhead_ = -1;  // received and not yet read, like the driver's buffer
}

bool TSerialPort::ReadChunk(char* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!IsOpen()) return false;
  if (Count == 0) return true;
  if (LookAhead_ >= 0) {
    Buf[0] = static_cast<char>(LookAhead_);
    LookAhead_ = -1;
    Got = 1;
    return true;
  }
  return platform::SerialRead(Line_, Buf, Count, Got);
}

bool TSerialPort::InstallTimeouts(const platform::TSerialTimeouts& Timeouts) {
  if (!platform::SerialSetTimeouts(Line_, Timeouts)) return false;
  Installed_ = Timeouts;
  return true;
}

platform::TSerialTimeouts TSerialPort::CurrentTimeouts() const {
  platform::TSerialTimeouts now;
  // A line that cannot report its set gets the one this object last installed: a defined set,
  // which the read then restores instead of garbage.
  if (!platform::SerialGetTimeouts(Line_, now)) return Installed_;
  return now;
}

int32_t TSerialPort::FindMarker(const std::string& Data, const std::vector<std::string>& Markers,
                                size_t From, size_t Base) {
  for (size_t i = 0; i < Markers.size(); ++i) {
    const std::string& marker = Markers[i];
    if (marker.empty() || marker.size() > Data.size()) continue;
    // A marker split across two reads begins up to its length minus one before From.
    size_t start = From >= marker.size() - 1 ? From - (marker.size() - 1) : 0;
    if (Data.find(marker, std::max(start, Base)) != std::string::npos)
      return static_cast<int32_t>(i);
  }
  return -1;
}

bool TSerialPort::ReadUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs,
                            std::string& Data, int32_t& MatchIndex, const std::string& After) {
  Data.clear();
  return AppendUntil(Markers, TimeoutMs, Data, MatchIndex, After);
}

bool TSerialPort::ReadMoreUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs,
                                std::string& Data, int32_t& MatchIndex) {
  MatchIndex = FindMarker(Data, Markers, 0);
  if (MatchIndex >= 0) return true;
  return AppendUntil(Markers, TimeoutMs, Data, MatchIndex, {});
}

bool TSerialPort::AppendUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs,
                              std::string& Data, int32_t& MatchIndex, const std::string& After) {
  MatchIndex = -1;
  if (!IsOpen() || Markers.empty()) return false;
  const uint64_t deadline = platform::TickCountMs() + TimeoutMs;
  // Where the markers may begin: behind After once it has come; npos while it has not.
  size_t base = After.empty() ? 0 : std::string::npos;
  char buf[kChunkSize];
  for (uint64_t now = platform::TickCountMs(); now <= deadline; now = platform::TickCountMs()) {
    uint32_t got = 0;
    const auto left = static_cast<uint32_t>(std::max<uint64_t>(deadline - now, 1));
    if (!ReadBurst(buf, sizeof(buf), left, got)) {
      platform::SleepMs(kFailedReadPauseMs);  // a line that is gone fails every read at once
      continue;
    }
    if (got == 0) continue;
    size_t before = Data.size();
    Data.append(buf, got);
    if (base == std::string::npos) {
      size_t from = before >= After.size() - 1 ? before - (After.size() - 1) : 0;
      size_t at = Data.find(After, from);
      if (at == std::string::npos) continue;
      base = at + After.size();
      before = base;  // everything behind After is new to the marker search
    }
    MatchIndex = FindMarker(Data, Markers, before, base);
    if (MatchIndex >= 0) return true;
  }
  return false;
}

bool TSerialPort::ReadLine(uint32_t TimeoutMs, std::string& Line) {
  Line.clear();
  if (!IsOpen()) return false;
  TReadTimeoutScope scope(*this, kReadLineTimeouts);
  const uint64_t start = platform::TickCountMs();
  do {
    char c = 0;
    uint32_t got = 0;
    bool ok = ReadChunk(&c, 1, got);
    if (ok && got == 1) {
      if (c == kCR) {
        // CR LF is one line end. Any other byte after the CR belongs to what follows and is kept
        // for the next read, so no byte of the answer is lost.
        char next = 0;
        uint32_t gotNext = 0;
        if (ReadChunk(&next, 1, gotNext) && gotNext == 1 && next != kLF)
          LookAhead_ = static_cast<unsigned char>(next);
        return true;
      }
      if (c == kLF) return true;
      Line.push_back(c);
    } else if (!ok) {
      platform::SleepMs(kFailedReadPauseMs);
    }
  } while (ElapsedSince(start) <= TimeoutMs);
  return false;
}

bool TSerialPort::ReadExact(int32_t Count, uint32_t TimeoutMs, std::string& Data) {
  Data.clear();
  if (!IsOpen()) return false;
  if (Count <= 0) return true;
  const size_t wanted = static_cast<size_t>(Count);
  Data.reserve(std::min<size_t>(wanted, 1u << 20));
  TReadTimeoutScope scope(*this, kReadExactTimeouts);
  const uint64_t start = platform::TickCountMs();
  char buf[kExactChunkSize];
  while (Data.size() < wanted) {
    if (ElapsedSince(start) >= TimeoutMs) break;
    uint32_t ask = static_cast<uint32_t>(std::min<size_t>(wanted - Data.size(), sizeof(buf)));
    uint32_t got = 0;
    if (ReadChunk(buf, ask, got) && got > 0)
      Data.append(buf, got);
    else
      platform::SleepMs(kFailedReadPauseMs);
  }
  return Data.size() == wanted;
}

void TSerialPort::Drain(std::string& Data, uint32_t TimeoutMs) {
  Data.clear();
  if (!IsOpen()) return;
  // With a total of 0 the interval alone would wait without limit for a first byte.
  TSerialReadTimeouts read{kDrainIntervalMs, 0, TimeoutMs};
  if (TimeoutMs == 0) read = TSerialReadTimeouts{platform::kSerialTimeoutMax, 0, 0};
  TReadTimeoutScope scope(*this, read);
  const uint64_t start = platform::TickCountMs();
  char buf[kChunkSize];
  for (;;) {
    uint32_t got = 0;
    if (!ReadChunk(buf, sizeof(buf), got) || got == 0) return;
    Data.append(buf, got);
    if (ElapsedSince(start) > TimeoutMs) return;
  }
}

bool TSerialPort::ReadRaw(void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (Buf == nullptr) return false;
  return ReadChunk(static_cast<char*>(Buf), Count, Got);
}

bool TSerialPort::ReadBurst(void* Buf, uint32_t Count, uint32_t TimeoutMs, uint32_t& Got) {
  Got = 0;
  if (Buf == nullptr || !IsOpen()) return false;
  if (Count == 0) return true;
  // Not the single "first bytes" form {MAXDWORD, MAXDWORD, constant}: Wine waits out its whole
  // constant even when bytes have come. And not an interval time-out, which adds its interval
  // after every burst.
  auto* bytes = static_cast<char*>(Buf);
  {
    TReadTimeoutScope first(*this, TSerialReadTimeouts{0, 0, TimeoutMs ? TimeoutMs : 1});
    if (!ReadChunk(bytes, 1, Got)) return false;
  }
  if (Got == 0 || Count == 1) return true;
  TReadTimeoutScope rest(*this, TSerialReadTimeouts{platform::kSerialTimeoutMax, 0, 0});
  uint32_t more = 0;
  bool ok = ReadChunk(bytes + 1, Count - 1, more);
  Got += more;
  return ok || Got > 0;
}

bool TSerialPort::GetReadTimeouts(TSerialReadTimeouts& Timeouts) const {
  if (!IsOpen()) return false;
  platform::TSerialTimeouts now = CurrentTimeouts();
  Timeouts.IntervalMs = now.ReadIntervalTimeout;
  Timeouts.TotalMultiplierMs = now.ReadTotalTimeoutMultiplier;
  Timeouts.TotalConstantMs = now.ReadTotalTimeoutConstant;
  return true;
}

bool TSerialPort::GetTimeouts(platform::TSerialTimeouts& Timeouts) const {
  if (!IsOpen()) return false;
  Timeouts = CurrentTimeouts();
  return true;
}

bool TSerialPort::GetLineSettings(platform::TSerialSettings& Settings) const {
  return IsOpen() && platform::SerialGetSettings(Line_, Settings);
}

bool TSerialPort::SetReadTimeouts(const TSerialReadTimeouts& Timeouts) {
  if (!IsOpen()) return false;
  return InstallTimeouts(WithRead(CurrentTimeouts(), Timeouts));
}
