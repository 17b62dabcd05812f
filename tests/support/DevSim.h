// Test fixture pieces around the device simulator (build/linux/devsim): start one with options,
// learn its pseudo-terminal's path, stop it by PID; a scratch folder for its storage; and a
// reader for its --transcript file.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

class TDevSim {
 public:
  // Kind: "portapack" or "flipper". Extra: further devsim options ("--rate", "1000", ...).
  TDevSim(const std::string& Kind, const std::string& Root,
          const std::vector<std::string>& Extra = {});
  // Stops the simulator if it still runs.
  ~TDevSim();
  TDevSim(const TDevSim&) = delete;
  TDevSim& operator=(const TDevSim&) = delete;

  // True once the simulator runs and has printed its slave path; otherwise Error() says why.
  bool Ok() const { return !SlavePath_.empty(); }
  const std::string& Error() const { return Error_; }
  const std::string& SlavePath() const { return SlavePath_; }
  // The name under which the serial port opens the simulator's line (LinkTestPort).
  const std::string& PortName() const { return PortName_; }
  pid_t Pid() const { return Pid_; }

  // SIGTERM, then waits up to TimeoutMs for the exit; SIGKILL if it does not come. True when the
  // process ended on its own after SIGTERM with exit status 0.
  bool Stop(uint32_t TimeoutMs = 5000);
  // Waits up to TimeoutMs for the process to end without being asked (after a dropped line).
  // True when it ended; ExitStatus gets waitpid's status.
  bool WaitExit(uint32_t TimeoutMs, int* ExitStatus = nullptr);

  static std::string ExecutablePath();

 private:
  pid_t Pid_ = -1;
  std::string SlavePath_;
  std::string PortName_;
  std::string Error_;
};

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir&) = delete;
  TScratchDir& operator=(const TScratchDir&) = delete;
  const std::string& Path() const { return Path_; }

 private:
  std::string Path_;
};

// Local file helpers for tests that compare what a simulator stored.
bool WriteLocalFile(const std::string& Path, const std::string& Bytes);
bool ReadLocalFile(const std::string& Path, std::string& Bytes);
// Bytes 0..255 in a shuffled but fixed order, repeated: every byte value, no easy pattern.
std::string TestPattern(size_t Count, uint32_t Seed = 1);
// How often Part occurs in Text (a simulator's transcript), overlaps counted.
size_t CountOf(const std::string& Text, const std::string& Part);

// A devsim transcript read back: the bytes of each direction, concatenated in order, and the
// event notes ("port opened", ...).
struct TTranscriptData {
  std::string FromHost;
  std::string ToHost;
  std::vector<std::string> Notes;
};
bool ReadTranscript(const std::string& Path, TTranscriptData& Data);
