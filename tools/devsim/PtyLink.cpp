// Pseudo-terminal I/O loop of the simulator (see PtyLink.h).
#include "PtyLink.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace devsim {

namespace {

// Input the host may send ahead of the shell before the loop stops reading (then the host's
// writes block in the kernel, as a device's full USB buffer makes them wait).
constexpr size_t kInputLimit = 64 * 1024;
// Output the shell may queue ahead of the line before its writes wait.
constexpr size_t kOutputLimit = 1024 * 1024;
int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

timespec ToTimespec(int64_t Ns) {
  if (Ns < 0) Ns = 0;
  timespec T{};
  T.tv_sec = static_cast<time_t>(Ns / 1'000'000'000);
  T.tv_nsec = static_cast<long>(Ns % 1'000'000'000);
  return T;
}

}  // namespace

TPtyLink::TPtyLink(TLinkConfig Config, TTranscript& Transcript)
    : Config_(Config), Transcript_(Transcript) {}

TPtyLink::~TPtyLink() {
  if (Master_ >= 0) close(Master_);
  if (WakeFd_ >= 0) close(WakeFd_);
  if (WatchFd_ >= 0) close(WatchFd_);
  if (HeldSlave_ >= 0) close(HeldSlave_);
}

bool TPtyLink::Open(std::string& SlavePath, std::string& Error) {
  Master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (Master_ < 0 || grantpt(Master_) != 0 || unlockpt(Master_) != 0) {
    Error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  char Name[128];
  if (ptsname_r(Master_, Name, sizeof(Name)) != 0) {
    Error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  SlavePath_ = Name;
  // On Linux the termios calls on a master act on the slave's settings.
  termios Settings{};
  if (tcgetattr(Master_, &Settings) == 0) {
    cfmakeraw(&Settings);
    tcsetattr(Master_, TCSANOW, &Settings);
  }
  // The loop keeps a slave descriptor of its own: the master then never reads EIO between host
  // sessions, and unread device output can be flushed or counted through it. It is opened
  // before the watch exists, so it is never mistaken for the host.
  HeldSlave_ = open(Name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (HeldSlave_ < 0) {
    Error = std::string("cannot open the slave: ") + std::strerror(errno);
    return false;
  }
  WakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (WakeFd_ < 0) {
    Error = std::string("eventfd: ") + std::strerror(errno);
    return false;
  }
  WatchFd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (WatchFd_ < 0 || inotify_add_watch(WatchFd_, Name, IN_OPEN | IN_CLOSE) < 0) {
    Error = std::string("inotify: ") + std::strerror(errno);
    return false;
  }
  SlavePath = SlavePath_;
  return true;
}

void TPtyLink::Wake() {
  uint64_t One = 1;
  ssize_t Written = write(WakeFd_, &One, sizeof(One));
  (void)Written;  // a full counter already means "wake up"
}

bool TPtyLink::SessionValidLocked() const {
  if (!Config_.PerSessionShell) return true;
  return SlaveOpen_ && Generation_ == ShellGeneration_;
}

bool TPtyLink::BeginSession() {
  std::unique_lock<std::mutex> Guard(Lock_);
  Changed_.wait(Guard,
                [&] { return Shutdown_ || (SlaveOpen_ && Generation_ != ShellGeneration_); });
  if (Shutdown_) return false;
  ShellGeneration_ = Generation_;
  if (Config_.PerSessionShell) {
    Input_ = std::move(NextInput_);
    NextInput_.clear();
    InputPos_ = 0;
  }
  return true;
}

size_t TPtyLink::Read(char* Buffer, size_t MaxCount) {
  std::unique_lock<std::mutex> Guard(Lock_);
  // Bytes that arrived before the port was closed still reach the session's shell (a payload
  // cut short lands in the file); a new session's bytes wait in NextInput_ for the new shell.
  auto Available = [&] { return InputPos_ < Input_.size(); };
  Changed_.wait(Guard, [&] { return Shutdown_ || Available() || !SessionValidLocked(); });
  if (Shutdown_ || !Available()) return 0;
  size_t Count = std::min(MaxCount, Input_.size() - InputPos_);
  std::memcpy(Buffer, Input_.data() + InputPos_, Count);
  InputPos_ += Count;
  if (InputPos_ == Input_.size()) {
    Input_.clear();
    InputPos_ = 0;
  }
  if (InputThrottled_ && Input_.size() - InputPos_ < kInputLimit) {
    InputThrottled_ = false;
    Wake();
  }
  return Count;
}

void TPtyLink::Write(std::string_view Bytes) {
  if (Bytes.empty()) return;
  std::unique_lock<std::mutex> Guard(Lock_);
  Changed_.wait(Guard,
                [&] { return Shutdown_ || !SessionValidLocked() || OutputBytes_ < kOutputLimit; });
  if (Shutdown_ || !SessionValidLocked() || Frozen_ || Dropping_) return;
  int64_t Ready = NowNs() + static_cast<int64_t>(Config_.LatencyMs) * 1'000'000;
  Output_.push_back(TSegment{Ready, std::string(Bytes)});
  OutputBytes_ += Bytes.size();
  Guard.unlock();
  Wake();
}

bool TPtyLink::Pause(uint32_t Ms) {
  std::unique_lock<std::mutex> Guard(Lock_);
  return !Changed_.wait_for(Guard, std::chrono::milliseconds(Ms), [&] { return Shutdown_; });
}

void TPtyLink::Stall() {
  std::unique_lock<std::mutex> Guard(Lock_);
  Frozen_ = true;
  Transcript_.Note("device stalled");
  Guard.unlock();
  Wake();
  Guard.lock();
  Changed_.wait(Guard, [&] { return Shutdown_; });
}

void TPtyLink::Drop() {
  std::unique_lock<std::mutex> Guard(Lock_);
  Dropping_ = true;
  Frozen_ = true;
  Guard.unlock();
  Wake();
  Guard.lock();
  Changed_.wait(Guard, [&] { return Shutdown_; });
}

void TPtyLink::OnOpened() {
  std::lock_guard<std::mutex> Guard(Lock_);
  SlaveOpen_ = true;
  ++Generation_;
  // Bytes of a session whose shell never started are not for this one.
  if (Config_.PerSessionShell) NextInput_.clear();
  Transcript_.Note("port opened");
  Changed_.notify_all();
}

void TPtyLink::OnHungUp() {
  {
    std::lock_guard<std::mutex> Guard(Lock_);
    SlaveOpen_ = false;
    Transcript_.Note("port closed");
    if (Config_.PerSessionShell) {
      // The session is over: output the host did not take is thrown away.
      Output_.clear();
      OutputBytes_ = 0;
    }
    Changed_.notify_all();
  }
  if (Config_.PerSessionShell) FlushSlaveInput();
}

void TPtyLink::FlushSlaveInput() {
  // Bytes the device sent that the closing host never read stay queued in the slave and would
  // greet the next opener before its fresh session. Bytes still on their way through the
  // kernel's buffer work land after a first flush, so flush until the queue has stayed empty
  // over a few short checks (no new session's bytes can be among them: its shell starts only
  // after this returns).
  int QuietChecks = 0;
  for (int Round = 0; Round < 50 && QuietChecks < 3; ++Round) {
    tcflush(HeldSlave_, TCIFLUSH);
    usleep(3000);
    int Unread = 0;
    if (ioctl(HeldSlave_, FIONREAD, &Unread) != 0) break;
    QuietChecks = Unread == 0 ? QuietChecks + 1 : 0;
  }
}

// Bytes of one pacing slice: about 5 ms of line time, so the rate holds over short spans too.
size_t TPtyLink::SliceBytes() const {
  size_t Limit = static_cast<size_t>(Config_.RateBytesPerSecond / 200);
  return std::max<size_t>(1, std::min<size_t>(Limit, 16384));
}

int64_t TPtyLink::LineTimeNs(size_t Bytes) const {
  return static_cast<int64_t>(static_cast<uint64_t>(Bytes) * 1'000'000'000ull /
                              Config_.RateBytesPerSecond);
}

void TPtyLink::ReadFromMaster(bool Paced) {
  char Buffer[65536];
  Paced = Paced && Config_.RateBytesPerSecond > 0 && !Config_.DiscardInput;
  for (;;) {
    size_t Room = sizeof(Buffer);
    int64_t Now = 0;
    if (Paced) {
      // The host's bytes cross the line at its rate: one slice, then the next once it has.
      Now = NowNs();
      if (InputFreeNs_ > Now) return;
      Room = SliceBytes();
    }
    bool Keep = false;
    {
      std::lock_guard<std::mutex> Guard(Lock_);
      // Bytes that reach a per-session shell while no session runs belong to no session.
      Keep = !Config_.DiscardInput && (SlaveOpen_ || !Config_.PerSessionShell);
    }
    if (Keep) {
      std::lock_guard<std::mutex> Guard(Lock_);
      size_t Pending = Input_.size() - InputPos_ + NextInput_.size();
      if (Frozen_) return;
      if (Pending >= kInputLimit) {
        InputThrottled_ = true;
        return;
      }
      Room = std::min(Room, kInputLimit - Pending);
    }
    ssize_t Count = read(Master_, Buffer, Room);
    if (Count > 0) {
      if (Paced) InputFreeNs_ = Now + LineTimeNs(static_cast<size_t>(Count));
      Transcript_.Record('>', Buffer, static_cast<size_t>(Count));
      if (Keep) {
        std::lock_guard<std::mutex> Guard(Lock_);
        // Until the shell thread has begun a new session, its bytes wait apart.
        bool ForNext = Config_.PerSessionShell && Generation_ != ShellGeneration_;
        (ForNext ? NextInput_ : Input_).append(Buffer, static_cast<size_t>(Count));
        Changed_.notify_all();
      }
      continue;
    }
    if (Count < 0 && errno == EINTR) continue;
    return;  // EAGAIN: nothing more for now
  }
}

void TPtyLink::WriteToMaster(int64_t Now) {
  // Gathers the ready bytes of several segments into one write (an echoed character, a line and
  // a prompt usually go out together), at most one rate slice of them.
  const size_t Limit = Config_.RateBytesPerSecond > 0 ? SliceBytes() : 65536;
  std::string Batch;
  {
    std::lock_guard<std::mutex> Guard(Lock_);
    if (Config_.RateBytesPerSecond > 0 && LinkFreeNs_ > Now) return;
    for (const TSegment& Segment : Output_) {
      if (Segment.ReadyNs > Now || Batch.size() >= Limit) break;
      size_t Take = std::min(Segment.Bytes.size() - Segment.Offset, Limit - Batch.size());
      Batch.append(Segment.Bytes, Segment.Offset, Take);
    }
  }
  if (Batch.empty()) return;
  ssize_t Written = write(Master_, Batch.data(), Batch.size());
  if (Written <= 0) return;  // full (EAGAIN) or hung up: the poll loop sorts it out
  Transcript_.Record('<', Batch.data(), static_cast<size_t>(Written));
  std::lock_guard<std::mutex> Guard(Lock_);
  // Shell writes only append and only this thread removes, so the front is what was gathered.
  size_t Left = static_cast<size_t>(Written);
  while (Left > 0) {
    TSegment& Front = Output_.front();
    size_t Take = std::min(Left, Front.Bytes.size() - Front.Offset);
    Front.Offset += Take;
    Left -= Take;
    if (Front.Offset == Front.Bytes.size()) Output_.pop_front();
  }
  OutputBytes_ -= static_cast<size_t>(Written);
  if (Config_.RateBytesPerSecond > 0)
    LinkFreeNs_ = std::max(LinkFreeNs_, Now) + LineTimeNs(static_cast<size_t>(Written));
  Changed_.notify_all();
}

void TPtyLink::ProcessWatchEvents() {
  // inotify reports every open and close of the slave in order, so a close followed at once by
  // a new open still counts as two sessions. Only the host opens it (the loop's own descriptor
  // was opened before the watch), so the count of opens minus closes is the host's.
  alignas(inotify_event) char Buffer[4096];
  for (;;) {
    ssize_t Count = read(WatchFd_, Buffer, sizeof(Buffer));
    if (Count <= 0) return;
    for (ssize_t At = 0; At < Count;) {
      const auto* Event = reinterpret_cast<const inotify_event*>(Buffer + At);
      At += static_cast<ssize_t>(sizeof(inotify_event) + Event->len);
      if (Event->mask & IN_Q_OVERFLOW) {
        std::fprintf(stderr, "devsim: port events lost; session tracking may be off\n");
      } else if (Event->mask & IN_OPEN) {
        if (OpenCount_++ == 0) OnOpened();
      } else if ((Event->mask & IN_CLOSE) && OpenCount_ > 0 && --OpenCount_ == 0) {
        // What the host wrote before closing still belongs to the session that ends.
        ReadFromMaster(false);
        OnHungUp();
      }
    }
  }
}

void TPtyLink::WaitUntilHostHasRead(int StopFd) {
  // Closing the master hangs the slave up and throws away what its reader has not read yet;
  // a dropped line should deliver its last bytes first, so wait (bounded, about 2 s) for them
  // to be read. The kernel moves written bytes into the slave's queue from a work item, so an
  // empty queue counts only when it stays empty over a few checks.
  int QuietChecks = 0;
  for (int Round = 0; Round < 200 && QuietChecks < 3; ++Round) {
    int Unread = 0;
    if (ioctl(HeldSlave_, FIONREAD, &Unread) != 0) break;
    QuietChecks = Unread == 0 ? QuietChecks + 1 : 0;
    pollfd Stop{StopFd, POLLIN, 0};
    if (poll(&Stop, 1, 10) > 0) break;
  }
}

void TPtyLink::Run(int StopFd) {
  bool Dropped = false;
  for (;;) {
    bool Open;
    bool Reading;
    bool HaveOutput;
    bool DropNow = false;
    int64_t NextOutputNs = 0;
    {
      std::lock_guard<std::mutex> Guard(Lock_);
      Open = SlaveOpen_;
      Reading = !Frozen_ && (Config_.DiscardInput ||
                             Input_.size() - InputPos_ + NextInput_.size() < kInputLimit);
      HaveOutput = !Output_.empty();
      if (HaveOutput) {
        NextOutputNs = Output_.front().ReadyNs;
        if (Config_.RateBytesPerSecond > 0) NextOutputNs = std::max(NextOutputNs, LinkFreeNs_);
      }
      DropNow = Dropping_ && (!HaveOutput || !SlaveOpen_);
    }
    if (DropNow) {
      // The device vanishes: the slave side sees a hang-up on its next read.
      if (Open) WaitUntilHostHasRead(StopFd);
      Transcript_.Note("line dropped");
      close(Master_);
      Master_ = -1;
      Dropped = true;
      break;
    }
    int64_t Now = NowNs();
    pollfd Fds[4] = {
        {StopFd, POLLIN, 0}, {WakeFd_, POLLIN, 0}, {WatchFd_, POLLIN, 0}, {Master_, 0, 0}};
    int64_t WaitNs = -1;
    if (Reading && Config_.RateBytesPerSecond > 0 && !Config_.DiscardInput && InputFreeNs_ > Now) {
      // The line still carries the host's last slice: read again when it has.
      WaitNs = InputFreeNs_ - Now;
    } else if (Reading) {
      Fds[3].events |= POLLIN;
    }
    // Output waits while the port is closed, as a device's does while the host does not poll.
    if (HaveOutput && Open) {
      if (NextOutputNs <= Now) {
        Fds[3].events |= POLLOUT;
      } else {
        WaitNs = WaitNs < 0 ? NextOutputNs - Now : std::min(WaitNs, NextOutputNs - Now);
      }
    }
    timespec Timeout = ToTimespec(WaitNs);
    int Ready = ppoll(Fds, 4, WaitNs < 0 ? nullptr : &Timeout, nullptr);
    if (Ready < 0) {
      if (errno == EINTR) continue;
      std::perror("devsim: poll");
      break;
    }
    if (Fds[0].revents != 0) break;
    if (Fds[1].revents & POLLIN) {
      uint64_t Count = 0;
      ssize_t Got = read(WakeFd_, &Count, sizeof(Count));
      (void)Got;
    }
    // Events first: input that came before a close belongs to the closing session.
    if (Fds[2].revents & POLLIN) ProcessWatchEvents();
    if (Fds[3].revents & POLLIN) ReadFromMaster(true);
    if (Fds[3].revents & POLLOUT) WriteToMaster(NowNs());
  }
  std::lock_guard<std::mutex> Guard(Lock_);
  Shutdown_ = true;
  if (Dropped) SlaveOpen_ = false;
  Changed_.notify_all();
}

}  // namespace devsim
