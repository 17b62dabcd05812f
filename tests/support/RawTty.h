// A small client for a serial line in tests: opens a tty (a simulator's pseudo-terminal slave)
// in raw mode and reads and writes with one deadline per call, the way a host tool talks to a
// device. Every call returns within its time-out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TRawTty {
 public:
  TRawTty() = default;
  ~TRawTty();
  TRawTty(const TRawTty&) = delete;
  TRawTty& operator=(const TRawTty&) = delete;

  // Opens Path read/write without becoming its controlling terminal, close-on-exec (so a
  // simulator started later does not inherit it and keep the port open), in raw 8-bit mode.
  bool Open(const std::string& Path);
  void Close();
  bool IsOpen() const { return Fd_ >= 0; }

  // Writes all of Bytes; false when the line does not take them within TimeoutMs.
  bool Write(std::string_view Bytes, uint32_t TimeoutMs = 10000);
  // Reads until Marker has arrived. Out gets everything up to and including the marker; bytes
  // after it are kept for the next read. On time-out, false and Out holds what did arrive.
  bool ReadUntil(std::string_view Marker, std::string& Out, uint32_t TimeoutMs = 10000);
  // Reads exactly Count bytes (fewer on time-out, with false).
  bool ReadExact(size_t Count, std::string& Out, uint32_t TimeoutMs = 10000);
  // Reads one line ended by CR LF (returned without it), as pyserial's readline does with "\n".
  bool ReadLine(std::string& Line, uint32_t TimeoutMs = 10000);
  // Everything that arrives until the line has been quiet for QuietMs (at most TimeoutMs).
  std::string ReadQuiet(uint32_t QuietMs, uint32_t TimeoutMs = 10000);
  // True when the other side went away (a read reports end of file or an error) within TimeoutMs.
  // Bytes that arrive meanwhile are appended to Out if given.
  bool WaitHangUp(uint32_t TimeoutMs, std::string* Out = nullptr);

 private:
  // One read into Pending_, waiting at most until DeadlineMs. -1: the line is gone.
  int FillOnce(uint64_t DeadlineMs);

  int Fd_ = -1;
  std::string Pending_;
};
