// The simulators' shells behind the memory line (see ShellPeer.h).
#include "ShellPeer.h"

#include "PortapackShell.h"

namespace fuzz {

TShellPeer::TShellPeer(bool Flipper, std::string Root, std::map<std::string, int> Errors)
    : Flipper_(Flipper), Root_(std::move(Root)), Faults_(std::move(Errors), false, -1, -1) {}

TShellPeer::~TShellPeer() {
  EndShell();
}

void TShellPeer::StartShell() {
  if (Shell_.joinable()) Shell_.join();  // a shell that ended by itself
  {
    std::lock_guard<std::mutex> guard(Lock_);
    SessionOver_ = false;
    ShellDone_ = false;
    Stalled_ = false;
    Waiting_ = false;
    Input_.clear();
  }
  Shell_ = std::thread([this] {
    if (Flipper_) {
      devsim::TFlipperShell shell(*this, Faults_, Root_, "Fuzz", Volumes_);
      shell.RunSession();
    } else {
      devsim::TPortapackShell shell(*this, Faults_, Root_);
      shell.Run();
    }
    std::lock_guard<std::mutex> guard(Lock_);
    ShellDone_ = true;
    Changed_.notify_all();
  });
}

void TShellPeer::EndShell() {
  {
    std::lock_guard<std::mutex> guard(Lock_);
    SessionOver_ = true;
    Changed_.notify_all();
  }
  if (Shell_.joinable()) Shell_.join();
}

std::string TShellPeer::Exchange(const std::string& Input) {
  std::unique_lock<std::mutex> lock(Lock_);
  if (!Input.empty()) {
    Input_ += Input;
    Waiting_ = false;
    Changed_.notify_all();
  }
  Changed_.wait(lock, [this] { return (Waiting_ && Input_.empty()) || ShellDone_ || Stalled_; });
  std::string answer;
  answer.swap(Output_);
  return answer;
}

bool TShellPeer::Opened(TAnswer& Greeting) {
  // The PortaPack's shell starts at the first opening and lives on; the Flipper's command line
  // starts afresh with every opening.
  bool done;
  {
    std::lock_guard<std::mutex> guard(Lock_);
    done = ShellDone_;
  }
  if (Flipper_ || done) StartShell();
  Greeting = TAnswer();
  Greeting.Bytes = Exchange(std::string());
  Exchanges_.push_back({std::string(), Greeting.Bytes});
  return true;
}

TAnswer TShellPeer::Written(const std::string& Data, size_t& Accepted) {
  Accepted = Data.size();
  TAnswer answer;
  answer.Bytes = Exchange(Data);
  Exchanges_.push_back({Data, answer.Bytes});
  return answer;
}

void TShellPeer::Closed() {
  if (Flipper_) {
    EndShell();
  } else {
    std::lock_guard<std::mutex> guard(Lock_);
    Output_.clear();
  }
}

size_t TShellPeer::Read(char* Buffer, size_t MaxCount) {
  std::unique_lock<std::mutex> lock(Lock_);
  if (Input_.empty()) {
    Waiting_ = true;
    Changed_.notify_all();
    Changed_.wait(lock, [this] { return !Input_.empty() || SessionOver_; });
  }
  if (Input_.empty()) return 0;
  const size_t n = std::min(MaxCount, Input_.size());
  Input_.copy(Buffer, n);
  Input_.erase(0, n);
  Waiting_ = false;
  return n;
}

void TShellPeer::Write(std::string_view Bytes) {
  std::lock_guard<std::mutex> guard(Lock_);
  Output_.append(Bytes);
}

bool TShellPeer::Pause(uint32_t) {
  std::lock_guard<std::mutex> guard(Lock_);
  return !SessionOver_;
}

void TShellPeer::Stall() {
  std::unique_lock<std::mutex> lock(Lock_);
  Stalled_ = true;
  Changed_.notify_all();
  Changed_.wait(lock, [this] { return SessionOver_; });
}

void TShellPeer::Drop() {
  Stall();
}

}  // namespace fuzz
