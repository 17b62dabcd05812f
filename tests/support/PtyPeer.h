// The far end of a serial line for tests: a pseudo-terminal whose slave path the code under test
// opens as its port, while the test writes and reads bytes on the master side with deadlines.
#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class TPtyPeer {
 public:
  // Opens the master, unlocks the slave and keeps a slave descriptor open in raw mode: so the
  // line has no echo before the port under test configures it, and the master does not read EIO
  // when the port under test closes its (the last other) slave descriptor.
  TPtyPeer();
  ~TPtyPeer();
  TPtyPeer(const TPtyPeer&) = delete;
  TPtyPeer& operator=(const TPtyPeer&) = delete;

  bool Ok() const { return Master_ >= 0; }
  const std::string& SlavePath() const { return SlavePath_; }
  // The name under which the serial port opens this line (LinkTestPort).
  const std::string& PortName() const { return PortName_; }

  // Writes all of Bytes to the line (gives up after 5 s). For sends shorter than the line
  // discipline's buffer (about 4 KB) it then waits until the bytes can be read on the slave side,
  // so that a read started afterwards finds them all at once.
  bool Send(const std::string& Bytes);
  // Sends each piece after its delay in milliseconds, on a background thread; returns at once.
  // One schedule runs at a time; the next call or the destructor waits for the previous one.
  void SendLater(std::vector<std::pair<uint32_t, std::string>> Pieces);
  void WaitSent();

  // Bytes written by the port under test: up to Count of them, waiting at most TimeoutMs.
  std::string Receive(size_t Count, uint32_t TimeoutMs);
  // Everything that arrives until the line has been quiet for QuietMs.
  std::string ReceiveUntilQuiet(uint32_t QuietMs);

  // Hangs the line up: closes the master and the kept slave descriptor. Reads on the port's side
  // then fail.
  void HangUp();

 private:
  bool WriteAll(const std::string& Bytes, uint32_t TimeoutMs);

  int Master_ = -1;
  int Slave_ = -1;
  std::string SlavePath_;
  std::string PortName_;
  std::thread Sender_;
};
