// serialpeer: the far end of a serial line for the Windows builds' serial tests under Wine. It
// opens a pseudo-terminal, prints the slave's path on one line of stdout (the test script links
// it as a COM port), and then obeys requests that the test program writes on the line itself,
// one per LF-terminated line:
//   SEND <ms> <hex> [<ms> <hex> ...]   after each pause, send the bytes given in hex ("-": none)
//   PATTERN <count>                    send count bytes of the test pattern (i * 7 + i / 256)
//   SINK <count>                       take count bytes, answer "GOT <count> <fnv1a-32 hex>\r\n"
//   QUIT                               end
// It ends by itself after --lifetime seconds (default 600), so a forgotten peer does not linger.
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

namespace {

uint64_t NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

int gMaster = -1;
uint64_t gEnd = 0;

int MsLeft(uint64_t Deadline) {
  uint64_t now = NowMs();
  return now >= Deadline ? 0 : static_cast<int>(Deadline - now);
}

bool WriteAll(const std::string& Bytes) {
  size_t done = 0;
  while (done < Bytes.size()) {
    ssize_t n = write(gMaster, Bytes.data() + done, Bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) return false;
    pollfd p{gMaster, POLLOUT, 0};
    if (poll(&p, 1, MsLeft(gEnd)) <= 0) return false;
  }
  return true;
}

// One byte from the line, waiting until the peer's end of life; -1 when there is none.
int ReadByte() {
  for (;;) {
    unsigned char c;
    ssize_t n = read(gMaster, &c, 1);
    if (n == 1) return c;
    if (n < 0 && errno == EINTR) continue;
    // EIO: no slave is open right now (between two test programs); wait and look again.
    if (n < 0 && errno != EAGAIN && errno != EIO) return -1;
    int left = MsLeft(gEnd);
    if (left == 0) return -1;
    if (n < 0 && errno == EIO) {
      usleep(20000);
      continue;
    }
    pollfd p{gMaster, POLLIN, 0};
    poll(&p, 1, left);
  }
}

std::string FromHex(const std::string& Hex) {
  std::string out;
  if (Hex == "-") return out;
  for (size_t i = 0; i + 1 < Hex.size(); i += 2)
    out.push_back(static_cast<char>(strtol(Hex.substr(i, 2).c_str(), nullptr, 16)));
  return out;
}

bool Obey(const std::string& Request) {
  std::istringstream in(Request);
  std::string verb;
  in >> verb;
  if (verb == "SEND") {
    long ms;
    std::string hex;
    while (in >> ms >> hex) {
      if (ms > 0) usleep(static_cast<useconds_t>(ms) * 1000);
      if (!WriteAll(FromHex(hex))) return false;
    }
  } else if (verb == "PATTERN") {
    size_t count = 0;
    in >> count;
    std::string block(count, '\0');
    for (size_t i = 0; i < count; ++i) block[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
    return WriteAll(block);
  } else if (verb == "SINK") {
    size_t count = 0;
    in >> count;
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < count; ++i) {
      int c = ReadByte();
      if (c < 0) return false;
      hash = (hash ^ static_cast<uint32_t>(c)) * 16777619u;
    }
    char answer[64];
    snprintf(answer, sizeof(answer), "GOT %zu %08x\r\n", count, hash);
    return WriteAll(answer);
  } else if (verb == "QUIT") {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  long lifetime = 600;
  for (int i = 1; i + 1 < argc; ++i)
    if (strcmp(argv[i], "--lifetime") == 0) lifetime = atol(argv[i + 1]);
  gEnd = NowMs() + static_cast<uint64_t>(lifetime) * 1000u;

  gMaster = posix_openpt(O_RDWR | O_NOCTTY);
  if (gMaster < 0 || grantpt(gMaster) != 0 || unlockpt(gMaster) != 0) {
    perror("serialpeer: pty");
    return 1;
  }
  const char* slavePath = ptsname(gMaster);
  // Raw mode from the start, so that nothing is echoed before the test program configures the
  // line. The slave stays open here as well, so the master does not read EIO while no test
  // program has the port open.
  int slave = open(slavePath, O_RDWR | O_NOCTTY);
  if (slave < 0) {
    perror("serialpeer: slave");
    return 1;
  }
  termios t{};
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  fcntl(gMaster, F_SETFL, fcntl(gMaster, F_GETFL) | O_NONBLOCK);
  printf("%s\n", slavePath);
  fflush(stdout);

  std::string request;
  for (;;) {
    int c = ReadByte();
    if (c < 0) return 0;
    if (c == '\r') continue;
    if (c != '\n') {
      request.push_back(static_cast<char>(c));
      continue;
    }
    if (!Obey(request)) return 0;
    request.clear();
  }
}
