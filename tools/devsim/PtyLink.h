// The simulator's side of the serial line: a pseudo-terminal master served by one I/O loop.
//
// The loop owns the master descriptor. It reads the host's bytes into an input buffer for the
// shell thread (at the link's byte rate, when one is set), sends the shell's answers through a
// link model (a fixed latency and the same byte rate),
// records both directions in the transcript and watches whether the host holds the port open:
// inotify reports every open and close of the slave, in order, which stands in for the USB
// host's control-line state (DTR) that begins and ends a device session. (A master's POLLHUP
// would show only the current state and miss a close followed at once by a new open.)
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "Line.h"
#include "Transcript.h"

namespace devsim {

struct TLinkConfig {
  // True: the shell lives for one port session (Flipper): closing the port ends its reads and
  // throws away unsent output. False: the shell outlives closes (PortaPack).
  bool PerSessionShell = false;
  // Read and throw away everything the host sends (a device that never answers).
  bool DiscardInput = false;
  // Bytes per second in each direction (0: as fast as the pseudo-terminal goes); the latency is
  // added to what the device sends.
  uint64_t RateBytesPerSecond = 0;
  uint32_t LatencyMs = 0;
};

class TPtyLink final : public TLine {
 public:
  TPtyLink(TLinkConfig Config, TTranscript& Transcript);
  ~TPtyLink() override;
  TPtyLink(const TPtyLink&) = delete;
  TPtyLink& operator=(const TPtyLink&) = delete;

  // Creates the pseudo-terminal (raw, so all 256 byte values pass untranslated).
  bool Open(std::string& SlavePath, std::string& Error);
  // Runs the I/O loop until StopFd becomes readable (a signal arrived) or the line was dropped.
  // Afterwards every waiting shell call returns.
  void Run(int StopFd);

  // For the shell thread: waits until the host opens the port for a new session. False when the
  // simulator stops first.
  bool BeginSession();

  size_t Read(char* Buffer, size_t MaxCount) override;
  void Write(std::string_view Bytes) override;
  bool Pause(uint32_t Ms) override;
  void Stall() override;
  void Drop() override;

 private:
  struct TSegment {
    int64_t ReadyNs;  // earliest time the first byte may go out (latency model)
    std::string Bytes;
    size_t Offset = 0;
  };

  bool SessionValidLocked() const;
  void Wake();
  // Paced: at most one rate slice, and only once the link has carried the previous one; the
  // bytes a closing host wrote are taken at once.
  void ReadFromMaster(bool Paced);
  void WriteToMaster(int64_t Now);
  // Rate model: the bytes of one pacing slice, and the line time of Bytes.
  size_t SliceBytes() const;
  int64_t LineTimeNs(size_t Bytes) const;
  void OnHungUp();
  void OnOpened();
  void FlushSlaveInput();
  void ProcessWatchEvents();
  void WaitUntilHostHasRead(int StopFd);

  TLinkConfig Config_;
  TTranscript& Transcript_;
  int Master_ = -1;
  int WakeFd_ = -1;     // eventfd: the shell thread has queued output or made room for input
  int WatchFd_ = -1;    // inotify on the slave: every open and close of the port
  int HeldSlave_ = -1;  // the loop's own slave descriptor (see Open)
  int OpenCount_ = 0;   // the host's opens of the slave minus its closes (I/O loop only)
  std::string SlavePath_;

  std::mutex Lock_;
  std::condition_variable Changed_;
  bool Shutdown_ = false;
  bool SlaveOpen_ = false;
  uint64_t Generation_ = 0;       // counts port opens
  uint64_t ShellGeneration_ = 0;  // the session the shell thread serves
  bool Frozen_ = false;
  bool Dropping_ = false;
  std::string Input_;
  std::string NextInput_;  // input of a new session whose shell has not begun yet
  size_t InputPos_ = 0;
  bool InputThrottled_ = false;
  std::deque<TSegment> Output_;
  size_t OutputBytes_ = 0;
  int64_t LinkFreeNs_ = 0;   // when the link has finished sending what went out before (rate model)
  int64_t InputFreeNs_ = 0;  // when the link has carried the host's bytes read before (rate model)
};

}  // namespace devsim
