// Pseudo-terminal peer for serial tests; see PtyPeer.h.
#include "support/PtyPeer.h"

#include "support/TestPorts.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int MsLeft(uint64_t Deadline) {
  uint64_t now = NowMs();
  return now >= Deadline ? 0 : static_cast<int>(Deadline - now);
}

void SleepMs(uint32_t Ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(Ms));
}

// Size of the line discipline's read buffer; larger sends cannot be waited for on the slave side.
constexpr size_t kSettleLimit = 4000;

}  // namespace

TPtyPeer::TPtyPeer() {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master < 0) return;
  char name[128] = {};
  if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof(name)) != 0) {
    close(master);
    return;
  }
  int slave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave < 0) {
    close(master);
    return;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
  Master_ = master;
  Slave_ = slave;
  SlavePath_ = name;
  PortName_ = LinkTestPort(SlavePath_);
}

TPtyPeer::~TPtyPeer() {
  WaitSent();
  HangUp();
}

bool TPtyPeer::WriteAll(const std::string& Bytes, uint32_t TimeoutMs) {
  if (Master_ < 0) return false;
  const uint64_t deadline = NowMs() + TimeoutMs;
  size_t done = 0;
  while (done < Bytes.size()) {
    ssize_t n = write(Master_, Bytes.data() + done, Bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    int left = MsLeft(deadline);
    if (left == 0) return false;
    pollfd p{Master_, POLLOUT, 0};
    poll(&p, 1, left);
  }
  return true;
}

bool TPtyPeer::Send(const std::string& Bytes) {
  int before = 0;
  if (Slave_ >= 0) ioctl(Slave_, FIONREAD, &before);
  if (!WriteAll(Bytes, 5000)) return false;
  if (Slave_ < 0 || Bytes.size() + static_cast<size_t>(before) > kSettleLimit) return true;
  // The pty hands written bytes to the slave's line discipline from a kernel work item; wait for
  // them so that the test's next read sees them in one piece.
  const uint64_t deadline = NowMs() + 5000;
  for (;;) {
    int ready = 0;
    if (ioctl(Slave_, FIONREAD, &ready) != 0) return true;
    if (static_cast<size_t>(ready) >= Bytes.size() + static_cast<size_t>(before)) return true;
    if (MsLeft(deadline) == 0) return false;
    SleepMs(1);
  }
}

void TPtyPeer::SendLater(std::vector<std::pair<uint32_t, std::string>> Pieces) {
  WaitSent();
  Sender_ = std::thread([this, pieces = std::move(Pieces)] {
    for (const auto& [delay, bytes] : pieces) {
      SleepMs(delay);
      WriteAll(bytes, 10000);
    }
  });
}

void TPtyPeer::WaitSent() {
  if (Sender_.joinable()) Sender_.join();
}

std::string TPtyPeer::Receive(size_t Count, uint32_t TimeoutMs) {
  std::string result;
  if (Master_ < 0) return result;
  const uint64_t deadline = NowMs() + TimeoutMs;
  char buf[4096];
  while (result.size() < Count) {
    ssize_t n = read(Master_, buf, std::min(sizeof(buf), Count - result.size()));
    if (n > 0) {
      result.append(buf, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno != EAGAIN) break;
    int left = MsLeft(deadline);
    if (left == 0) break;
    pollfd p{Master_, POLLIN, 0};
    if (poll(&p, 1, left) <= 0) break;
  }
  return result;
}

std::string TPtyPeer::ReceiveUntilQuiet(uint32_t QuietMs) {
  std::string result;
  if (Master_ < 0) return result;
  char buf[4096];
  for (;;) {
    pollfd p{Master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(QuietMs)) <= 0) break;
    ssize_t n = read(Master_, buf, sizeof(buf));
    if (n <= 0) break;
    result.append(buf, static_cast<size_t>(n));
  }
  return result;
}

void TPtyPeer::HangUp() {
  WaitSent();
  if (Slave_ >= 0) close(Slave_);
  if (Master_ >= 0) close(Master_);
  Slave_ = Master_ = -1;
}
