// The stop event, written once over the standard library's mutex and condition variable, which
// both toolchains provide (MinGW's posix thread model included).
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "platform/Thread.h"

namespace platform {

struct TStopEvent::TState {
  std::mutex Lock;
  std::condition_variable Changed;
  bool Signalled = false;
};

TStopEvent::TStopEvent() : State_(new TState) {}
TStopEvent::~TStopEvent() {
  delete State_;
}

void TStopEvent::Set() {
  std::lock_guard<std::mutex> guard(State_->Lock);
  State_->Signalled = true;
  State_->Changed.notify_all();
}

bool TStopEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(State_->Lock);
  return State_->Signalled;
}

bool TStopEvent::Wait(uint32_t TimeoutMs) {
  std::unique_lock<std::mutex> lock(State_->Lock);
  return State_->Changed.wait_for(lock, std::chrono::milliseconds(TimeoutMs),
                                  [this] { return State_->Signalled; });
}

}  // namespace platform
