// TSerialPort: a blocking serial port through which a device speaks its text shell. It opens the
// port with the devices' line settings, writes command text, and reads in four ways that differ
// in what ends the read: a marker (a prompt), a line end, a byte count or a quiet line. Every read
// is bounded by a time-out; failures show as false, a zero count or a short result.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/SerialLine.h"

// The read half of the line's time-outs, with Windows COMMTIMEOUTS meaning (milliseconds).
struct TSerialReadTimeouts {
  uint32_t IntervalMs = 0;
  uint32_t TotalMultiplierMs = 0;
  uint32_t TotalConstantMs = 0;
};

class TSerialPort {
 public:
  static constexpr uint32_t kDefaultReadTimeoutMs = 3000;

  TSerialPort() = default;
  ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Closes an open port first, then opens APortName exclusively at ABaudRate, 8N1, DTR and RTS
  // raised, installs the base time-outs (read interval 50 ms, read total ReadTimeoutMs(), write
  // 2000 ms) and purges. APortName is a plain port name (COM5, ttyACM0), never a path. False
  // leaves the object closed with PortName() empty and the cause in OpenError().
  bool Open(const std::string& APortName, uint32_t ABaudRate);
  // Why the last Open failed, for the user ("Cannot open port ttyACM0: DTR could not be raised
  // (Input/output error)"); empty after a successful Open.
  const std::string& OpenError() const { return OpenError_; }
  void Close();
  bool IsOpen() const { return Line_ != platform::kNoSerialLine; }

  // One write; the count actually sent (0 when closed, Count <= 0 or on failure). A write cut
  // short by the 2000 ms write time-out returns the smaller count; nothing is retried.
  int32_t Write(const void* Buf, int32_t Count);
  int32_t WriteStr(const std::string& S);

  // Drops everything received and not yet read, and everything not yet sent.
  void Purge();

  // Reads until one of Markers occurs in Data. Markers are tested in their array order, so
  // MatchIndex is the first marker (by index) found, not the earliest in the text. When After is
  // not empty, only markers behind its first occurrence count: a command's prompt behind the echo
  // of that command, not a late prompt of an earlier one. Each read hands over what has arrived
  // at once (ReadBurst), so the wait ends with the marker's last byte. Data keeps everything
  // received, also on false (MatchIndex -1).
  bool ReadUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs, std::string& Data,
                 int32_t& MatchIndex, const std::string& After = {});
  // ReadUntil for text whose beginning has come already: Data keeps what it holds, which is
  // searched first (no read at all when a marker is there), and what arrives is appended.
  bool ReadMoreUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs, std::string& Data,
                     int32_t& MatchIndex);
  // Index of the first of Markers (in their order) that occurs in Data at or behind Base and
  // reaches past From (the bytes before From held none), or -1.
  static int32_t FindMarker(const std::string& Data, const std::vector<std::string>& Markers,
                            size_t From, size_t Base = 0);
  // One line ended by CR, LF or CR LF, without the line end. False on time-out, with the bytes
  // received so far in Line. A byte other than LF after a CR is kept for the next read.
  bool ReadLine(uint32_t TimeoutMs, std::string& Line);
  // Exactly Count bytes, or false with the bytes that came before the time-out.
  bool ReadExact(int32_t Count, uint32_t TimeoutMs, std::string& Data);
  // Collects what the device still sends until the line stays quiet for TimeoutMs.
  void Drain(std::string& Data, uint32_t TimeoutMs);

  // One raw read of up to Count bytes under the time-outs installed now (those of Open unless
  // the caller set others): a byte kept back by ReadLine comes first, on its own. For device code
  // that reads block data itself. False on a failed read or a closed port.
  bool ReadRaw(void* Buf, uint32_t Count, uint32_t& Got);
  // One read for device code that looks for a prompt itself: waits up to TimeoutMs for a first
  // byte and returns at once with it and whatever else has already arrived, so that a wait ends
  // with the prompt's last byte. Built from two forms every driver and Wine honour (a one-byte
  // read with a total time-out, then "what is buffered"); the time-outs in force before are put
  // back. False on a failed read or a closed port.
  bool ReadBurst(void* Buf, uint32_t Count, uint32_t TimeoutMs, uint32_t& Got);

  // Installs other read time-outs for a scope and puts the previous set back on every way out:
  // how the reads here and device code that reads block data itself change the line's waits.
  class TReadTimeoutScope {
   public:
    TReadTimeoutScope(TSerialPort& Port, const TSerialReadTimeouts& Read);
    ~TReadTimeoutScope();
    TReadTimeoutScope(const TReadTimeoutScope&) = delete;
    TReadTimeoutScope& operator=(const TReadTimeoutScope&) = delete;

   private:
    TSerialPort& Port_;
    platform::TSerialTimeouts Saved_;
  };

  // The read time-outs installed now, and replacing them (the write time-outs stay). Device code
  // that sets its own puts the saved ones back when it is done.
  bool GetReadTimeouts(TSerialReadTimeouts& Timeouts) const;
  bool SetReadTimeouts(const TSerialReadTimeouts& Timeouts);
  // The whole set installed now, write half included, and the line's settings as the driver
  // reports them (for checks and diagnostics).
  bool GetTimeouts(platform::TSerialTimeouts& Timeouts) const;
  bool GetLineSettings(platform::TSerialSettings& Settings) const;

  const std::string& PortName() const { return PortName_; }
  // Rate of the last successful Open (kept after Close).
  uint32_t BaudRate() const { return BaudRate_; }
  // Base read time-out that Open installs; a change takes effect at the next Open.
  uint32_t ReadTimeoutMs() const { return ReadTimeoutMs_; }
  void SetReadTimeoutMs(uint32_t Ms) { ReadTimeoutMs_ = Ms; }

 private:
  // One read that hands out the kept-back byte first.
  bool ReadChunk(char* Buf, uint32_t Count, uint32_t& Got);
  // The loop of ReadUntil and ReadMoreUntil: appends bursts to Data (whose bytes have been
  // searched already) until a marker occurs behind After (when given).
  bool AppendUntil(const std::vector<std::string>& Markers, uint32_t TimeoutMs, std::string& Data,
                   int32_t& MatchIndex, const std::string& After);
  bool InstallTimeouts(const platform::TSerialTimeouts& Timeouts);
  platform::TSerialTimeouts CurrentTimeouts() const;

  platform::TSerialLine Line_ = platform::kNoSerialLine;
  std::string PortName_;
  std::string OpenError_;
  uint32_t BaudRate_ = 0;
  uint32_t ReadTimeoutMs_ = kDefaultReadTimeoutMs;
  // The set this object last installed: what a read puts back when the line cannot report its
  // current set, so that the port never keeps a read's own or an undefined set.
  platform::TSerialTimeouts Installed_;
  // The byte ReadLine took after a CR when it was not LF; -1 when none is kept.
  int LookAhead_ = -1;
};
