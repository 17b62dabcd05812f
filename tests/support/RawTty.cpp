// Raw tty client for tests (see RawTty.h).
#include "RawTty.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

int RemainingMs(uint64_t DeadlineMs) {
  uint64_t Now = NowMs();
  return Now >= DeadlineMs ? 0 : static_cast<int>(DeadlineMs - Now);
}

}  // namespace

TRawTty::~TRawTty() {
  Close();
}

bool TRawTty::Open(const std::string& Path) {
  Close();
  Fd_ = open(Path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Fd_ < 0) return false;
  termios Settings{};
  if (tcgetattr(Fd_, &Settings) == 0) {
    cfmakeraw(&Settings);
    cfsetspeed(&Settings, B115200);
    tcsetattr(Fd_, TCSANOW, &Settings);
  }
  Pending_.clear();
  return true;
}

void TRawTty::Close() {
  if (Fd_ >= 0) close(Fd_);
  Fd_ = -1;
  Pending_.clear();
}

bool TRawTty::Write(std::string_view Bytes, uint32_t TimeoutMs) {
  if (Fd_ < 0) return false;
  uint64_t Deadline = NowMs() + TimeoutMs;
  size_t Done = 0;
  while (Done < Bytes.size()) {
    ssize_t Count = write(Fd_, Bytes.data() + Done, Bytes.size() - Done);
    if (Count > 0) {
      Done += static_cast<size_t>(Count);
      continue;
    }
    if (Count < 0 && errno != EAGAIN && errno != EINTR) return false;
    int Left = RemainingMs(Deadline);
    if (Left == 0) return false;
    pollfd Fd{Fd_, POLLOUT, 0};
    poll(&Fd, 1, Left);
  }
  return true;
}

int TRawTty::FillOnce(uint64_t DeadlineMs) {
  pollfd Fd{Fd_, POLLIN, 0};
  int Ready = poll(&Fd, 1, RemainingMs(DeadlineMs));
  if (Ready <= 0) return 0;
  char Buffer[65536];
  ssize_t Count = read(Fd_, Buffer, sizeof(Buffer));
  if (Count > 0) {
    Pending_.append(Buffer, static_cast<size_t>(Count));
    return static_cast<int>(Count);
  }
  if (Count < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
  return -1;
}

bool TRawTty::ReadUntil(std::string_view Marker, std::string& Out, uint32_t TimeoutMs) {
  Out.clear();
  if (Fd_ < 0) return false;
  uint64_t Deadline = NowMs() + TimeoutMs;
  for (;;) {
    size_t At = Pending_.find(Marker);
    if (At != std::string::npos) {
      Out = Pending_.substr(0, At + Marker.size());
      Pending_.erase(0, At + Marker.size());
      return true;
    }
    if (RemainingMs(Deadline) == 0 || FillOnce(Deadline) < 0) {
      Out = Pending_;
      Pending_.clear();
      return false;
    }
  }
}

bool TRawTty::ReadExact(size_t Count, std::string& Out, uint32_t TimeoutMs) {
  Out.clear();
  if (Fd_ < 0) return false;
  uint64_t Deadline = NowMs() + TimeoutMs;
  while (Pending_.size() < Count) {
    if (RemainingMs(Deadline) == 0 || FillOnce(Deadline) < 0) {
      Out.swap(Pending_);
      return false;
    }
  }
  Out = Pending_.substr(0, Count);
  Pending_.erase(0, Count);
  return true;
}

bool TRawTty::ReadLine(std::string& Line, uint32_t TimeoutMs) {
  if (!ReadUntil("\r\n", Line, TimeoutMs)) return false;
  Line.resize(Line.size() - 2);
  return true;
}

std::string TRawTty::ReadQuiet(uint32_t QuietMs, uint32_t TimeoutMs) {
  std::string Out;
  if (Fd_ < 0) return Out;
  uint64_t Deadline = NowMs() + TimeoutMs;
  for (;;) {
    Out += Pending_;
    Pending_.clear();
    uint64_t QuietDeadline = std::min(Deadline, NowMs() + QuietMs);
    if (RemainingMs(QuietDeadline) == 0 || FillOnce(QuietDeadline) <= 0) break;
  }
  Out += Pending_;
  Pending_.clear();
  return Out;
}

bool TRawTty::WaitHangUp(uint32_t TimeoutMs, std::string* Out) {
  if (Fd_ < 0) return true;
  uint64_t Deadline = NowMs() + TimeoutMs;
  for (;;) {
    pollfd Fd{Fd_, POLLIN, 0};
    int Ready = poll(&Fd, 1, RemainingMs(Deadline));
    if (Ready <= 0) return false;
    char Buffer[65536];
    ssize_t Count = read(Fd_, Buffer, sizeof(Buffer));
    if (Count > 0) {
      if (Out != nullptr) Out->append(Buffer, static_cast<size_t>(Count));
      continue;
    }
    if (Count < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (Fd.revents & POLLHUP) return true;
      continue;
    }
    return true;
  }
}
