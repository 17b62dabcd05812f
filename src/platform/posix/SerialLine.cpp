// POSIX serial line: termios raw mode, exclusive opening, and the Windows COMMTIMEOUTS rules
// emulated with poll() on a non-blocking descriptor, so that the serial port class reads with
// the same timing on Linux as on Windows.
#include "platform/SerialLine.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

#include "platform/Platform.h"
#include "platform/PortName.h"
#include "platform/posix/TtyCalls.h"

namespace platform {

struct TSerialLineState {
  int Fd = -1;
  // The time-outs live here: the tty driver has no such notion, reads and writes apply them.
  TSerialTimeouts Timeouts;
};

namespace {

int ModemLinesIoctl(int Fd, unsigned long Request, int* Bits) {
  return ioctl(Fd, Request, Bits);
}

struct TRate {
  uint32_t Baud;
  speed_t Speed;
};
constexpr TRate kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},   {576000, B576000},   {921600, B921600},   {1000000, B1000000},
    {1152000, B1152000}, {1500000, B1500000}, {2000000, B2000000},
#endif
};

std::optional<speed_t> SpeedFor(uint32_t Baud) {
  for (const TRate& rate : kRates)
    if (rate.Baud == Baud) return rate.Speed;
  return std::nullopt;
}

uint32_t BaudFor(speed_t Speed) {
  for (const TRate& rate : kRates)
    if (rate.Speed == Speed) return rate.Baud;
  return 0;
}

std::string ErrnoText(int Code) {
  char buffer[128];
  return strerror_r(Code, buffer, sizeof(buffer));  // the GNU form: returns the text
}

// The termios flags that SerialConfigure sets or clears, by field: what it compares after the
// driver had its say.
constexpr tcflag_t kControlFlags = CSIZE | PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD;
constexpr tcflag_t kInputFlags =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK;
constexpr tcflag_t kOutputFlags = OPOST;
constexpr tcflag_t kLocalFlags = ECHO | ECHONL | ICANON | ISIG | IEXTEN;

bool SameLineSettings(const termios& Want, const termios& Got) {
  return (Want.c_cflag & kControlFlags) == (Got.c_cflag & kControlFlags) &&
         (Want.c_iflag & kInputFlags) == (Got.c_iflag & kInputFlags) &&
         (Want.c_oflag & kOutputFlags) == (Got.c_oflag & kOutputFlags) &&
         (Want.c_lflag & kLocalFlags) == (Got.c_lflag & kLocalFlags) &&
         cfgetispeed(&Want) == cfgetispeed(&Got) && cfgetospeed(&Want) == cfgetospeed(&Got) &&
         Want.c_cc[VMIN] == Got.c_cc[VMIN] && Want.c_cc[VTIME] == Got.c_cc[VTIME];
}

// A Flipper starts no command line until DTR is up, so a DTR that cannot be raised fails the open
// here, with its cause, instead of as a time-out later.
bool RaiseModemLines(int Fd, std::string& Reason) {
  int bits = TIOCM_DTR | TIOCM_RTS;
  if (TtyCalls().ModemLines(Fd, TIOCMBIS, &bits) != 0) {
    const int error = errno;
    // A line without modem lines at all, such as a pseudo-terminal, answers ENOTTY (some systems
    // EINVAL): there is nothing to raise.
    if (error == ENOTTY || error == EINVAL) return true;
    Reason = "DTR could not be raised (" + ErrnoText(error) + ")";
    return false;
  }
  int now = 0;
  if (TtyCalls().ModemLines(Fd, TIOCMGET, &now) == 0 && (now & TIOCM_DTR) == 0) {
    Reason = "DTR stays low after raising it";
    return false;
  }
  return true;
}

// Milliseconds left until Deadline (a TickCountMs value), clamped to what poll() takes.
int MsUntil(uint64_t Deadline) {
  uint64_t now = TickCountMs();
  if (now >= Deadline) return 0;
  return static_cast<int>(std::min<uint64_t>(Deadline - now, 0x7FFFFFFF));
}

// Waits for Events on Fd for at most TimeoutMs (-1: no limit). Returns the revents, 0 on time-out.
short WaitFor(int Fd, short Events, int TimeoutMs) {
  pollfd p{Fd, Events, 0};
  for (;;) {
    int r = poll(&p, 1, TimeoutMs);
    if (r > 0) return p.revents;
    if (r == 0) return 0;
    if (errno != EINTR) return POLLERR;
  }
}

}  // namespace

TTtyCalls& TtyCalls() {
  static TTtyCalls calls{tcsetattr, ModemLinesIoctl};
  return calls;
}

TSerialLine SerialOpen(const std::string& Name, std::string& Reason) {
  if (!IsPortName(Name)) {
    Reason = "not a port name";
    return kNoSerialLine;
  }
  const std::string path = PortDevicePath(Name);
  // O_NONBLOCK: the open must not wait for a carrier (CLOCAL is not set yet); the descriptor stays
  // non-blocking and every wait goes through poll() with a deadline.
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    Reason = ErrnoText(errno);
    return kNoSerialLine;
  }
  if (!isatty(fd)) {
    close(fd);
    Reason = "not a serial line";
    return kNoSerialLine;
  }
  // Windows opens a COM port without sharing, so a port in use fails to open there. Two locks give
  // that here: flock() is the advisory lock that well-behaved serial programs take and check, and
  // it holds against root as well; TIOCEXCL makes the kernel refuse any further open() of the tty
  // by programs that do not take flock, except root's. Either alone leaves a gap.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    Reason = "in use by another program";
    return kNoSerialLine;
  }
  ioctl(fd, TIOCEXCL);  // not every tty driver supports it; flock still guards the port

  auto* line = new TSerialLineState;
  line->Fd = fd;
  // Until someone sets time-outs, a read returns what is buffered instead of waiting without limit.
  line->Timeouts.ReadIntervalTimeout = kSerialTimeoutMax;
  return line;
}

bool SerialConfigure(TSerialLine Line, uint32_t BaudRate, std::string& Reason) {
  if (!Line) {
    Reason = "the port is not open";
    return false;
  }
  std::optional<speed_t> speed = SpeedFor(BaudRate);
  if (!speed) {
    Reason = "this system has no setting for " + std::to_string(BaudRate) + " baud";
    return false;
  }
  termios t{};
  if (tcgetattr(Line->Fd, &t) != 0) {
    Reason = "the line settings cannot be read (" + ErrnoText(errno) + ")";
    return false;
  }
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | PARMRK | ISTRIP);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CREAD | CLOCAL;
  // The descriptor is non-blocking, so reads never wait in the driver; poll() measures every wait.
  // VMIN 1 makes an empty read answer EAGAIN, leaving a 0 result to mean a hang-up (with VMIN 0 a
  // raw tty answers 0 for "nothing yet" as well).
  t.c_cc[VMIN] = 1;
  t.c_cc[VTIME] = 0;
  cfsetispeed(&t, *speed);
  cfsetospeed(&t, *speed);
  const std::string wanted = "raw 8N1 at " + std::to_string(BaudRate) + " baud";
  if (TtyCalls().SetAttributes(Line->Fd, TCSANOW, &t) != 0) {
    Reason = "the driver refused " + wanted + " (" + ErrnoText(errno) + ")";
    return false;
  }
  // tcsetattr reports success when any one of the changes applied; only reading the settings back
  // shows whether the driver took them all.
  termios got{};
  if (tcgetattr(Line->Fd, &got) != 0 || !SameLineSettings(t, got)) {
    Reason = "the driver did not take " + wanted;
    return false;
  }
  return RaiseModemLines(Line->Fd, Reason);
}

bool SerialGetSettings(TSerialLine Line, TSerialSettings& Settings) {
  termios t{};
  if (!Line || tcgetattr(Line->Fd, &t) != 0) return false;
  Settings.BaudRate = BaudFor(cfgetospeed(&t));
  switch (t.c_cflag & CSIZE) {
    case CS5:
      Settings.DataBits = 5;
      break;
    case CS6:
      Settings.DataBits = 6;
      break;
    case CS7:
      Settings.DataBits = 7;
      break;
    default:
      Settings.DataBits = 8;
  }
  Settings.Parity = (t.c_cflag & PARENB) != 0;
  Settings.StopBits = (t.c_cflag & CSTOPB) != 0 ? 2 : 1;
  Settings.Raw = (t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 && (t.c_oflag & OPOST) == 0 &&
                 (t.c_iflag & (ISTRIP | INLCR | IGNCR | ICRNL | PARMRK | INPCK)) == 0;
  Settings.HardwareFlow = (t.c_cflag & CRTSCTS) != 0;
  Settings.SoftwareFlow = (t.c_iflag & (IXON | IXOFF)) != 0;
  int lines = 0;
  if (ioctl(Line->Fd, TIOCMGET, &lines) == 0) {
    Settings.DtrOn = (lines & TIOCM_DTR) != 0;
    Settings.RtsOn = (lines & TIOCM_RTS) != 0;
  } else {
    Settings.DtrOn = Settings.RtsOn = true;  // no modem lines to report (see SerialLine.h)
  }
  return true;
}

bool SerialGetTimeouts(TSerialLine Line, TSerialTimeouts& Timeouts) {
  if (!Line) return false;
  Timeouts = Line->Timeouts;
  return true;
}

bool SerialSetTimeouts(TSerialLine Line, const TSerialTimeouts& Timeouts) {
  if (!Line) return false;
  Line->Timeouts = Timeouts;
  return true;
}

bool SerialSetupQueues(TSerialLine Line, uint32_t, uint32_t) {
  return Line != nullptr;
}

bool SerialPurge(TSerialLine Line) {
  if (!Line) return false;
  return tcflush(Line->Fd, TCIOFLUSH) == 0;
}

bool SerialRead(TSerialLine Line, void* Buf, uint32_t Count, uint32_t& Got) {
  Got = 0;
  if (!Line) return false;
  if (Count == 0) return true;
  const TSerialTimeouts& t = Line->Timeouts;
  const uint64_t start = TickCountMs();
  auto* out = static_cast<unsigned char*>(Buf);

  // The two "return what is buffered" forms of the interval field.
  const bool intervalMax = t.ReadIntervalTimeout == kSerialTimeoutMax;
  const bool immediate =
      intervalMax && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
  const bool firstBytes = intervalMax && t.ReadTotalTimeoutMultiplier == kSerialTimeoutMax &&
                          t.ReadTotalTimeoutConstant != kSerialTimeoutMax;

  std::optional<uint64_t> totalDeadline;
  if (firstBytes) {
    totalDeadline = start + t.ReadTotalTimeoutConstant;
  } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
    totalDeadline = start + static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * Count +
                    t.ReadTotalTimeoutConstant;
  }
  const bool useInterval = !intervalMax && t.ReadIntervalTimeout != 0;
  uint64_t lastByte = 0;

  for (;;) {
    ssize_t n = read(Line->Fd, out + Got, Count - Got);
    if (n > 0) {
      Got += static_cast<uint32_t>(n);
      lastByte = TickCountMs();
      if (Got == Count || immediate || firstBytes) return true;
      continue;  // more may be buffered already
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      // End of file or an error: the other side hung up or the device went away. Bytes that came
      // before are handed out; the next read reports the failure.
      return Got > 0;
    }
    if (immediate) return true;

    // Nothing buffered: wait for the nearer of the two limits.
    int waitMs = -1;
    if (totalDeadline) waitMs = MsUntil(*totalDeadline);
    if (useInterval && Got > 0) {
      int interval = MsUntil(lastByte + t.ReadIntervalTimeout);
      waitMs = waitMs < 0 ? interval : std::min(waitMs, interval);
    }
    if (waitMs == 0) return true;
    short events = WaitFor(Line->Fd, POLLIN, waitMs);
    if (events == 0) return true;  // a time-out: the read ends with what came
    // POLLIN, or POLLHUP/POLLERR whose cause the next read() reports.
  }
}

bool SerialWrite(TSerialLine Line, const void* Buf, uint32_t Count, uint32_t& Written) {
  Written = 0;
  if (!Line) return false;
  if (Count == 0) return true;
  const TSerialTimeouts& t = Line->Timeouts;
  std::optional<uint64_t> deadline;
  if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0)
    deadline = TickCountMs() + static_cast<uint64_t>(t.WriteTotalTimeoutMultiplier) * Count +
               t.WriteTotalTimeoutConstant;
  const auto* in = static_cast<const unsigned char*>(Buf);
  while (Written < Count) {
    ssize_t n = write(Line->Fd, in + Written, Count - Written);
    if (n > 0) {
      Written += static_cast<uint32_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    int waitMs = deadline ? MsUntil(*deadline) : -1;
    if (waitMs == 0) return true;  // cut short by the write time-out
    short events = WaitFor(Line->Fd, POLLOUT, waitMs);
    if (events == 0) return true;
    if (!(events & POLLOUT)) return false;  // hang-up or error
  }
  return true;
}

void SerialClose(TSerialLine Line) {
  if (!Line) return;
  // The last close() of a tty waits until its output has drained, for up to 30 s on USB serial
  // drivers when the device does not read. Give the output a short while, then drop what is still
  // stuck, so that closing a hung port stays bounded as it does on Windows. Output that is on its
  // way is not dropped (a pseudo-terminal reports none queued: its bytes are already with the
  // other side, and a flush would discard them there).
  const uint64_t deadline = TickCountMs() + 500;
  int pending = 0;
  while (ioctl(Line->Fd, TIOCOUTQ, &pending) == 0 && pending > 0 && TickCountMs() < deadline)
    SleepMs(10);
  if (pending > 0) tcflush(Line->Fd, TCOFLUSH);
  ioctl(Line->Fd, TIOCNXCL);
  close(Line->Fd);  // also releases the flock
  delete Line;
}

}  // namespace platform
