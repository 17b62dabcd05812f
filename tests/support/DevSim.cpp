// Starting and stopping the device simulator from tests (see DevSim.h).
#include "DevSim.h"

#include "support/TestPorts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

// Waits for Pid with a deadline; waitpid itself has none, so poll it at short intervals.
bool WaitWithDeadline(pid_t Pid, uint32_t TimeoutMs, int* Status) {
  uint64_t Deadline = NowMs() + TimeoutMs;
  for (;;) {
    int WaitStatus = 0;
    pid_t Done = waitpid(Pid, &WaitStatus, WNOHANG);
    if (Done == Pid || (Done < 0 && errno == ECHILD)) {
      if (Status != nullptr) *Status = WaitStatus;
      return true;
    }
    if (NowMs() >= Deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::string TDevSim::ExecutablePath() {
  return std::string(QUARNEL_BUILD_DIR) + "/devsim";
}

TDevSim::TDevSim(const std::string& Kind, const std::string& Root,
                 const std::vector<std::string>& Extra) {
  std::vector<std::string> Args = {ExecutablePath(), "--device", Kind, "--root", Root};
  Args.insert(Args.end(), Extra.begin(), Extra.end());
  std::vector<char*> Argv;
  for (std::string& Arg : Args) Argv.push_back(Arg.data());
  Argv.push_back(nullptr);
  std::string Executable = ExecutablePath();

  int Out[2];
  if (pipe2(Out, O_CLOEXEC) != 0) {
    Error_ = "pipe failed";
    return;
  }
  Pid_ = fork();
  if (Pid_ < 0) {
    Error_ = "fork failed";
    close(Out[0]);
    close(Out[1]);
    return;
  }
  if (Pid_ == 0) {
    // Only async-signal-safe calls between fork and exec. Close every inherited descriptor:
    // a tty slave left open in the child would keep another simulator's port "open".
    dup2(Out[1], STDOUT_FILENO);
    syscall(SYS_close_range, 3u, ~0u, 0u);
    execv(Executable.c_str(), Argv.data());
    _exit(127);
  }
  close(Out[1]);
  // The first line is the slave's path.
  uint64_t Deadline = NowMs() + 10000;
  std::string Line;
  for (;;) {
    uint64_t Now = NowMs();
    if (Now >= Deadline) {
      Error_ = "devsim printed no path within 10 s";
      break;
    }
    pollfd Fd{Out[0], POLLIN, 0};
    if (poll(&Fd, 1, static_cast<int>(Deadline - Now)) <= 0) continue;
    char C = 0;
    ssize_t Count = read(Out[0], &C, 1);
    if (Count <= 0) {
      Error_ = "devsim ended before printing its path: " + Line;
      break;
    }
    if (C == '\n') {
      SlavePath_ = Line;
      PortName_ = LinkTestPort(SlavePath_);
      break;
    }
    Line += C;
  }
  close(Out[0]);
  if (SlavePath_.empty()) Stop(2000);
}

TDevSim::~TDevSim() {
  Stop();
}

bool TDevSim::Stop(uint32_t TimeoutMs) {
  if (Pid_ <= 0) return false;
  kill(Pid_, SIGTERM);
  int Status = 0;
  bool Ended = WaitWithDeadline(Pid_, TimeoutMs, &Status);
  if (!Ended) {
    kill(Pid_, SIGKILL);
    WaitWithDeadline(Pid_, 5000, &Status);
  }
  Pid_ = -1;
  return Ended && WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

bool TDevSim::WaitExit(uint32_t TimeoutMs, int* ExitStatus) {
  if (Pid_ <= 0) return true;
  if (!WaitWithDeadline(Pid_, TimeoutMs, ExitStatus)) return false;
  Pid_ = -1;
  return true;
}

TScratchDir::TScratchDir() {
  const char* Base = std::getenv("TMPDIR");
  std::string Template =
      std::string(Base != nullptr && *Base != 0 ? Base : "/tmp") + "/quarnel-devsim-XXXXXX";
  if (mkdtemp(Template.data()) != nullptr) Path_ = Template;
}

TScratchDir::~TScratchDir() {
  if (Path_.empty()) return;
  std::error_code Error;
  std::filesystem::remove_all(Path_, Error);
}

bool WriteLocalFile(const std::string& Path, const std::string& Bytes) {
  std::ofstream File(Path, std::ios::binary | std::ios::trunc);
  File.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
  return static_cast<bool>(File);
}

bool ReadLocalFile(const std::string& Path, std::string& Bytes) {
  std::ifstream File(Path, std::ios::binary);
  if (!File) return false;
  std::ostringstream Buffer;
  Buffer << File.rdbuf();
  Bytes = Buffer.str();
  return true;
}

size_t CountOf(const std::string& Text, const std::string& Part) {
  size_t count = 0;
  for (size_t at = Text.find(Part); at != std::string::npos; at = Text.find(Part, at + 1)) ++count;
  return count;
}

std::string TestPattern(size_t Count, uint32_t Seed) {
  std::mt19937 Random(Seed);
  std::string Bytes(Count, '\0');
  for (size_t I = 0; I < Count; ++I) Bytes[I] = static_cast<char>(Random() & 0xFF);
  // Make sure every byte value occurs when there is room for it (CR, LF, ^C, ^D, ...).
  for (size_t I = 0; I < Count && I < 256; ++I) Bytes[I] = static_cast<char>(255 - I);
  return Bytes;
}

bool ReadTranscript(const std::string& Path, TTranscriptData& Data) {
  Data = TTranscriptData();
  std::ifstream File(Path, std::ios::binary);
  if (!File) return false;
  std::string Line;
  auto Hex = [](char C) { return C >= 'A' ? (C & ~0x20) - 'A' + 10 : C - '0'; };
  while (std::getline(File, Line)) {
    if (Line.size() >= 2 && Line[0] == '#') {
      Data.Notes.push_back(Line.substr(2));
      continue;
    }
    if (Line.size() < 2 || (Line[0] != '>' && Line[0] != '<')) return false;
    std::string& Target = Line[0] == '>' ? Data.FromHost : Data.ToHost;
    for (size_t I = 2; I < Line.size(); ++I) {
      if (Line[I] != '\\' || I + 1 >= Line.size()) {
        Target += Line[I];
        continue;
      }
      char Escape = Line[++I];
      if (Escape == 'r') {
        Target += '\r';
      } else if (Escape == 'n') {
        Target += '\n';
      } else if (Escape == 't') {
        Target += '\t';
      } else if (Escape == 'x' && I + 2 < Line.size()) {
        Target += static_cast<char>(Hex(Line[I + 1]) * 16 + Hex(Line[I + 2]));
        I += 2;
      } else {
        Target += Escape;
      }
    }
  }
  return true;
}
