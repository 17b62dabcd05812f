// The two tty calls through which the POSIX serial line sets a port up, replaceable by tests: a
// real driver may take only some of the settings, or fail to raise DTR, which no pseudo-terminal
// ever does. Production code never replaces them.
#pragma once

#include <termios.h>

namespace platform {

struct TTtyCalls {
  // tcsetattr.
  int (*SetAttributes)(int Fd, int When, const termios* Settings);
  // ioctl with TIOCMBIS (raise the lines in Bits) or TIOCMGET (read them into Bits).
  int (*ModemLines)(int Fd, unsigned long Request, int* Bits);
};

// The calls in use. Tests replace them while no other thread opens a port, and put them back.
TTtyCalls& TtyCalls();

}  // namespace platform
