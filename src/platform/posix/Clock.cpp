// POSIX implementation of the clock: the monotonic tick count and sleeping. In a file of its own
// so that the fuzz build can link a virtual clock in its place (tests/fuzz/support).
#include "platform/Platform.h"

#include <cerrno>
#include <ctime>

namespace platform {

uint64_t TickCountMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

void SleepMs(uint32_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace platform
