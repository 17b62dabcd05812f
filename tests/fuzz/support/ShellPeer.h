// A simulated device behind the memory line: the PortaPack or Flipper Zero shell of the device
// simulator (tools/devsim) runs in a thread of this process, and every opening of the port and
// every write of the host is answered with all the shell sends until it waits for input again.
// What it answered is kept, one segment per opening and write, in the form of a dialogue script.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Faults.h"
#include "FlipperShell.h"
#include "Line.h"
#include "MemoryLine.h"

namespace fuzz {

class TShellPeer : public TDeviceSide, private devsim::TLine {
 public:
  // Root: the card folder (for the Flipper, Root/int and Root/ext). Errors: commands the shell
  // answers with its error form (the simulator's --error).
  TShellPeer(bool Flipper, std::string Root, std::map<std::string, int> Errors);
  ~TShellPeer() override;
  TShellPeer(const TShellPeer&) = delete;
  TShellPeer& operator=(const TShellPeer&) = delete;

  bool Opened(TAnswer& Greeting) override;
  TAnswer Written(const std::string& Data, size_t& Accepted) override;
  void Closed() override;

  // One per opening and write, in order: what the host sent (empty for an opening) and what the
  // shell answered.
  struct TExchange {
    std::string Sent;
    std::string Answer;
  };
  const std::vector<TExchange>& Exchanges() const { return Exchanges_; }

 private:
  // devsim::TLine, on the shell's thread.
  size_t Read(char* Buffer, size_t MaxCount) override;
  void Write(std::string_view Bytes) override;
  bool Pause(uint32_t Ms) override;
  void Stall() override;
  void Drop() override;

  void StartShell();
  void EndShell();
  // Hands Input to the shell and returns what it sends until it waits for more.
  std::string Exchange(const std::string& Input);

  const bool Flipper_;
  const std::string Root_;
  devsim::TFaults Faults_;
  devsim::TFlipperVolumes Volumes_;
  std::thread Shell_;
  std::mutex Lock_;
  std::condition_variable Changed_;
  std::string Input_;
  std::string Output_;
  bool Waiting_ = false;  // the shell waits for input and has none
  bool SessionOver_ = false;
  bool ShellDone_ = true;
  bool Stalled_ = false;  // the shell froze (a fault): it reads and sends nothing more
  std::vector<TExchange> Exchanges_;
};

}  // namespace fuzz
